// bin/trace-quiet/Vorn.dll: a module library that never touches the last-error value, as a vendor
// library may on its paths that succeed. Replies "QUIET" to every query.
#include <windows.h>

#include <cstring>

extern "C" int WINAPI SendScpiCommand(const char* command)
{
    return command ? 0 : -1;
}

extern "C" int WINAPI GetQueryResponse(char* reply, int size, int* outValue)
{
    static const char text[] = "QUIET";
    const int length = reply && size >= static_cast<int>(sizeof text) ? static_cast<int>(sizeof text) - 1 : 0;
    if (length > 0)
        std::memcpy(reply, text, static_cast<std::size_t>(length));
    if (outValue)
        *outValue = length;
    return 0;
}
