#include "Words.h"

#include <windows.h>

namespace {
bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}
} // namespace

std::vector<std::wstring> SplitWords(std::wstring_view line)
{
    std::vector<std::wstring> words;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && IsBlank(line[at]))
            ++at;
        if (at == line.size() || line[at] == L'#')
            break;
        std::wstring word;
        bool quoted = false;
        for (; at < line.size() && (quoted || !IsBlank(line[at])); ++at) {
            if (line[at] != L'"') {
                word += line[at];
            } else if (quoted && at + 1 < line.size() && line[at + 1] == L'"') {
                word += L'"';
                ++at;
            } else {
                quoted = !quoted;
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

bool SameWord(std::wstring_view a, std::wstring_view b) noexcept
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}
