// The entries of the module driver library, Vorn.dll. It is loaded by file name alone, through the
// platform's ordinary search, at the first call of each entry. The results are never examined.
#pragma once

#include <windows.h>

namespace vorn {

inline constexpr char kModuleLibrary[] = "Vorn.dll";

// Takes one zero-terminated ANSI command line, without a line terminator.
using SendScpiCommandEntry = LONG(WINAPI*)(const unsigned char* command);
inline constexpr char kSendScpiCommand[] = "SendScpiCommand";

// Writes the reply to the query sent last into reply, at most size bytes, no terminator needed.
using GetQueryResponseEntry = LONG(WINAPI*)(unsigned char* reply, LONG size, LONG* outValue);
inline constexpr char kGetQueryResponse[] = "GetQueryResponse";

// The reply buffer holds 258 zeroed bytes; the library is told 256, and 257 are decoded.
inline constexpr LONG kReplySizeTold = 256;
inline constexpr size_t kReplyBytesDecoded = 257;
inline constexpr size_t kReplyBufferSize = 258;

} // namespace vorn
