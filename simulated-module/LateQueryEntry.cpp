// VornLateQuery.dll: where the "late" build of the simulated Vorn.dll forwards GetQueryResponse.
// Until this file is put beside that Vorn.dll, the loader can't resolve the forwarded entry, so
// the library lacks it; once the file is there, the same loaded Vorn.dll has it. It serves the
// call from the module state inside Vorn.dll, so replies match the commands sent.
#include <windows.h>

namespace {
using Entry = int(WINAPI*)(char*, int, int*);
}

extern "C" int WINAPI GetQueryResponse(char* reply, int size, int* outValue)
{
    const HMODULE library = GetModuleHandleW(L"Vorn.dll");
    const auto entry = library ? reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(
                                     GetProcAddress(library, "SimulatedGetQueryResponse")))
                               : nullptr;
    return entry ? entry(reply, size, outValue) : -1;
}
