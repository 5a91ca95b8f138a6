#include "ArgumentValues.h"

#include <oleauto.h>

#include <charconv>
#include <cmath>
#include <limits>

namespace {
// Digits and the characters of a number as from_chars reads them; nothing that isn't ASCII.
std::optional<std::string> AsciiNumber(std::wstring_view text, std::wstring_view decimalSeparator)
{
    std::string ascii;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!decimalSeparator.empty() && text.substr(i, decimalSeparator.size()) == decimalSeparator) {
            ascii += '.';
            i += decimalSeparator.size() - 1;
        } else if (text[i] < 0x80) {
            ascii += static_cast<char>(text[i]);
        } else {
            return std::nullopt;
        }
    }
    // from_chars takes no plus sign.
    if (!ascii.empty() && ascii[0] == '+' && ascii.size() > 1 && ascii[1] != '-')
        ascii.erase(0, 1);
    return ascii;
}

VARIANT Value(VARTYPE type)
{
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = type;
    return value;
}
} // namespace

std::optional<long long> ReadInteger(std::wstring_view text)
{
    const auto ascii = AsciiNumber(text, {});
    if (!ascii || ascii->empty())
        return std::nullopt;
    long long value = 0;
    const char* end = ascii->data() + ascii->size();
    const auto [stop, error] = std::from_chars(ascii->data(), end, value);
    if (stop != end)
        return std::nullopt;
    if (error == std::errc::result_out_of_range)
        return ascii->front() == '-' ? std::numeric_limits<long long>::min() : std::numeric_limits<long long>::max();
    if (error != std::errc())
        return std::nullopt;
    return value;
}

std::optional<double> ReadDouble(std::wstring_view text, std::wstring_view decimalSeparator)
{
    const auto ascii = AsciiNumber(text, decimalSeparator);
    if (!ascii || ascii->empty())
        return std::nullopt;
    // Digits, one point, an exponent: no words such as inf or nan, no hexadecimal.
    if (ascii->find_first_not_of("+-.0123456789eE") != std::string::npos)
        return std::nullopt;
    double value = 0;
    const char* end = ascii->data() + ascii->size();
    const auto [stop, error] = std::from_chars(ascii->data(), end, value);
    if (stop != end || error != std::errc() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::wstring UserDecimalSeparator()
{
    wchar_t separator[8] = {};
    const int length = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8);
    return length > 1 ? std::wstring(separator, static_cast<size_t>(length - 1)) : L".";
}

CallArguments::~CallArguments()
{
    for (VARIANT& value : values_)
        VariantClear(&value);
}

std::optional<std::wstring> CallArguments::Convert(const MethodInfo& method, std::span<const std::wstring> words)
{
    const auto& parameters = method.parameters;
    const auto takes = L" takes " + std::to_wstring(parameters.size()) + L" argument" +
                       (parameters.size() == 1 ? L"" : L"s") + L", " + std::to_wstring(words.size()) + L" given";
    if (words.size() > parameters.size())
        return method.name + takes;
    values_.reserve(parameters.size());
    for (size_t p = 0; p < parameters.size(); ++p) {
        const bool given = p < words.size();
        if (!given && parameters[p].type != VT_BSTR && !parameters[p].optional)
            return method.name + takes;
        if (auto error = Add(parameters[p], given ? &words[p] : nullptr))
            return error;
    }
    passed_.clear();
    for (size_t p = values_.size(); p-- > 0;) {
        VARIANT& value = values_[p];
        // Left out (the server sees no argument), or a parameter taken by value: a shallow copy.
        if (V_VT(&value) == VT_ERROR || !parameters[p].byReference) {
            passed_.push_back(value);
            continue;
        }
        VARIANT reference = Value(static_cast<VARTYPE>(VT_BYREF | V_VT(&value)));
        V_BYREF(&reference) = &V_I2(&value); // the union's start, for every type
        passed_.push_back(reference);
    }
    return std::nullopt;
}

std::optional<std::wstring> CallArguments::Add(const Parameter& parameter, const std::wstring* word)
{
    const std::wstring quoted = word ? L"\"" + *word + L"\"" : std::wstring();
    if (!word && parameter.type != VT_BSTR) {
        VARIANT missing = Value(VT_ERROR);
        V_ERROR(&missing) = DISP_E_PARAMNOTFOUND;
        values_.push_back(missing);
        return std::nullopt;
    }
    switch (parameter.type) {
    case VT_BSTR: {
        VARIANT text = Value(VT_BSTR);
        const std::wstring_view given = word ? std::wstring_view(*word) : std::wstring_view();
        V_BSTR(&text) = SysAllocStringLen(given.data(), static_cast<UINT>(given.size()));
        if (!V_BSTR(&text))
            return L"out of memory";
        values_.push_back(text);
        return std::nullopt;
    }
    case VT_I2:
    case VT_I4: {
        const bool wide = parameter.type == VT_I4;
        const long long low = wide ? std::numeric_limits<LONG>::min() : std::numeric_limits<SHORT>::min();
        const long long high = wide ? std::numeric_limits<LONG>::max() : std::numeric_limits<SHORT>::max();
        const auto number = ReadInteger(*word);
        if (!number)
            return parameter.name + L": " + quoted + L" is not a whole number";
        if (*number < low || *number > high)
            return parameter.name + L": " + *word + L" is outside " + std::to_wstring(low) + L".." +
                   std::to_wstring(high);
        VARIANT value = Value(parameter.type);
        if (wide)
            V_I4(&value) = static_cast<LONG>(*number);
        else
            V_I2(&value) = static_cast<SHORT>(*number);
        values_.push_back(value);
        return std::nullopt;
    }
    case VT_R8: {
        const std::wstring separator = UserDecimalSeparator();
        const auto number = ReadDouble(*word, separator);
        if (!number)
            return parameter.name + L": " + quoted + L" is not a number (decimal separator \"" + separator + L"\")";
        VARIANT value = Value(VT_R8);
        V_R8(&value) = *number;
        values_.push_back(value);
        return std::nullopt;
    }
    default: return parameter.name + L": vornsh can't pass a parameter of " + TypeName(parameter.type);
    }
}

DISPPARAMS CallArguments::Parameters() noexcept
{
    DISPPARAMS parameters{};
    parameters.cArgs = static_cast<UINT>(passed_.size());
    parameters.rgvarg = passed_.empty() ? nullptr : passed_.data();
    return parameters;
}

std::optional<std::wstring_view> CallArguments::TextAt(size_t position) const noexcept
{
    if (position >= values_.size() || V_VT(&values_[position]) != VT_BSTR)
        return std::nullopt;
    const BSTR text = V_BSTR(&values_[position]);
    return std::wstring_view(text ? text : L"", SysStringLen(text));
}
