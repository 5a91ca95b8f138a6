#include "CodePage.h"

#include <windows.h>

namespace codepage {

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

// nullopt when `lost` is asked for and a character had no equivalent.
std::optional<std::string> NarrowTo(std::wstring_view text, UINT codePage, bool refuseLoss)
{
    if (text.empty())
        return std::string();
    const int size = static_cast<int>(text.size());
    // Code page 65001 (and UTF-8 itself) takes no flags and can't lose a character.
    const bool lossless = codePage == CP_UTF8 || GetACP() == CP_UTF8;
    BOOL lost = FALSE;
    const DWORD flags = lossless || !refuseLoss ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL* lostFlag = lossless || !refuseLoss ? nullptr : &lost;
    const int length = WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, nullptr, lostFlag);
    if (length <= 0 || lost)
        return refuseLoss ? std::nullopt : std::optional(std::string());
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(codePage, flags, text.data(), size, bytes.data(), length, nullptr, lostFlag);
    return bytes;
}
} // namespace

std::wstring FromAnsi(std::string_view bytes)
{
    return Widen(bytes, CP_ACP, 0);
}

std::string ToAnsi(std::wstring_view text)
{
    return *NarrowTo(text, CP_ACP, false);
}

std::string AnsiToUtf8(std::string_view ansi)
{
    return *NarrowTo(FromAnsi(ansi), CP_UTF8, false);
}

std::optional<std::string> Utf8ToAnsi(std::string_view utf8)
{
    if (utf8.empty())
        return std::string();
    const std::wstring wide = Widen(utf8, CP_UTF8, MB_ERR_INVALID_CHARS);
    if (wide.empty())
        return std::nullopt;
    return NarrowTo(wide, CP_ACP, true);
}

} // namespace codepage
