// A module driver library whose entries do nothing: the floor under every measured call.
#include <windows.h>

extern "C" LONG WINAPI SendScpiCommand(const unsigned char*)
{
    return 0;
}

extern "C" LONG WINAPI GetQueryResponse(unsigned char*, LONG, LONG* outValue)
{
    if (outValue)
        *outValue = 0;
    return 0;
}
