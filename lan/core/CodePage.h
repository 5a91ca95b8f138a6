// The text conversions of vornlan, written once. What travels on the network is what the module's
// library receives and answers: bytes of the ANSI code page. The server takes and gives UTF-16; the web
// page shows UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace codepage {

// ANSI bytes to UTF-16 and back (a character the code page lacks becomes its best fit or '?').
std::wstring FromAnsi(std::string_view bytes);
std::string ToAnsi(std::wstring_view text);

// ANSI bytes as UTF-8, and back. nullopt when the UTF-8 is malformed or holds a character the code page
// lacks: a command must reach the module as typed, or not at all.
std::string AnsiToUtf8(std::string_view ansi);
std::optional<std::string> Utf8ToAnsi(std::string_view utf8);

} // namespace codepage
