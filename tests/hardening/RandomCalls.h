// Random and extreme arguments for calls of the nineteen methods, shared by the model tests and the
// long runs: values that decide something (keywords in any case, numbers at their limits, blanks and
// other white space, characters outside the code page, long strings), the ways clients pass them, and
// the environment knobs of the hardening runs.
#pragma once

#include "CallRunner.h"

#include <cstdint>
#include <vector>

namespace hardening {

// A number from the environment, or the fallback when the variable isn't set.
std::uint64_t EnvironmentNumber(const wchar_t* name, std::uint64_t fallback);

// VORN_HARDENING_LONGEST caps the length of the strings tried (the heap check, which validates the
// whole heap at every allocation, sets it); without it they reach a megabyte and beyond.
size_t LongestText();

extern const std::vector<short> kShorts;
std::vector<double> ExtremeDoubles();
// Values of other types than the declared one, for the dispatch layer to coerce or refuse.
std::vector<ForeignValue> ForeignValues();

// Random calls: a method, its arguments, the route and the way each argument is passed.
class Generator {
public:
    explicit Generator(std::uint64_t seed) : random_(seed) {}
    Text RandomText();
    short RandomShort();
    double RandomDouble();
    ForeignValue RandomForeign();
    Plan RandomPlan();
    Random& random() { return random_; }

private:
    Random random_;
};

} // namespace hardening
