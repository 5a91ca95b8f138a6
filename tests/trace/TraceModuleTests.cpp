// The tracing Vorn.dll (bin/trace) between the real server and the simulated module as its target.
// Each traced or untraced run is a client process of its own (TraceClient.h).

#include "TraceClient.h"

#include "server/ServerUnderTest.h"
#include "support/TrafficLog.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using tracetest::Client;
using tracetest::ClientOptions;
using tracetest::ClientRun;
using vorn::test::BinFolder;
using vorn::test::ReplyRequest;
using vorn::test::TrafficLine;
using vorn::test::TrafficLog;
using vorn::test::TrafficRecord;

const std::string kIdentification = "VORN,EC-2P Simulated Module,SIM00001,01.002";
const std::string kFileNotFound = "hr=800A0035"; // the server's error 53, as for a missing Vorn.dll
const std::wstring kSequence[] = {L"IDN", L"CONFIG", L"METH", L"ERR", L"FINT?", L"IAV?", L"CLEAN", L"IDN"};

std::wstring SimTarget()
{
    return BinFolder() + L"\\sim\\Vorn.dll";
}

void SetVariable(const wchar_t* name, const std::wstring& value)
{
    SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str());
}

std::vector<std::wstring> Repeat(const std::wstring& step, int times)
{
    return std::vector<std::wstring>(static_cast<std::size_t>(times), step);
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const wchar_t* name : {L"VORN_TRACE_TARGET", L"VORN_TRACE_MAX_KB", L"VORN_SIM_FAULT"})
            SetEnvironmentVariableW(name, nullptr);
        SetVariable(L"VORN_TRACE_TARGET", SimTarget());
        simLog.clear();
        clearTrace();
    }
    void TearDown() override { clearTrace(); }

    void clearTrace()
    {
        trace.clear();
        DeleteFileW((trace.path() + L".1").c_str());
    }

    ClientRun run(const std::wstring& folder, std::vector<std::wstring> steps)
    {
        ClientRun result = tracetest::Client(ClientOptions{folder, std::move(steps)}).Wait();
        EXPECT_EQ(result.exitCode, 0u);
        return result;
    }

    // Lines of the trace that carry a given entry's call (as opposed to its outcome).
    static std::vector<TrafficLine> callsOf(const std::vector<TrafficLine>& lines, const char* entry)
    {
        std::vector<TrafficLine> calls;
        for (const TrafficLine& line : lines)
            if (line.has(entry) && !line.value("return"))
                calls.push_back(line);
        return calls;
    }

    TrafficLog simLog{BinFolder() + L"\\trace_tests.sim.log"};
    TrafficLog trace{BinFolder() + L"\\trace_tests.trace.log", L"VORN_TRACE_LOG"};
};

using TraceForwarding = TraceTest;
using TraceTarget = TraceTest;
using TraceFile = TraceTest;

