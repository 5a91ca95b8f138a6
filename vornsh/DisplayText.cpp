#include "DisplayText.h"

#include <cwchar>

namespace {
bool IsHighSurrogate(wchar_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(wchar_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

void AppendHex(std::wstring& out, const wchar_t* prefix, unsigned value, int digits)
{
    wchar_t text[12];
    std::swprintf(text, sizeof text / sizeof *text, L"%ls%0*X", prefix, digits, value);
    out += text;
}
} // namespace

std::wstring_view UpToFirstZero(std::wstring_view text) noexcept
{
    return text.substr(0, text.find(L'\0'));
}

std::wstring Escaped(std::wstring_view text)
{
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'\\') {
            out += L"\\\\";
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            AppendHex(out, L"\\x", c, 2);
        } else if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            out += c;
            out += text[++i];
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            AppendHex(out, L"\\u", c, 4);
        } else {
            out += c;
        }
    }
    return out;
}
