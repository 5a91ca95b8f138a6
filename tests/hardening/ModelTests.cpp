// Every method, through the vtable and through IDispatch, judged by the independent model
// (CommandModel): tables of hostile strings and extreme numbers, and long random sequences of calls
// with random arguments, argument forms, module library faults and objects.
//
// The random sequences print their seeds; a failing call is printed with its seed, its place in the
// sequence and the test to run. Replay it with VORN_HARDENING_SEED=<seed> (and
// VORN_HARDENING_CALLS=<count> to stop there), e.g. from the build's bin folder:
//   VORN_HARDENING_SEED=7 ../wine-run hardening_tests.exe --gtest_filter=Model.RandomSequences
// These tests also run with code page 932 and with a decimal comma (tests/hardening.cmake).
#include "CallRunner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <limits>

using namespace hardening;

namespace {

const std::wstring kMegabyteOfBlanks(1 << 20, L' ');

std::uint64_t EnvironmentNumber(const wchar_t* name, std::uint64_t fallback)
{
    const std::wstring text = Environment(name);
    return text.empty() ? fallback : std::wcstoull(text.c_str(), nullptr, 10);
}

// VORN_HARDENING_LONGEST caps the length of the strings tried (the heap check, which validates the
// whole heap at every allocation, sets it); without it they reach a megabyte and beyond.
size_t LongestText()
{
    static const size_t longest = static_cast<size_t>(EnvironmentNumber(L"VORN_HARDENING_LONGEST", SIZE_MAX));
    return longest;
}

// Strings a script or a careless client may hand over.
std::vector<Text> HostileTexts()
{
    using namespace std::string_literals;
    std::vector<std::wstring> texts = {
        L"", L" ", L"   ", L"\t", L"FULL\t", L"\tFULL", L" full ", L"full"s + L'\0', L'\0' + L"full"s,
        L"FU\0LL"s, L"?", L" ? ", L"?\0"s, L"??", L"ON", L" on ", L"oN ", L"off\n", L"A", L" b ", L"c", L"S21 ",
        L"div", L"bOtH", L"Vorn", L"cchb", L"16", L" 16 ", L"016", L"2.5", L"3.5", L"-2.5", L"-1", L"1E3", L"1e3",
        L"32767", L"32768", L"-32768", L"-32769", L"32767.5", L"-32768.5", L"32767.49", L"1E400", L"1E-400",
        L"1,000", L"$5", L"&H10", L"5-", L"1.2.3", L".5", L"5.", L"1E", L"E5", L"+", L"-", L".", L"1 6", L"+-1",
        L"\u0663", L"\uFF11\uFF12", L"\u00A05", L"\u00E9", L"stra\u00DFe", L"\u0131", L"\u017F11",
        L"\u0101dap", L"\u65E5\u672C", L"\uFF71", L"\xD800", L"\xDC00s11", L"\U0001F600", L"\uFEFFFULL", L"\u20AC1",
        L"\u0100", L"\uFB00", L"\u1E9E", L"\r\nFULL", L"\x7F", L"\x1B[2J", L"full" + std::wstring(300, L' '),
        std::wstring(4096, L'9'), kMegabyteOfBlanks + L"a" + kMegabyteOfBlanks, L"1" + std::wstring(1 << 20, L'0'),
        std::wstring(1 << 20, L'x'), std::wstring(1 << 20, L'\0'),
    };
    std::vector<Text> result{{true, {}}};
    for (std::wstring& t : texts)
        if (t.size() <= LongestText())
            result.push_back({false, std::move(t)});
    return result;
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

// Foreign values the dispatch layer must coerce (or refuse) for each declared type.
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

class Model : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        ASSERT_TRUE(UseLibraryFolder(L"sim"));
        SetEnvironment(L"VORN_SIM_FAULT", L"");
        for (auto& object : objects) {
            object = NewObject();
            ASSERT_TRUE(object);
        }
        circumstances = Circumstances::OfThisProcess();
        std::printf("code page %u, decimal separator '%lc'\n", circumstances.codePage,
                    static_cast<wint_t>(circumstances.decimal));
    }
    void TearDown() override
    {
        for (auto& object : objects)
            object.Reset();
        log.clear();
        CoUninitialize();
    }

