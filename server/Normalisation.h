// How the methods prepare a string argument before they check it. The caller's string is
// replaced with the result before any check, so the caller sees it also when it is rejected.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <span>
#include <string_view>

namespace vorn {

enum class Normalisation {
    None,            // left exactly as given
    UpperCase,       // upper-cased only: blanks stay
    UpperCaseAndTrim // upper-cased, then blanks (U+0020 only) removed at both ends
};

// Writes the normalised text into the caller's slot (a null string counts as empty).
void Normalise(BSTR* slot, Normalisation how);

// Whole, case-sensitive comparison with each keyword in order; no partial match.
bool MatchesKeyword(std::wstring_view text, std::span<const std::wstring_view> keywords) noexcept;

} // namespace vorn
