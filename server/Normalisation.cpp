#include "Normalisation.h"

#include "ResourceOwners.h"

#include <algorithm>

namespace vorn {

void Normalise(BSTR* slot, Normalisation how)
{
    if (how == Normalisation::None)
        return;
    std::wstring_view text = View(*slot);
    if (how == Normalisation::UpperCaseAndTrim) {
        const size_t first = text.find_first_not_of(L' ');
        text = first == std::wstring_view::npos ? std::wstring_view{}
                                                : text.substr(first, text.find_last_not_of(L' ') + 1 - first);
    }
    UniqueBstr normalised = UniqueBstr::Copy(text);
    // The platform's upper-casing, one character for one, over the counted length (zeros included).
    if (!text.empty())
        CharUpperBuffW(normalised.get(), static_cast<DWORD>(text.size()));
    Replace(slot, std::move(normalised));
}

bool MatchesKeyword(std::wstring_view text, std::span<const std::wstring_view> keywords) noexcept
{
    return std::find(keywords.begin(), keywords.end(), text) != keywords.end();
}

} // namespace vorn