    // Runs and judges one call; a failure is reported once with everything needed to repeat it.
    bool Try(const Plan& plan, const std::string& context = {})
    {
        const Result result = RunCall(plan, objects[0].Get(), log);
        const std::string wrong = Judge(plan, circumstances, result);
        if (wrong.empty())
            return true;
        ADD_FAILURE() << context << Describe(plan) << ": " << wrong;
        return false;
    }

    void RandomSequences(const std::wstring& folder, const std::wstring& arrivingFolder, std::uint64_t arrivesAfter);

    vorn::test::TrafficLog log{BinFolder() + L"\\hardening-" + std::to_wstring(GetCurrentProcessId()) +
                               L".traffic.log"};
    ComPtr<_clsVornlink> objects[3];
    Circumstances circumstances;
};

Passed Pass(Passing how, Arg value, bool named = false)
{
    return {how, named, std::move(value), {}};
}

Passed PassForeign(Passing how, const ForeignValue& value)
{
    Passed passed;
    passed.how = how;
    passed.foreign = value;
    return passed;
}

} // namespace

TEST_F(Model, HostileStringsOnEveryMethodThroughBothRoutes)
{
    const Passing forms[] = {Passing::Typed, Passing::Typed, Passing::VariantRef, Passing::ByValue};
    int failures = 0;
    for (size_t method = 0; method < Methods().size() && failures < 20; ++method) {
        const MethodInfo& m = Methods()[method];
        if (m.params.empty() || m.params[0] != Param::Text)
            continue;
        for (const Text& text : HostileTexts()) {
            for (int form = 0; form < 4; ++form) {
                Plan plan{static_cast<int>(method), form == 0 ? Route::Vtable : Route::Dispatch, {}, DISPATCH_METHOD};
                plan.passed.push_back(Pass(forms[form], Arg{Arg::Kind::Text, text}));
                if (m.params.size() > 1) {
                    // strReturn supplied on even forms, omitted on odd ones (as null or as absent)
                    plan.passed.push_back(form % 2 == 0 ? Pass(forms[form], Arg::Of(L"untouched"))
                                                        : Pass(Passing::Absent, Arg::Omitted()));
                }
                failures += !Try(plan);
                // The string as the query's reply slot.
                if (m.params.size() > 1 && form != 3) {
                    plan.passed[0] = Pass(Passing::Typed, Arg::Of(L"?"));
                    plan.passed[1] = Pass(forms[form], Arg{Arg::Kind::Text, text});
                    failures += !Try(plan);
                }
            }
        }
    }
}

// A character the ANSI code page lacks reaches the module as the code page's default character,
// never as a look-alike: a register with a white space character around it that the numeric
// reading skips is sent with that character in it.
TEST_F(Model, CharactersTheCodePageLacksAreSentAsItsDefaultCharacter)
{
    const int save = MethodIndex("SENS_CORR_COLL_SAVE");
    for (const wchar_t* space : {L"\u3000", L"\u2002", L"\u2003", L"\u2009", L"\u200A", L"\u202F", L"\u205F",
                                 L"\u1680", L"\u2007"}) {
        for (const std::wstring& text : {L"5" + std::wstring(space), std::wstring(space) + L"5"}) {
            for (const Route route : {Route::Vtable, Route::Dispatch}) {
                Plan plan{save, route, {Pass(Passing::Typed, Arg::Of(text))}, DISPATCH_METHOD};
                Try(plan);
            }
        }
    }
}

