// The command link: the only code that calls the module driver library.
//
// SendCommand hands one command line to SendScpiCommand; ReadReply fetches the reply to the
// query sent just before. Each library entry is bound on its own first call and stays bound for
// the life of the process; a failed bind is not remembered, so the next call tries again.
#pragma once

#include "ResourceOwners.h"

#include <memory_resource>
#include <string>
#include <string_view>

namespace vorn {

// Raises an error when the library or its entry can't be reached, or when a character of the
// command takes two bytes in the ANSI code page (the library is then not called).
void SendCommand(std::wstring_view command);

// The reply text: 257 decoded bytes, zero bytes kept as U+0000, blanks trimmed at both ends.
UniqueBstr ReadReply();

// The command buffer: one ANSI byte per character, then a zero byte, in the given memory.
std::pmr::string TextToBytes(std::wstring_view text,
                             std::pmr::memory_resource* memory = std::pmr::get_default_resource());

// One character per byte in the ANSI code page, blanks trimmed at both ends. Never raises: any
// failure yields a null (empty) string.
UniqueBstr BytesToText(const unsigned char* bytes, size_t count) noexcept;

} // namespace vorn
