// Numbers read from and written as text, through OLE Automation's locale-aware conversions for
// the user's default locale (decimal separator, rounding), as automation clients expect.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>

namespace vorn {

// True when the locale-aware reading of a number accepts all of the text. Empty text, blanks
// alone, "?" and text with a zero character inside are not numeric.
bool IsNumeric(BSTR text);

// The numeric text read as a 16-bit integer, a half going to the even neighbour; std::nullopt for
// text that isn't numeric. A value outside -32768..32767 raises an overflow error.
std::optional<short> ReadInt16(BSTR text, std::wstring_view what);

// Decimal digits, a minus sign when negative, nothing else.
void AppendInt16(std::pmr::wstring& out, short value);

// The platform's text of a double for the user's locale: at most 15 significant digits, the
// locale's decimal separator, no trailing zeros, an exponent only for extreme magnitudes.
void AppendDouble(std::pmr::wstring& out, double value);

} // namespace vorn