TEST_F(Model, ExtremeNumbersThroughBothRoutes)
{
    const int config = MethodIndex("CONFIG");
    const int delay = MethodIndex("VORN_DELAY");
    const short valid[4] = {1, 7, 16, 1};
    int failures = 0;
    const Passing forms[] = {Passing::Typed, Passing::Typed, Passing::VariantRef, Passing::ByValue};
    for (int form = 0; form < 4 && failures < 20; ++form) {
        const Route route = form == 0 ? Route::Vtable : Route::Dispatch;
        // One value at a time outside its range, then all four at either end.
        for (int position = 0; position < 6; ++position) {
            for (const short value : kShorts) {
                Plan plan{config, route, {}, DISPATCH_METHOD};
                for (int p = 0; p < 4; ++p) {
                    const short v = position < 4 ? (p == position ? value : valid[p])
                                                  : (position == 4 ? kShorts.front() : kShorts.back());
                    plan.passed.push_back(Pass(forms[form], Arg::Of(v)));
                }
                failures += !Try(plan);
            }
        }
        for (const double adapter : ExtremeDoubles()) {
            for (const short measure : {short(-32768), short(0), short(32767)}) {
                Plan plan{delay, route, {Pass(forms[form], Arg::Of(adapter)), Pass(forms[form], Arg::Of(measure))},
                          DISPATCH_METHOD};
                failures += !Try(plan);
            }
        }
    }
    // Other types for every numeric and string parameter, coerced or refused by the dispatch layer.
    for (const ForeignValue& foreign : ForeignValues()) {
        for (const Passing how : {Passing::Foreign, Passing::ForeignRef}) {
            for (int position = 0; position < 4; ++position) {
                Plan plan{config, Route::Dispatch, {}, DISPATCH_METHOD};
                for (int p = 0; p < 4; ++p)
                    plan.passed.push_back(p == position ? PassForeign(how, foreign)
                                                        : Pass(Passing::Typed, Arg::Of(valid[p])));
                failures += !Try(plan);
            }
            for (int position = 0; position < 2; ++position) {
                Plan plan{delay, Route::Dispatch, {}, DISPATCH_METHOD};
                plan.passed.push_back(position == 0 ? PassForeign(how, foreign)
                                                    : Pass(Passing::Typed, Arg::Of(0.25)));
                plan.passed.push_back(position == 1 ? PassForeign(how, foreign)
                                                    : Pass(Passing::Typed, Arg::Of(short(10))));
                failures += !Try(plan);
            }
            for (const char* name : {"SENS_CORR_COLL_SAVE", "DISP_MENU", "VORN_IAV", "SYST_ERR"}) {
                Plan plan{MethodIndex(name), Route::Dispatch, {}, DISPATCH_METHOD};
                plan.passed.push_back(PassForeign(how, foreign));
                if (Methods()[static_cast<size_t>(plan.method)].params.size() > 1)
                    plan.passed.push_back(Pass(Passing::Absent, Arg::Omitted()));
                failures += !Try(plan);
            }
        }
    }
}

namespace {

// Random arguments, leaning towards the values that decide something.
class Generator {
public:
    explicit Generator(std::uint64_t seed) : random_(seed) {}

