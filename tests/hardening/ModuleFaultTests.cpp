// Faults of the module driver library: missing altogether, lacking the query entry, an entry that
// appears while the library is loaded, replies that fill the buffer, write past the size they were
// told, or hold random bytes, and replies that take their time. Each call is judged by the model.
//
// The library is bound once per process, so each test that depends on what is bound first runs in a
// process of its own (as ctest runs them) and skips itself otherwise.
#include "CallRunner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

using namespace hardening;

namespace {

Passed Typed(Arg value)
{
    Passed p;
    p.value = std::move(value);
    return p;
}

// For every method: calls that send, that query, that are rejected, and one that overflows.
std::vector<Plan> EveryKindOfCall(Route route)
{
    std::vector<Plan> plans;
    auto add = [&](const char* name, std::vector<Arg> args) {
        Plan plan{MethodIndex(name), route, {}, DISPATCH_METHOD};
        for (Arg& a : args) {
            if (a.kind == Arg::Kind::Omitted) {
                Passed absent;
                absent.how = Passing::Absent;
                plan.passed.push_back(absent);
            } else {
                plan.passed.push_back(Typed(std::move(a)));
            }
        }
        plans.push_back(std::move(plan));
    };
    const Arg none = Arg::Omitted();
    add("SPI_VERSION", {Arg::Null()});
    add("CONFIG", {Arg::Of(short(1)), Arg::Of(short(7)), Arg::Of(short(16)), Arg::Of(short(1))});
    add("CONFIG", {Arg::Of(short(0)), Arg::Of(short(7)), Arg::Of(short(16)), Arg::Of(short(1))});
    add("VORN_DELAY", {Arg::Of(2.5), Arg::Of(short(3))});
    add("DISP_MENU", {Arg::Of(L"vorn")});
    add("DISP_MENU", {Arg::Of(L"vorn ")});
    add("VORN_FINT", {Arg::Of(L" on "), none});
    add("VORN_FINT", {Arg::Of(L"?"), Arg::Of(L"old")});
    add("VORN_FINT", {Arg::Of(L"?"), none});
    add("VORN_IAV", {Arg::Of(L"8"), Arg::Of(L"old")});
    add("VORN_IAV", {Arg::Of(L"?"), Arg::Of(L"old")});
    add("VORN_IAV", {Arg::Of(L"99999"), none});
    add("VORN_IAV", {Arg::Of(L"x"), none});
    for (const char* fixed : {"VORN_ABORT", "VORN_CLEAN", "SENS_CORR_COLL_DONE", "SENS_CORR_COLL_NEXT",
                              "SENS_CORR_COLL_PRIOR", "SENS_CORR_COLL_RES"})
        add(fixed, {});
    add("SENS_CORR_COLL_METH", {Arg::Of(L" full ")});
    add("SENS_CORR_COLL_METH", {Arg::Of(L"ful")});
    add("SENS_CORR_COLL_PAR", {Arg::Of(L"s21")});
    add("SENS_CORR_COLL_ACQ", {Arg::Of(L" a")});
    add("SENS_CORR_COLL_ACQ", {Arg::Of(L"c")});
    add("SENS_CORR_COLL_SAVE", {Arg::Of(L" 1 ")});
    add("SENS_CORR_COLL_SAVE", {Arg::Of(L"a")});
    add("SENS_CORR_COLL_VIEW", {Arg::Of(L"div")});
    add("SYST_ERR", {Arg::Of(L"old")});
    add("CMD_IDN", {Arg::Null()});
    return plans;
}

std::vector<Plan> Queries(Route route)
{
    std::vector<Plan> plans;
    for (const Plan& plan : EveryKindOfCall(route)) {
        const MethodInfo& m = Methods()[static_cast<size_t>(plan.method)];
        const bool query = m.shape == Shape::Query ||
                           (plan.passed.size() > 1 && plan.passed[0].value.text.text == L"?" &&
                            plan.passed[1].how != Passing::Absent);
        if (query)
            plans.push_back(plan);
    }
    return plans;
}

class ModuleFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        SetEnvironment(L"VORN_SIM_FAULT", L"");
        object = NewObject();
        ASSERT_TRUE(object);
    }
    void TearDown() override
    {
        SetEnvironment(L"VORN_SIM_FAULT", L"");
        object.Reset();
        log.clear();
        CoUninitialize();
    }

    // A fresh process has loaded no module library yet.
    bool Fresh() const { return LoadedLibraryFolder().empty(); }

    // Every plan through both routes, judged with the given library entries.
    void JudgeAll(const std::vector<Plan>& plans, bool sendEntry, bool queryEntry, const char* stage)
    {
        Circumstances c = Circumstances::OfThisProcess();
        c.sendEntry = sendEntry;
        c.queryEntry = queryEntry;
        for (const Plan& plan : plans) {
            const Result result = RunCall(plan, object.Get(), log);
            const std::string wrong = Judge(plan, c, result);
            EXPECT_TRUE(wrong.empty()) << stage << ": " << Describe(plan) << ": " << wrong;
        }
    }

    std::vector<Plan> BothRoutes(std::vector<Plan> (*make)(Route))
    {
        std::vector<Plan> plans = make(Route::Vtable);
        for (Plan& p : make(Route::Dispatch))
            plans.push_back(std::move(p));
        return plans;
    }

    vorn::test::TrafficLog log{BinFolder() + L"\\hardening-" + std::to_wstring(GetCurrentProcessId()) +
                               L".traffic.log"};
    ComPtr<_clsVornlink> object;
};

} // namespace

