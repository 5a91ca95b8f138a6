// VornTraceHelper.dll: a library the test target (bin/sim-dependent/Vorn.dll) needs at load time,
// kept in a folder found only along PATH, as a vendor library's own support libraries often are.
#include <windows.h>

extern "C" __declspec(dllexport) int VornTraceHelperValue()
{
    return 1;
}