TEST_F(TraceForwarding, ChangesNothingTheTwoSidesExchangeInAnyFaultMode)
{
    for (const wchar_t* fault : {L"", L"fill256", L"overrun", L"garbage", L"leadspace", L"slow=20"}) {
        SCOPED_TRACE(testing::Message() << "VORN_SIM_FAULT=" << vorn::test::Narrow(fault));
        SetVariable(L"VORN_SIM_FAULT", fault);
        const std::vector<std::wstring> steps(std::begin(kSequence), std::end(kSequence));

        simLog.clear();
        const ClientRun direct = run(L"sim", steps);
        const std::string directRecord = simLog.rawText();
        simLog.clear();
        clearTrace();
        // A reader holding the file open all along, as a live viewer does.
        const std::unique_ptr<void, decltype(&CloseHandle)> reader(
            CreateFileW(trace.path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
            &CloseHandle);
        const ClientRun traced = run(L"trace", steps);

        ASSERT_EQ(direct.lines.size(), steps.size() + 1);
        EXPECT_EQ(traced.lines, direct.lines) << "the server's results and replies";
        EXPECT_EQ(simLog.rawText(), directRecord) << "the module's own record";
        const std::vector<ReplyRequest> requests(5, ReplyRequest{256, 0}); // five queries
        EXPECT_EQ(simLog.replyRequests(), requests) << "the server tells 256 and passes outValue 0";

        // The trace holds the same traffic: commands exact, replies as far as their first zero
        // within the 256 bytes told, and says where there is none.
        const std::vector<TrafficLine> lines = trace.lines();
        std::vector<TrafficRecord> expected;
        for (TrafficRecord record : simLog.records()) {
            if (record.direction == TrafficRecord::Direction::Replied)
                record.bytes = record.bytes.substr(0, std::min<std::size_t>(256, record.bytes.find('\0')));
            expected.push_back(record);
        }
        EXPECT_EQ(trace.records(), expected);
        EXPECT_EQ(trace.replyRequests(), requests);
        // Each call: a line before it is forwarded, one after it, both with its number; the time the
        // target took; "unterminated" where the reply has no zero within the size told.
        const bool noZeroWithin256 = std::wstring(fault) == L"fill256" || std::wstring(fault) == L"overrun";
        ASSERT_EQ(lines.size(), 4u * 8u - 3u * 2u) << "8 calls, 5 of them queries";
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const TrafficLine& line = lines[i];
            ASSERT_GE(line.fields.size(), 5u);
            EXPECT_EQ(line.fields[0].size(), 23u) << "local time with milliseconds: " << line.fields[0];
            EXPECT_EQ(line.fields[2].rfind("pid=", 0), 0u);
            EXPECT_EQ(line.fields[3].rfind("tid=", 0), 0u);
            EXPECT_EQ(line.value("return").has_value(), i % 2 == 1);
            if (i % 2 == 0)
                continue;
            EXPECT_EQ(line.fields[1], lines[i - 1].fields[1]);
            EXPECT_EQ(line.fields[4], lines[i - 1].fields[4]);
            EXPECT_GE(std::stol(line.value("took").value_or("0")), *fault == L's' ? 15000 : 0);
            if (line.data) {
                EXPECT_EQ(line.has("unterminated"), noZeroWithin256);
            }
        }
        const std::vector<std::string> notes = trace.notes();
        ASSERT_EQ(notes.size(), 1u) << "one header for the one process";
        EXPECT_NE(notes[0].find("trace_module_tests.exe\" target=\"" + vorn::test::Narrow(SimTarget()) + "\""),
                  std::string::npos)
            << notes[0];
        std::string live;
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(reader.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
            live.append(chunk, got);
        EXPECT_EQ(live, trace.rawText()) << "read while being written";
    }
}

// The target really is a file named Vorn.dll, found by its full path or along PATH past the tracing
// library itself. Both entries reach the trace whichever is bound first.
TEST_F(TraceTarget, BothEntriesPassTheTraceWhicheverIsBoundFirst)
{
    // The tracing library itself comes first on PATH: it must pass over it.
    const std::wstring path = BinFolder() + L"\\trace;" + BinFolder() + L"\\sim;";
    const std::wstring systemPath = [] {
        wchar_t value[4096] = {};
        GetEnvironmentVariableW(L"PATH", value, 4096);
        return std::wstring(value);
    }();
    for (const bool alongPath : {false, true}) {
        for (const bool readFirst : {false, true}) {
            SCOPED_TRACE(testing::Message() << (alongPath ? "found along PATH" : "VORN_TRACE_TARGET")
                                            << (readFirst ? ", GetQueryResponse bound first" : ""));
            SetVariable(L"VORN_TRACE_TARGET", alongPath ? L"" : SimTarget());
            SetVariable(L"PATH", alongPath ? path + systemPath : systemPath);
            simLog.clear();
            clearTrace();
            const std::vector<std::wstring> steps =
                readFirst ? std::vector<std::wstring>{L"bind-read", L"bind-send", L"bind-read"}
                          : std::vector<std::wstring>{L"bind-send", L"bind-read"};
            const ClientRun client = run(L"trace", steps);
            ASSERT_EQ(client.lines.size(), steps.size() + 1);
            for (std::size_t i = 0; i < steps.size(); ++i)
                EXPECT_NE(client.lines[i].find("module=trace"), std::string::npos) << client.lines[i];
            EXPECT_NE(client.lines[steps.size() - 1].find("reply=" + kIdentification), std::string::npos);
            EXPECT_EQ(client.lines.back(), "modules named Vorn.dll: 1") << "the target has a module name of its own";

            EXPECT_EQ(callsOf(trace.lines(), "SendScpiCommand").size(), 1u);
            EXPECT_EQ(callsOf(trace.lines(), "GetQueryResponse").size(), readFirst ? 2u : 1u);
            EXPECT_EQ(trace.records().back(), (TrafficRecord{TrafficRecord::Direction::Replied, kIdentification}));
            EXPECT_EQ(simLog.records().back(), trace.records().back());
        }
    }
    SetVariable(L"PATH", systemPath);
}

TEST_F(TraceTarget, UnusableTargetFailsTheCallAsAMissingLibraryUntilItIsFixed)
{
    const struct {
        const char* name;
        std::wstring target;
        std::string verdict;
    } cases[] = {
        {"missing", BinFolder() + L"\\no-library\\Vorn.dll", "(not found)"},
        {"without GetQueryResponse", BinFolder() + L"\\sim-noquery\\Vorn.dll", "(lacks GetQueryResponse)"},
        {"itself", BinFolder() + L"\\trace\\Vorn.dll", "(a tracing library)"},
        {"no library", BinFolder() + L"\\trace_module_tests.exe", "(not a 32-bit library)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearTrace();
        SetVariable(L"VORN_TRACE_TARGET", c.target);
        // The second call still fails; once the target is usable the next call succeeds.
        const ClientRun client = run(L"trace", {L"IDN", L"IDN", L"env:VORN_TRACE_TARGET=" + SimTarget(), L"IDN"});
        ASSERT_EQ(client.lines.size(), 4u);
        EXPECT_NE(client.lines[0].find(kFileNotFound), std::string::npos) << client.lines[0];
        EXPECT_NE(client.lines[1].find(kFileNotFound), std::string::npos) << client.lines[1];
        EXPECT_NE(client.lines[2].find("hr=00000000 result=0 module=- reply=" + kIdentification), std::string::npos)
            << client.lines[2];

        const std::vector<std::string> notes = trace.notes();
        ASSERT_EQ(notes.size(), 3u) << "two refusals, then the header";
        EXPECT_NE(notes[0].find("load refused: no usable Vorn.dll; tried \"" + vorn::test::Narrow(c.target) + "\" " +
                                c.verdict),
                  std::string::npos)
            << notes[0];
        EXPECT_NE(notes[2].find("target=\"" + vorn::test::Narrow(SimTarget()) + "\""), std::string::npos);
        EXPECT_EQ(callsOf(trace.lines(), "SendScpiCommand").size(), 1u);
    }
}

TEST_F(TraceFile, RotatesPastTheLimitKeepingOneOldFile)
{
    SetVariable(L"VORN_TRACE_MAX_KB", L"1");
    run(L"trace", Repeat(L"IDN", 20));
    const TrafficLog old(trace.path() + L".1", L"VORN_TRACE_UNUSED");
    const std::string current = trace.rawText();
    const std::string previous = old.rawText();
    // A file is rotated before a record would take it past the limit: each stays within it, the old
    // one short of it by less than a record.
    EXPECT_LE(previous.size(), 1024u);
    EXPECT_GT(previous.size(), 1024u - 300u);
    EXPECT_LE(current.size(), 1024u);
    // Nothing lost across the rotation: call numbers run on from the old file into the current one.
    const std::vector<TrafficLine> before = old.lines(), after = trace.lines();
    ASSERT_FALSE(before.empty());
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(std::stol(after.front().fields[1]) - std::stol(before.back().fields[1]),
              after.front().value("return") ? 0 : 1);
    EXPECT_EQ(after.back().fields[1], "40");
}

TEST_F(TraceFile, SeveralProcessesAppendWholeRecords)
{
    constexpr int calls = 60;
    for (const wchar_t* limitKb : {L"", L"8"}) {
        SCOPED_TRACE(testing::Message() << "VORN_TRACE_MAX_KB=" << vorn::test::Narrow(limitKb));
        clearTrace();
        SetVariable(L"VORN_TRACE_MAX_KB", limitKb);
        {
            Client first(ClientOptions{L"trace", Repeat(L"IDN", calls)});
            Client second(ClientOptions{L"trace", Repeat(L"IDN", calls)});
            EXPECT_EQ(first.Wait().exitCode, 0u);
            EXPECT_EQ(second.Wait().exitCode, 0u);
        }
        const TrafficLog old(trace.path() + L".1", L"VORN_TRACE_UNUSED");
        std::vector<TrafficLine> lines = old.lines(); // every line parses: none holds parts of two records
        for (TrafficLine& line : trace.lines())
            lines.push_back(std::move(line));
        std::map<std::string, std::vector<long>> numbersByProcess;
        for (const TrafficLine& line : lines) {
            EXPECT_TRUE(line.has("SendScpiCommand") || line.has("GetQueryResponse"));
            EXPECT_EQ(line.fields.at(2).rfind("pid=", 0), 0u);
            numbersByProcess[line.fields.at(2)].push_back(std::stol(line.fields.at(1)));
        }
        if (*limitKb == L'\0') {
            ASSERT_EQ(numbersByProcess.size(), 2u);
            for (const auto& [pid, numbers] : numbersByProcess) {
                ASSERT_EQ(numbers.size(), 4u * calls) << pid;
                EXPECT_EQ(numbers.back(), 2 * calls) << pid;
            }
            EXPECT_EQ(trace.notes().size(), 2u) << "a header per process";
        } else {
            EXPECT_LE(old.rawText().size(), 8192u);
            EXPECT_LE(trace.rawText().size(), 8192u);
        }
        for (const auto& [pid, numbers] : numbersByProcess)
            EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end())) << pid;
    }
}

