// A module driver library that does no work: for runs of a million calls, where the simulated
// module's traffic record (a file opened per call) would take the time. It keeps no state, so
// memory measured around it is the caller's. Every reply is the same short text with blanks on
// both sides, so the caller still decodes and trims a real reply.
#include <windows.h>

#include <cstring>

namespace {
constexpr char kReply[] = "  +0,\"No error\"  ";
}

extern "C" int WINAPI SendScpiCommand(const char* command)
{
    return command ? 0 : -1;
}

extern "C" int WINAPI GetQueryResponse(char* reply, int size, int* outValue)
{
    int written = 0;
    if (reply && size > 0) {
        written = static_cast<int>(sizeof kReply - 1) < size ? static_cast<int>(sizeof kReply - 1) : size;
        std::memcpy(reply, kReply, static_cast<size_t>(written));
    }
    if (outValue)
        *outValue = written;
    return 0;
}
