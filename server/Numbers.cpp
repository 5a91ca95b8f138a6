#include "Numbers.h"

#include "RaisedError.h"
#include "ResourceOwners.h"

#include <charconv>

namespace vorn {

bool IsNumeric(BSTR text)
{
    const std::wstring_view view = View(text);
    // The platform's reading stops at a zero character; the rest would go unread.
    if (view.empty() || view.find(L'\0') != std::wstring_view::npos)
        return false;
    double value = 0;
    return SUCCEEDED(VarR8FromStr(text, LOCALE_USER_DEFAULT, 0, &value));
}

std::optional<short> ReadInt16(BSTR text, std::wstring_view what)
{
    if (!IsNumeric(text))
        return std::nullopt;
    SHORT value = 0;
    const HRESULT result = VarI2FromStr(text, LOCALE_USER_DEFAULT, 0, &value);
    if (result == DISP_E_OVERFLOW)
        throw RaisedError(kOverflow, L"Overflow: " + std::wstring(what) + L" \"" + std::wstring(View(text)) +
                                         L"\" is outside -32768 to 32767, the range of a 16-bit integer.");
    if (FAILED(result))
        throw RaisedError(result, L"The number \"" + std::wstring(View(text)) + L"\" could not be read.");
    return value;
}

void AppendInt16(std::pmr::wstring& out, short value)
{
    char digits[8];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void AppendDouble(std::pmr::wstring& out, double value)
{
    UniqueBstr text;
    const HRESULT result = VarBstrFromR8(value, LOCALE_USER_DEFAULT, 0, text.put());
    if (FAILED(result))
        throw RaisedError(result, L"The number could not be written as text.");
    out.append(text.view());
}

} // namespace vorn
