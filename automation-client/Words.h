// One typed or read line split into words, as a Windows command line is split.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Words are separated by blanks and tabs. Double quotes keep blanks in a word (" full " is one word
// with its blanks); "" inside quotes stands for one quote. A word that starts with # outside quotes
// starts a comment running to the end of the line.
std::vector<std::wstring> SplitWords(std::wstring_view line);

// Method names and vornsh's own commands are matched without regard to case (ordinal, as identifiers).
bool SameWord(std::wstring_view a, std::wstring_view b) noexcept;
