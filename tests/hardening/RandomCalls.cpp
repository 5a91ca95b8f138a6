#include "RandomCalls.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace hardening {

std::uint64_t EnvironmentNumber(const wchar_t* name, std::uint64_t fallback)
{
    const std::wstring text = Environment(name);
    return text.empty() ? fallback : std::wcstoull(text.c_str(), nullptr, 10);
}

size_t LongestText()
{
    static const size_t longest = static_cast<size_t>(EnvironmentNumber(L"VORN_HARDENING_LONGEST", SIZE_MAX));
    return longest;
}

const std::vector<short> kShorts = {-32768, -32767, -1, 0, 1, 2, 3, 4, 5, 7, 8, 9, 31, 32, 33, 32767};

std::vector<double> ExtremeDoubles()
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {0.0,      -0.0,   0.25,    2.5,     -2.5,    1e-5,     1e-7,     1e15,
            1e16,     123456789012345678.0, 0.1 + 0.2, 1.0 / 3, DBL_MAX, -DBL_MAX, DBL_MIN, -DBL_MIN,
            std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(), 1e308, -1e308,
            1e-308,   inf,    -inf,    nan,     -nan,    std::numeric_limits<double>::signaling_NaN(), 4.35,
            1e21,     9.999999999999999e22, 32767.5, 1e-300};
}

std::vector<ForeignValue> ForeignValues()
{
    const double inf = std::numeric_limits<double>::infinity();
    return {
        {VT_I4, 16, 0, {}},           {VT_I4, 70000, 0, {}},       {VT_I4, -70000, 0, {}},
        {VT_I8, 1ll << 40, 0, {}},    {VT_UI1, 255, 0, {}},        {VT_BOOL, 1, 0, {}},
        {VT_R8, 0, 32767.5, {}},      {VT_R8, 0, -32768.5, {}},    {VT_R8, 0, 2.5, {}},
        {VT_R8, 0, std::nan(""), {}}, {VT_R8, 0, inf, {}},         {VT_R4, 0, 1e-45, {}},
        {VT_BSTR, 0, 0, L" 16 "},     {VT_BSTR, 0, 0, L"1e3"},     {VT_BSTR, 0, 0, L"x"},
        {VT_BSTR, 0, 0, L"1e400"},    {VT_BSTR, 0, 0, L"full"},    {VT_BSTR, 0, 0, L""},
        {VT_EMPTY, 0, 0, {}},         {VT_NULL, 0, 0, {}},         {VT_CY, 25000, 0, {}},
        {VT_DATE, 0, 36526.5, {}},    {VT_ERROR, 5, 0, {}},        {VT_DISPATCH, 0, 0, {}},
        {VT_UNKNOWN, 0, 0, {}},
    };
}

Text Generator::RandomText()
{
    static const std::vector<std::wstring> words = {
        L"VORN", L"CONF", L"SERV", L"MODI", L"S11C", L"S22C", L"FULL", L"QFUL", L"ADAP", L"QAD", L"CCH",
        L"CCHA", L"CCHB", L"S11", L"S21", L"S12", L"S22", L"A", L"B", L"BOTH", L"DIV", L"ON", L"OFF", L"?",
        L"0", L"1", L"12", L"16", L"016", L"2.5", L"3.5", L"-2.5", L"32767", L"32768", L"-32769", L"1E3",
        L"1e3", L"1E", L".5", L"5.", L"1,5", L"1.2.3", L"$1", L"&H1F", L"1E400", L"2,5", L"1.5"};
    using namespace std::string_literals;  // the alphabet holds a zero character
    static const std::wstring alphabet = L"abcdefsxyzABEFLNOQSUV0123456789 \t\n.,+-?$&E\0"
                                         L"\u00E9\u00DF\u0131\u017F\u65E5\uFF71\u00A0\u3000\u20AC\uFF11"
                                         L"\xD800\u0100"s;
    if (random_.Chance(4))
        return {true, {}};
    std::wstring text;
    switch (random_.Below(10)) {
    case 0: // random characters
        for (std::uint32_t n = random_.Below(12); n > 0; --n)
            text += alphabet[random_.Below(static_cast<std::uint32_t>(alphabet.size()))];
        break;
    case 1: // now and then something long
        if (random_.Chance(10)) {
            text.assign(std::min<size_t>(random_.Below(2) ? (1u << 20) : 300u, LongestText()),
                        random_.Chance(50) ? L' ' : L'9');
            text.insert(random_.Below(static_cast<std::uint32_t>(text.size())), random_.Pick(words));
            break;
        }
        [[fallthrough]];
    default: { // a word, its letters in random case, with blanks or other white space around
        text = random_.Pick(words);
        for (wchar_t& c : text)
            if (random_.Chance(40) && c >= L'A' && c <= L'Z')
                c = static_cast<wchar_t>(c + 32);
        const wchar_t pads[] = {L' ', L' ', L' ', L'\t', L'\0', L'\u00A0'};
        if (random_.Chance(30))
            text.insert(0, random_.Below(3) + 1, random_.Pick(pads));
        if (random_.Chance(30))
            text.append(random_.Below(3) + 1, random_.Pick(pads));
        if (random_.Chance(8))
            text.insert(random_.Below(static_cast<std::uint32_t>(text.size() + 1)), 1,
                        alphabet[random_.Below(static_cast<std::uint32_t>(alphabet.size()))]);
    }
    }
    return {false, text};
}

