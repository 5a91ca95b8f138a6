// The words a user typed turned into the arguments of one call, as the parameter types ask.
#pragma once

#include "MethodCatalog.h"

#include <windows.h>
#include <oaidl.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// An integer as typed: optional sign, decimal digits. nullopt when it isn't one; out-of-range values
// are read (up to the width of long long) so that the caller can say so.
std::optional<long long> ReadInteger(std::wstring_view text);
// A finite number with the given decimal separator or a point, an optional exponent, no grouping.
std::optional<double> ReadDouble(std::wstring_view text, std::wstring_view decimalSeparator);
// The user's decimal separator, as the server reads and writes numbers.
std::wstring UserDecimalSeparator();

// Owns the values of one call; the server receives each by reference, as a script's variable, and may
// replace a string in place.
class CallArguments {
public:
    CallArguments() = default;
    CallArguments(const CallArguments&) = delete;
    CallArguments& operator=(const CallArguments&) = delete;
    ~CallArguments();

    // Text parameters left out at the end are passed as empty strings. On failure, the usage error.
    std::optional<std::wstring> Convert(const MethodInfo& method, std::span<const std::wstring> words);

    // Last to first, as IDispatch::Invoke takes them.
    DISPPARAMS Parameters() noexcept;
    // The string at a parameter's position, or nullopt when that parameter isn't a string.
    std::optional<std::wstring_view> TextAt(size_t position) const noexcept;

private:
    std::optional<std::wstring> Add(const Parameter& parameter, const std::wstring* word);

    std::vector<VARIANT> values_;
    std::vector<VARIANT> passed_;
};