    Text RandomText()
    {
        static const std::vector<std::wstring> words = {
            L"VORN", L"CONF", L"SERV", L"MODI", L"S11C", L"S22C", L"FULL", L"QFUL", L"ADAP", L"QAD", L"CCH",
            L"CCHA", L"CCHB", L"S11", L"S21", L"S12", L"S22", L"A", L"B", L"BOTH", L"DIV", L"ON", L"OFF", L"?",
            L"0", L"1", L"12", L"16", L"016", L"2.5", L"3.5", L"-2.5", L"32767", L"32768", L"-32769", L"1E3",
            L"1e3", L"1E", L".5", L"5.", L"1,5", L"1.2.3", L"$1", L"&H1F", L"1E400", L"2,5", L"1.5"};
        static const std::wstring alphabet = L"abcdefsxyzABEFLNOQSUV0123456789 \t\n.,+-?$&E\0"
                                             L"\u00E9\u00DF\u0131\u017F\u65E5\uFF71\u00A0\u3000\u20AC\uFF11"
                                             L"\xD800\u0100";
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

    short RandomShort()
    {
        return random_.Chance(80) ? random_.Pick(kShorts) : static_cast<short>(random_.Next());
    }

    double RandomDouble()
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

    ForeignValue RandomForeign()
    {
        static const std::vector<ForeignValue> values = ForeignValues();
        ForeignValue value = random_.Pick(values);
        if (value.type == VT_I4 && random_.Chance(50))
            value.integer = static_cast<int>(random_.Next());
        if (value.type == VT_BSTR && random_.Chance(50))
            value.text = RandomText().text;
        return value;
    }

    Plan RandomPlan()
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

    Random& random() { return random_; }

private:
    Random random_;
};

bool Exports(const std::wstring& folder, bool queryEntry)
{
    if (folder == L"sim")
        return true;
    if (folder == L"sim-noquery")
        return !queryEntry;
    return false;
}

} // namespace

// Sequences of random calls on three objects, with random fault switches of the simulated module.
// The module library is found in `folder` from the start, or, when `arrivesAfter` is nonzero, only
// from that call on, before which the server must fail every call that sends something.
void Model::RandomSequences(const std::wstring& folder, const std::wstring& arrivingFolder, std::uint64_t arrivesAfter)
{
    const std::wstring loaded = LoadedLibraryFolder();
    if (!loaded.empty() && loaded != folder)
        GTEST_SKIP() << "this process already loaded the module library from " << Printable(loaded)
                     << "; run the test in a process of its own";
    const std::uint64_t givenSeed = EnvironmentNumber(L"VORN_HARDENING_SEED", 0);
    const std::vector<std::uint64_t> seeds =
        givenSeed ? std::vector<std::uint64_t>{givenSeed} : std::vector<std::uint64_t>{20261208, 7, 1234567};
    const std::uint64_t calls = EnvironmentNumber(L"VORN_HARDENING_CALLS", 2000);
    const std::wstring faults[] = {L"", L"", L"", L"leadspace", L"fill256", L"overrun", L"garbage",
                                   L"leadspace,fill256", L"garbage,overrun"};
    ASSERT_TRUE(UseLibraryFolder(folder));
    std::printf("module library: %ls%s%ls\n", folder.c_str(), arrivesAfter ? ", from call " : "",
                arrivesAfter ? (std::to_wstring(arrivesAfter + 1) + L" on " + arrivingFolder).c_str() : L"");

    std::uint64_t total = 0;
    for (const std::uint64_t seed : seeds) {
        std::printf("seed %llu, %llu calls\n", static_cast<unsigned long long>(seed),
                    static_cast<unsigned long long>(calls));
        std::fflush(stdout);
        Generator generator(seed);
        for (std::uint64_t i = 0; i < calls; ++i, ++total) {
            if (arrivesAfter && total == arrivesAfter) {
                ASSERT_TRUE(UseLibraryFolder(arrivingFolder));
            }
            if (generator.random().Chance(10))
                SetEnvironment(L"VORN_SIM_FAULT", generator.random().Pick(faults));
            if (generator.random().Chance(2)) {
                auto& object = objects[generator.random().Below(3)];
                object = NewObject();
                ASSERT_TRUE(object);
            }
            _clsVornlink* object = objects[generator.random().Below(3)].Get();
            const Plan plan = generator.RandomPlan();

            // The library the server's LoadLibrary("Vorn.dll") gets: the one loaded, else the folder's.
            Circumstances now = circumstances;
            std::wstring library = LoadedLibraryFolder();
            if (library.empty()) {
                wchar_t current[MAX_PATH] = {};
                GetCurrentDirectoryW(MAX_PATH, current);
                library = std::wstring(current).substr(std::wstring(current).find_last_of(L'\\') + 1);
            }
            now.sendEntry = Exports(library, false);
            now.queryEntry = Exports(library, true);

            const Result result = RunCall(plan, object, log);
            const std::string wrong = Judge(plan, now, result);
            if (!wrong.empty()) {
                FAIL() << "seed " << seed << ", call " << i + 1 << " of " << calls << " (module library "
                       << Printable(library) << ", faults " << Printable(Environment(L"VORN_SIM_FAULT"))
                       << "):\n  " << Describe(plan) << "\n  " << wrong << "\n  replay: VORN_HARDENING_SEED=" << seed
                       << " VORN_HARDENING_CALLS=" << i + 1 << " with --gtest_filter="
                       << ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() << "."
                       << ::testing::UnitTest::GetInstance()->current_test_info()->name();
            }
        }
    }
    SetEnvironment(L"VORN_SIM_FAULT", L"");
    std::printf("%llu calls agreed with the model\n", static_cast<unsigned long long>(total));
}

TEST_F(Model, RandomSequences)
{
    RandomSequences(L"sim", L"", 0);
}

TEST_F(Model, RandomSequencesWhileTheLibraryIsMissingThenAppears)
{
    RandomSequences(L"no-library", L"sim", 150);
}

TEST_F(Model, RandomSequencesWithALibraryLackingTheQueryEntry)
{
    RandomSequences(L"no-library", L"sim-noquery", 150);
}
