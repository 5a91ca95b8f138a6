// Text the server hands back, made fit to print on one line.
#pragma once

#include <string>
#include <string_view>

// A reply buffer holds the module's text followed by zeros: the text ends at the first zero.
std::wstring_view UpToFirstZero(std::wstring_view text) noexcept;

// Control characters (C0, DEL, C1) and lone surrogates become \xHH or \uHHHH, and the backslash
// becomes \\, so that what is printed can be read back unambiguously.
std::wstring Escaped(std::wstring_view text);
