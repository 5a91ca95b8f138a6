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

std::wstring EscapedText(std::wstring_view text, bool backslash)
{
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'\\' && backslash) {
            out += L"\\\\";
        } else if (IsControl(c)) {
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

std::optional<unsigned> HexDigits(std::wstring_view digits)
{
    unsigned value = 0;
    for (const wchar_t c : digits) {
        unsigned digit = 0;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        else if (c >= L'a' && c <= L'f')
            digit = c - L'a' + 10;
        else
            return std::nullopt;
        value = value * 16 + digit;
    }
    return value;
}
} // namespace

std::wstring_view UpToFirstZero(std::wstring_view text) noexcept
{
    return text.substr(0, text.find(L'\0'));
}

bool IsControl(wchar_t c) noexcept
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

std::wstring Escaped(std::wstring_view text)
{
    return EscapedText(text, true);
}

std::wstring ShownAsTyped(std::wstring_view text)
{
    return EscapedText(text, false);
}

std::optional<std::wstring> ArgumentText(std::wstring_view typed, std::wstring& text)
{
    const std::wstring quoted = L"\"" + ShownAsTyped(typed) + L"\"";
    text.clear();
    for (size_t i = 0; i < typed.size(); ++i) {
        const wchar_t c = typed[i];
        if (IsControl(c)) {
            std::wstring escape;
            AppendHex(escape, L"\\x", c, 2);
            return quoted + L" holds a control character; to send it, type it as " + escape;
        }
        if (c != L'\\') {
            text += c;
            continue;
        }
        const wchar_t kind = i + 1 < typed.size() ? typed[i + 1] : L'\0';
        if (kind == L'\\') {
            text += L'\\';
            ++i;
            continue;
        }
        if (kind != L'x' && kind != L'u')
            return quoted + L": a backslash starts \\xHH, \\uHHHH or \\\\ (a backslash)";
        const size_t digits = kind == L'x' ? 2 : 4;
        const auto value = i + 2 + digits <= typed.size() ? HexDigits(typed.substr(i + 2, digits)) : std::nullopt;
        if (!value)
            return quoted + L": \\" + kind + L" takes " + (digits == 2 ? L"two" : L"four") + L" hexadecimal digits";
        if (*value == 0)
            return quoted + L": a zero can't be sent, the module's command line ends at the first zero";
        text += static_cast<wchar_t>(*value);
        i += 1 + digits;
    }
    return std::nullopt;
}
