#include "Words.h"

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