short Generator::RandomShort()
{
    return random_.Chance(80) ? random_.Pick(kShorts) : static_cast<short>(random_.Next());
}

double Generator::RandomDouble()
{
    static const std::vector<double> extremes = ExtremeDoubles();
    if (random_.Chance(50))
        return random_.Pick(extremes);
    if (random_.Chance(50)) {
        const std::uint64_t bits = random_.Next();
        double value;
        memcpy(&value, &bits, sizeof value);
        return value;
    }
    return static_cast<double>(static_cast<int>(random_.Below(20000)) - 10000) / (1 << random_.Below(12));
}

ForeignValue Generator::RandomForeign()
{
    static const std::vector<ForeignValue> values = ForeignValues();
    ForeignValue value = random_.Pick(values);
    if (value.type == VT_I4 && random_.Chance(50))
        value.integer = static_cast<int>(random_.Next());
    if (value.type == VT_BSTR && random_.Chance(50))
        value.text = RandomText().text;
    return value;
}

Plan Generator::RandomPlan()
{
    Plan plan;
    plan.method = static_cast<int>(random_.Below(static_cast<std::uint32_t>(Methods().size())));
    const MethodInfo& m = Methods()[static_cast<size_t>(plan.method)];
    plan.route = random_.Chance(50) ? Route::Vtable : Route::Dispatch;
    const bool dispatch = plan.route == Route::Dispatch;
    // A prefix of the parameters positional, the rest named.
    const size_t positional = dispatch && random_.Chance(25) ? random_.Below(
                                                                   static_cast<std::uint32_t>(m.params.size() + 1))
                                                             : m.params.size();
    for (size_t p = 0; p < m.params.size(); ++p) {
        Passed passed;
        passed.named = p >= positional;
        switch (m.params[p]) {
        case Param::Int16: passed.value = Arg::Of(RandomShort()); break;
        case Param::Double: passed.value = Arg::Of(RandomDouble()); break;
        default: passed.value = Arg{Arg::Kind::Text, RandomText()}; break;
        }
        if (m.params[p] == Param::OptionalText && random_.Chance(30)) {
            passed.how = dispatch && random_.Chance(50) ? Passing::Missing : Passing::Absent;
            passed.value = Arg::Omitted();
        } else if (dispatch) {
            const std::uint32_t r = random_.Below(100);
            const bool emptyText = passed.value.kind == Arg::Kind::Text &&
                                   (passed.value.text.null || passed.value.text.text.empty());
            passed.how = r < 35   ? Passing::Typed
                         : r < 55 ? Passing::VariantRef
                         : r < 70 ? (emptyText ? Passing::EmptyVariantRef : Passing::ByValue)
                         : r < 85 ? Passing::ByValue
                         : r < 93 ? Passing::Foreign
                                  : Passing::ForeignRef;
            if (passed.how == Passing::Foreign || passed.how == Passing::ForeignRef)
                passed.foreign = RandomForeign();
        }
        plan.passed.push_back(std::move(passed));
    }
    if (dispatch && random_.Chance(20))
        plan.flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    return plan;
}

} // namespace hardening
