// Text made fit to print on one line, and arguments as typed turned into the text they stand for.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// A reply buffer holds the module's text followed by zeros: the text ends at the first zero.
std::wstring_view UpToFirstZero(std::wstring_view text) noexcept;

// Control characters (C0, DEL, C1) and lone surrogates become \xHH or \uHHHH, and the backslash
// becomes \\, so that what is printed can be read back unambiguously.
std::wstring Escaped(std::wstring_view text);

// The same for a line the user typed or a message quoting one: control characters and lone surrogates
// escaped, backslashes left as typed (an escape the user wrote is shown as written). Nothing that
// reaches the terminal can move its cursor or hide part of the line.
std::wstring ShownAsTyped(std::wstring_view text);

bool IsControl(wchar_t c) noexcept;

// An argument as typed made into the text passed to the server. \xHH, \uHHHH and \\ stand for a
// character and a backslash, the forms Escaped prints, so a reply shown can be typed back. A control
// character typed as such is refused (a stray CR or tab must not reach the module unseen), so is any
// other backslash sequence, and so is a zero in any form: the module's command line ends at the first
// zero. On failure, what is wrong.
std::optional<std::wstring> ArgumentText(std::wstring_view typed, std::wstring& text);
