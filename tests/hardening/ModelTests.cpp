// Every method, through the vtable and through IDispatch, judged by the independent model
// (CommandModel): tables of hostile strings and extreme numbers, and long random sequences of calls
// with random arguments, argument forms, module library faults and objects.
//
// The random sequences print their seeds; a failing call is printed with its seed, its place in the
// sequence and the test to run. Replay it with VORN_HARDENING_SEED=<seed> (and
// VORN_HARDENING_CALLS=<count> to stop there), e.g. from the build's bin folder:
//   VORN_HARDENING_SEED=7 ../wine-run hardening_tests.exe --gtest_filter=Model.RandomSequences
// These tests also run with code page 932 and with a decimal comma (tests/hardening.cmake).
#include "RandomCalls.h"

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
