// The small text operations every layer of vornlan needs, written once: ASCII case folding (headers,
// host names and HTTP fields are ASCII; bytes above 0x7F are left alone), trimming, and the bound every
// text kept for display or in a queue gets.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

std::string Lower(std::string_view text);
std::string Upper(std::string_view text);

// Without the blanks (space, tab, CR, LF) at both ends.
std::string_view Trim(std::string_view text) noexcept;

// ASCII only: anything above 0x7F becomes '?' (command-line words, headers from a table).
std::string Narrow(std::wstring_view text);

// The longest text vornlan keeps of what a client sent, for the log, the traffic history and error
// details: a 64 KiB message is shown by its head, not stored again in every place that mentions it.
inline constexpr std::size_t kMaxKeptText = 256;
// `text` itself when it fits, else its first kMaxKeptText bytes and "...".
std::string Bounded(std::string_view text, std::size_t limit = kMaxKeptText);

} // namespace text
