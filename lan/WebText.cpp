#include "WebText.h"

#include <windows.h>

#include <cstdio>

namespace web {

namespace {
std::wstring Widen(std::string_view text, UINT codePage, DWORD flags)
{
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), size, wide.data(), length);
    return wide;
}
} // namespace

std::string AnsiToUtf8(std::string_view ansi)
{
    const std::wstring wide = Widen(ansi, CP_ACP, 0);
    if (wide.empty())
        return {};
    const int size = static_cast<int>(wide.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), length, nullptr, nullptr);
    return utf8;
}

std::optional<std::string> Utf8ToAnsi(std::string_view utf8)
{
    if (utf8.empty())
        return std::string();
    const std::wstring wide = Widen(utf8, CP_UTF8, MB_ERR_INVALID_CHARS);
    if (wide.empty())
        return std::nullopt;
    const int size = static_cast<int>(wide.size());
    // Under code page 65001 the conversion takes no flags and can't lose a character.
    const bool utf8CodePage = GetACP() == CP_UTF8;
    BOOL lost = FALSE;
    const DWORD flags = utf8CodePage ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL* lostFlag = utf8CodePage ? nullptr : &lost;
    const int length = WideCharToMultiByte(CP_ACP, flags, wide.data(), size, nullptr, 0, nullptr, lostFlag);
    if (length <= 0 || lost)
        return std::nullopt;
    std::string ansi(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, flags, wide.data(), size, ansi.data(), length, nullptr, lostFlag);
    return ansi;
}

std::string EscapeMarkup(std::string_view utf8)
{
    std::string escaped;
    escaped.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default:
            // XML 1.0 admits no control characters but tab, line feed and carriage return.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                escaped += "\xEF\xBF\xBD"; // U+FFFD
            else
                escaped += c;
        }
    }
    return escaped;
}

std::string JsonString(std::string_view utf8)
{
    std::string json = "\"";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': json += "\\\""; break;
        case '\\': json += "\\\\"; break;
        case '\n': json += "\\n"; break;
        case '\r': json += "\\r"; break;
        case '\t': json += "\\t"; break;
        default:
            if (byte < 0x20 || c == '<' || c == '>' || c == '&') {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", byte);
                json += escape;
            } else {
                json += c;
            }
        }
    }
    return json + '"';
}

} // namespace web