TEST_F(TraceFile, UnwritableFileStopsTracingQuietlyAndNeverAFailedCall)
{
    for (const std::wstring& file : {BinFolder() + L"\\no-such-folder\\trace.log", BinFolder()}) {
        SCOPED_TRACE(vorn::test::Narrow(file));
        SetVariable(L"VORN_TRACE_LOG", file);
        ClientOptions options{L"trace", {L"IDN", L"IDN", L"ERR"}};
        options.collectDebugOutput = true;
        const ClientRun client = tracetest::Client(options).Wait();
        EXPECT_EQ(client.exitCode, 0u);
        ASSERT_EQ(client.lines.size(), 4u);
        EXPECT_NE(client.lines[1].find("hr=00000000 result=0 module=- reply=" + kIdentification), std::string::npos);
        std::vector<std::string> said;
        for (const std::string& text : client.debugOutput)
            if (text.find("VornTrace") != std::string::npos)
                said.push_back(text);
        ASSERT_EQ(said.size(), 1u) << "said once";
        EXPECT_NE(said[0].find("tracing stopped"), std::string::npos) << said[0];
    }
    SetVariable(L"VORN_TRACE_LOG", trace.path());
    EXPECT_EQ(simLog.sentCommands().size(), 6u) << "every call reached the module";
}

} // namespace

int main(int argc, char** argv)
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide && count > 1 && std::wstring(wide[1]) == L"--client")
        return tracetest::RunClient(count, wide);
    LocalFree(wide);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