TEST_F(ModuleFaults, MissingLibraryFailsEverySendingCallUntilItAppears)
{
    if (!Fresh())
        GTEST_SKIP() << "needs a process that hasn't loaded the module library";
    ASSERT_TRUE(UseLibraryFolder(L"no-library"));
    const std::vector<Plan> plans = BothRoutes(EveryKindOfCall);
    JudgeAll(plans, false, false, "no library");
    JudgeAll(plans, false, false, "no library, again");
    ASSERT_TRUE(UseLibraryFolder(L"sim"));
    JudgeAll(plans, true, true, "library put in place");
}

TEST_F(ModuleFaults, LibraryWithoutTheQueryEntrySendsTheQueryThenFails)
{
    if (!Fresh())
        GTEST_SKIP() << "needs a process that hasn't loaded the module library";
    ASSERT_TRUE(UseLibraryFolder(L"sim-noquery"));
    const std::vector<Plan> plans = BothRoutes(EveryKindOfCall);
    JudgeAll(plans, true, false, "no query entry");
    JudgeAll(plans, true, false, "no query entry, again");
}

// A file named Vorn.dll that is no library for this process: empty, text, a truncated header. Each
// call fails cleanly and tries again; once the real library is found, calls go through.
TEST_F(ModuleFaults, FileThatIsNoLibraryFailsEveryCallUntilTheRealOneIsFound)
{
    if (!Fresh())
        GTEST_SKIP() << "needs a process that hasn't loaded the module library";
    const std::string contents[] = {"", "not a library\r\n", std::string("MZ\x90\0\3\0\0\0", 8) + std::string(60, '\xFF')};
    const std::vector<Plan> plans = BothRoutes(EveryKindOfCall);
    for (const std::string& content : contents) {
        SCOPED_TRACE(PrintableBytes(content.substr(0, 16)));
        ASSERT_TRUE(UseLibraryFolder(L"no-library"));
        ASSERT_TRUE(UseLibraryFolder(L"bad-library"));
        const HANDLE file = CreateFileW(L"Vorn.dll", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                        nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        CloseHandle(file);
        JudgeAll(plans, false, false, "no library in that file");
    }
    ASSERT_TRUE(UseLibraryFolder(L"sim"));
    JudgeAll(plans, true, true, "the real library");
}

// Vorn.dll in bin/sim-late forwards GetQueryResponse to VornLateQuery.dll: while that file is
// missing the entry can't be bound; once it is there, the next query binds it.
TEST_F(ModuleFaults, QueryEntryThatAppearsWhileTheLibraryIsLoaded)
{
    if (!Fresh())
        GTEST_SKIP() << "needs a process that hasn't loaded the module library";
    const std::wstring target = BinFolder() + L"\\sim-late\\VornLateQuery.dll";
    ASSERT_TRUE(DeleteFileW(target.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
        << "a VornLateQuery.dll of an earlier run is in use";
    ASSERT_TRUE(UseLibraryFolder(L"sim-late"));
    const std::vector<Plan> queries = BothRoutes(Queries);
    JudgeAll(queries, true, false, "entry not there yet");
    ASSERT_TRUE(CopyFileW((BinFolder() + L"\\sim-late-parts\\VornLateQuery.dll").c_str(), target.c_str(), FALSE));
    JudgeAll(queries, true, true, "entry arrived");
    JudgeAll(BothRoutes(EveryKindOfCall), true, true, "entry arrived, every method");
}

TEST_F(ModuleFaults, RepliesThatFillOverrunOrGarbleTheBuffer)
{
    ASSERT_TRUE(UseLibraryFolder(L"sim"));
    if (LoadedLibraryFolder() != L"sim" && !Fresh())
        GTEST_SKIP() << "another module library is loaded in this process";
    const std::vector<Plan> queries = BothRoutes(Queries);
    for (const wchar_t* fault : {L"fill256", L"overrun", L"garbage", L"leadspace", L"leadspace,fill256",
                                 L"garbage,overrun"}) {
        SetEnvironment(L"VORN_SIM_FAULT", fault);
        for (int round = 0; round < 8; ++round)
            JudgeAll(queries, true, true, Printable(fault).c_str());
    }
    // Spelled out once: a reply of all 256 bytes it was told keeps the buffer's zero at byte 256;
    // one written past that fills all 257 decoded bytes (byte 257 is never read).
    for (const auto& [fault, zeros] : {std::pair{L"fill256", 1u}, std::pair{L"overrun", 0u}}) {
        SetEnvironment(L"VORN_SIM_FAULT", fault);
        Bstr reply;
        LONG result = 99;
        ASSERT_EQ(object->CMD_IDN(reply.slot(), &result), S_OK);
        EXPECT_EQ(reply.view().size(), 257u) << Printable(fault);
        EXPECT_EQ(static_cast<unsigned>(std::count(reply.view().begin(), reply.view().end(), L'\0')), zeros);
    }
}

TEST_F(ModuleFaults, SlowRepliesAreWaitedFor)
{
    ASSERT_TRUE(UseLibraryFolder(L"sim"));
    if (LoadedLibraryFolder() != L"sim" && !Fresh())
        GTEST_SKIP() << "another module library is loaded in this process";
    const unsigned delayMs = 1000;
    SetEnvironment(L"VORN_SIM_FAULT", L"slow=" + std::to_wstring(delayMs));
    Circumstances c = Circumstances::OfThisProcess();
    for (const Route route : {Route::Vtable, Route::Dispatch}) {
        Plan plan{MethodIndex("CMD_IDN"), route, {Typed(Arg::Of(L"old"))}, DISPATCH_METHOD};
        const auto start = std::chrono::steady_clock::now();
        const Result result = RunCall(plan, object.Get(), log);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::string wrong = Judge(plan, c, result);
        EXPECT_TRUE(wrong.empty()) << Describe(plan) << ": " << wrong;
        ASSERT_TRUE(result.observation.finalText[0]);
        EXPECT_EQ(result.observation.finalText[0]->text.substr(0, 5), L"VORN,");
        std::printf("%s with each entry taking %u ms: %.2f s\n", Describe(plan).c_str(), delayMs, seconds);
    }
}
