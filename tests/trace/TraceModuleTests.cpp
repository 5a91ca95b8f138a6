// The tracing Vorn.dll (bin/trace) between the real server and the simulated module as its target.
// Each traced or untraced run is a client process of its own (TraceClient.h).

#include "TraceClient.h"

#include "ModuleFile.h"
#include "server/ServerUnderTest.h"
#include "support/TrafficLog.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

std::vector<std::wstring> Join(std::vector<std::wstring> first, const std::vector<std::wstring>& then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

std::wstring Variable(const wchar_t* name)
{
    wchar_t value[4096] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 4096);
    return std::wstring(value, length < 4096 ? length : 0);
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    const std::unique_ptr<void, decltype(&CloseHandle)> file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
        &CloseHandle);
    DWORD written = 0;
    ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The quoted path that follows `before` in a note (`target=`, `tried `), unescaped.
std::string QuotedAfter(const std::string& note, const std::string& before)
{
    const std::size_t start = note.find(before + '"');
    const std::size_t end = start == std::string::npos ? start : note.find('"', start + before.size() + 1);
    if (end == std::string::npos)
        return "(nothing quoted after " + before + " in: " + note + ")";
    return vorn::test::unescapeTraffic(note.substr(start + before.size() + 1, end - start - before.size() - 1));
}

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// The file's lines in order, notes included.
std::vector<std::string> RawLines(const std::wstring& path)
{
    std::vector<std::string> lines;
    const std::string text = vorn::test::ReadFileBytes(path);
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The value of a " key=value" field of a line.
std::string FieldOf(const std::string& line, const std::string& key)
{
    const std::size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + key.size() + 2;
    return line.substr(start, line.find(' ', start) - start);
}

// "pid=<n>" of a record or a note.
std::string PidOf(const std::string& line)
{
    const std::size_t at = line.find(" pid=");
    return at == std::string::npos ? std::string() : line.substr(at + 1, line.find(' ', at + 1) - at - 1);
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

        // The trace holds the same traffic: commands exact, replies as the module wrote them (zero
        // bytes and all, as many as it said, never past the 256 told), and says where the 256
        // bytes hold no zero.
        const std::vector<TrafficLine> lines = trace.lines();
        std::vector<TrafficRecord> expected;
        for (TrafficRecord record : simLog.records()) {
            if (record.direction == TrafficRecord::Direction::Replied)
                record.bytes = record.bytes.substr(0, 256);
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
        EXPECT_EQ(QuotedAfter(notes[0], "target="), vorn::test::Narrow(SimTarget())) << notes[0];
        std::string live;
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(reader.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
            live.append(chunk, got);
        EXPECT_EQ(live, trace.rawText()) << "read while being written";
    }
}

// The last-error value reaches the caller as it would untraced, also across a record that renames
// the file and opens a new one: the module's own where it sets one (the simulated module, its log
// made unopenable: path not found), the caller's where the module sets none.
TEST_F(TraceForwarding, LeavesTheLastErrorAsTheModuleSetIt)
{
    SetVariable(L"VORN_TRACE_MAX_KB", L"1");
    const std::wstring simLogPath = Variable(L"VORN_SIM_LOG");
    SetVariable(L"VORN_SIM_LOG", BinFolder() + L"\\no-such-folder\\sim.log");
    // Commands of growing length: the renames fall on records before and after calls alike.
    std::vector<std::wstring> steps;
    for (int length = 1; length <= 30; ++length)
        steps.push_back(L"send:" + std::wstring(static_cast<std::size_t>(length), L'x'));
    steps = Join(steps, Repeat(L"bind-read", 30));
    const struct {
        const wchar_t* folder;
        DWORD lastError; // what each call leaves untraced
    } modules[] = {{L"sim", ERROR_PATH_NOT_FOUND}, {L"trace-quiet", tracetest::kLastErrorBeforeCall}};
    for (const auto& module : modules) {
        SCOPED_TRACE(vorn::test::Narrow(module.folder));
        clearTrace();
        SetVariable(L"VORN_TRACE_TARGET", BinFolder() + L"\\" + module.folder + L"\\Vorn.dll");
        const ClientRun direct = run(module.folder, steps);
        const ClientRun traced = run(L"trace", steps);
        ASSERT_EQ(direct.lines.size(), steps.size() + 1);
        ASSERT_EQ(traced.lines.size(), direct.lines.size());
        EXPECT_TRUE(Exists(trace.path() + L".1")) << "the file was rotated";
        for (std::size_t i = 0; i < steps.size(); ++i) {
            EXPECT_EQ(FieldOf(direct.lines[i], "lastError"), std::to_string(module.lastError)) << direct.lines[i];
            EXPECT_EQ(FieldOf(traced.lines[i], "lastError"), FieldOf(direct.lines[i], "lastError"))
                << "step " << i << ": " << traced.lines[i];
        }
    }
    SetVariable(L"VORN_SIM_LOG", simLogPath);
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

// What the trace says of a file that is no library this process can load: one for its own machine
// is all it takes.
const std::string kNotOwnMachine = sizeof(void*) == 8 ? "(not a 64-bit library)" : "(not a 32-bit library)";

// A copy of the simulated module at `path` with its headers changed by `change`, read as this
// build's own kind of image.
void WriteChangedLibrary(const std::wstring& path, void (*change)(IMAGE_NT_HEADERS&))
{
    std::string bytes = vorn::test::ReadFileBytes(SimTarget());
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS nt{};
    ASSERT_GE(bytes.size(), sizeof dos);
    std::memcpy(&dos, bytes.data(), sizeof dos);
    ASSERT_LE(static_cast<std::size_t>(dos.e_lfanew) + sizeof nt, bytes.size());
    std::memcpy(&nt, bytes.data() + dos.e_lfanew, sizeof nt);
    ASSERT_EQ(nt.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR_MAGIC) << "the build's own kind";
    change(nt);
    std::memcpy(bytes.data() + dos.e_lfanew, &nt, sizeof nt);
    CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
    WriteBytes(path, bytes);
}

// Whatever keeps the trace from forwarding (no usable target, no private copy) fails the server's
// call as a missing library does, and the next call tries again; the trace file says why.
TEST_F(TraceTarget, UnusableTargetFailsTheCallAsAMissingLibraryUntilItIsFixed)
{
    const std::wstring temp = Variable(L"TEMP"), tmp = Variable(L"TMP");
    // The simulated module marked as built for the other x86 machine, and with the other kind of
    // optional header: neither loads here.
    constexpr WORD otherMachine = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;
    constexpr WORD otherMagic = sizeof(void*) == 8 ? IMAGE_NT_OPTIONAL_HDR32_MAGIC : IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    const std::wstring otherMachineTarget = BinFolder() + L"\\trace-other-machine\\Vorn.dll";
    const std::wstring otherHeaderTarget = BinFolder() + L"\\trace-other-header\\Vorn.dll";
    WriteChangedLibrary(otherMachineTarget, [](IMAGE_NT_HEADERS& nt) { nt.FileHeader.Machine = otherMachine; });
    WriteChangedLibrary(otherHeaderTarget, [](IMAGE_NT_HEADERS& nt) { nt.OptionalHeader.Magic = otherMagic; });
    // A file where the temporary folder should be: no folder for the private copy can be made there.
    const std::wstring notAFolder = BinFolder() + L"\\trace_module_tests.exe";
    const std::string forged = "2026-12-08T06:31:58.091 1 pid=1 tid=1 SendScpiCommand > forged";
    const struct {
        const char* name;
        std::wstring target;
        std::wstring temp;
        std::string refusal; // after "load refused: "
        std::string verdict;
    } cases[] = {
        {"missing", BinFolder() + L"\\no-library\\Vorn.dll", temp, "no usable Vorn.dll", "(not found)"},
        {"without GetQueryResponse", BinFolder() + L"\\sim-noquery\\Vorn.dll", temp, "no usable Vorn.dll",
         "(lacks GetQueryResponse)"},
        {"itself", BinFolder() + L"\\trace\\Vorn.dll", temp, "no usable Vorn.dll", "(a tracing library)"},
        {"no library", BinFolder() + L"\\trace_module_tests.exe", temp, "no usable Vorn.dll", kNotOwnMachine},
        {"a library for another machine", otherMachineTarget, temp, "no usable Vorn.dll", kNotOwnMachine},
        {"another machine's optional header", otherHeaderTarget, temp, "no usable Vorn.dll", kNotOwnMachine},
        {"a line break in the path", BinFolder() + L"\\no-library\\Vorn.dll\n" + Widen(forged), temp,
         "no usable Vorn.dll", "(not found)"},
        {"no temporary folder for the copy", SimTarget(), notAFolder,
         "cannot make the folder for the private copy", "(chosen)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearTrace();
        SetVariable(L"VORN_TRACE_TARGET", c.target);
        SetVariable(L"TEMP", c.temp);
        SetVariable(L"TMP", c.temp);
        // The second call still fails; once the target is usable the next call succeeds.
        const ClientRun client = run(L"trace", {L"IDN", L"IDN", L"env:VORN_TRACE_TARGET=" + SimTarget(),
                                                L"env:TEMP=" + temp, L"env:TMP=" + tmp, L"IDN"});
        SetVariable(L"TEMP", temp);
        SetVariable(L"TMP", tmp);
        ASSERT_EQ(client.lines.size(), 4u);
        EXPECT_NE(client.lines[0].find(kFileNotFound), std::string::npos) << client.lines[0];
        EXPECT_NE(client.lines[1].find(kFileNotFound), std::string::npos) << client.lines[1];
        EXPECT_NE(client.lines[2].find("hr=00000000 result=0 module=- reply=" + kIdentification), std::string::npos)
            << client.lines[2];

        const std::vector<std::string> notes = trace.notes();
        ASSERT_EQ(notes.size(), 3u) << "two refusals, then the header";
        EXPECT_NE(notes[0].find("load refused: " + c.refusal), std::string::npos) << notes[0];
        EXPECT_EQ(QuotedAfter(notes[0], "tried "), vorn::test::Narrow(c.target)) << notes[0];
        EXPECT_NE(notes[0].find("\" " + c.verdict), std::string::npos) << notes[0];
        EXPECT_EQ(QuotedAfter(notes[2], "target="), vorn::test::Narrow(SimTarget())) << notes[2];
        EXPECT_EQ(callsOf(trace.lines(), "SendScpiCommand").size(), 1u) << "every record real, none forged";
    }
}

// Changes the last part of the file version in a library's VS_FIXEDFILEINFO, in place.
bool SetLastVersionPart(std::string& library, char part)
{
    const std::size_t fixed = library.find(std::string("\xBD\x04\xEF\xFE", 4)); // its signature
    if (fixed == std::string::npos)
        return false;
    library[fixed + 12] = part; // the low byte of dwFileVersionLS
    return true;
}

// The private copy is the target's content as it is now, whatever happened to an earlier copy or
// to the target: a damaged copy is made anew, another build of the same size and time gets a copy
// of its own, and the header names the version of what runs.
TEST_F(TraceTarget, RunsTheTargetsCurrentContent)
{
    const std::wstring folder = BinFolder() + L"\\trace-target";
    const std::wstring target = folder + L"\\Vorn.dll";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = Variable(L"PATH");
    SetVariable(L"PATH", BinFolder() + L"\\trace-helper;" + path);
    ASSERT_TRUE(CopyFileW((BinFolder() + L"\\sim-dependent\\Vorn.dll").c_str(), target.c_str(), FALSE));
    SetVariable(L"VORN_TRACE_TARGET", target);

    const auto tracedRun = [&](const char* what) {
        SCOPED_TRACE(what);
        clearTrace();
        const ClientRun client = run(L"trace", {L"IDN"});
        EXPECT_NE(client.lines.at(0).find("hr=00000000 result=0 module=- reply=" + kIdentification), std::string::npos)
            << client.lines[0];
        const std::vector<std::string> notes = trace.notes();
        EXPECT_EQ(notes.size(), 1u);
        const std::string loadedAs = notes.empty() ? std::string() : QuotedAfter(notes[0], "loadedAs=");
        EXPECT_EQ(vorn::test::ReadFileBytes(Widen(loadedAs)), vorn::test::ReadFileBytes(target)) << loadedAs;
        return std::make_pair(Widen(loadedAs), notes.empty() ? std::string() : FieldOf(notes[0], "version"));
    };
    const auto [copy, version] = tracedRun("first run");
    EXPECT_EQ(version, "1.2.3.4");

    // A copy left damaged (by a crash while it was written, a disk fault, anyone) is not trusted by name.
    std::string damaged = vorn::test::ReadFileBytes(copy);
    std::fill(damaged.begin() + 64, damaged.end(), '\xCC');
    WriteBytes(copy, damaged);
    tracedRun("damaged copy");

    // Another build of the same size and time: the file version changed in place, the time put back.
    WIN32_FILE_ATTRIBUTE_DATA before{};
    ASSERT_TRUE(GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &before));
    std::string rebuilt = vorn::test::ReadFileBytes(target);
    ASSERT_TRUE(SetLastVersionPart(rebuilt, 5)); // 1.2.3.5
    WriteBytes(target, rebuilt);
    {
        const std::unique_ptr<void, decltype(&CloseHandle)> file(
            CreateFileW(target.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr), &CloseHandle);
        ASSERT_TRUE(SetFileTime(file.get(), &before.ftCreationTime, &before.ftLastAccessTime, &before.ftLastWriteTime));
    }
    const auto [rebuiltCopy, rebuiltVersion] = tracedRun("another build, same size and time");
    EXPECT_EQ(rebuiltVersion, "1.2.3.5");
    EXPECT_NE(rebuiltCopy, copy);
    SetVariable(L"PATH", path);
}

// The libraries the target needs are found as without the trace: here along PATH.
TEST_F(TraceTarget, FindsTheTargetsLibrariesAsWithoutTheTrace)
{
    const std::wstring path = Variable(L"PATH");
    SetVariable(L"PATH", BinFolder() + L"\\trace-helper;" + path);
    SetVariable(L"VORN_TRACE_TARGET", BinFolder() + L"\\sim-dependent\\Vorn.dll");
    const ClientRun direct = run(L"sim-dependent", {L"IDN", L"ERR"});
    const ClientRun traced = run(L"trace", {L"IDN", L"ERR"});
    SetVariable(L"PATH", path);
    ASSERT_EQ(direct.lines.size(), 3u);
    EXPECT_NE(direct.lines[0].find("reply=" + kIdentification), std::string::npos) << direct.lines[0];
    EXPECT_EQ(traced.lines, direct.lines);
    EXPECT_TRUE(trace.notes().size() == 1 && FieldOf(trace.notes()[0], "version") == "1.2.3.4")
        << testing::PrintToString(trace.notes());
}

// Windows 7 without its loader update lacks these: imported, they would keep the trace from loading.
TEST_F(TraceTarget, ImportsNothingAnOlderLoaderLacks)
{
    const vorntrace::ModuleFile file = vorntrace::readModuleFile(BinFolder() + L"\\trace\\Vorn.dll");
    std::set<std::string> kernel;
    for (const auto& [library, functions] : file.imports)
        if (_stricmp(library.c_str(), "kernel32.dll") == 0)
            kernel.insert(functions.begin(), functions.end());
    ASSERT_TRUE(kernel.count("CreateFileW")) << "the imports were read";
    for (const char* missing : {"AddDllDirectory", "RemoveDllDirectory", "SetDefaultDllDirectories"})
        EXPECT_FALSE(kernel.count(missing)) << missing;
}

// Every process's records in a file come after its header there: a rotated file too says what
// wrote it.
void ExpectHeadersBeforeRecords(const std::wstring& path)
{
    std::set<std::string> headed;
    for (const std::string& line : RawLines(path)) {
        if (line.rfind("#", 0) == 0) {
            if (line.find(" target=") != std::string::npos)
                headed.insert(PidOf(line));
        } else {
            EXPECT_TRUE(headed.count(PidOf(line))) << vorn::test::Narrow(path) << ": " << line;
        }
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
    ExpectHeadersBeforeRecords(old.path());
    ExpectHeadersBeforeRecords(trace.path());

    // A limit too large to count in bytes is no limit, never a wrapped-around small one.
    clearTrace();
    SetVariable(L"VORN_TRACE_MAX_KB", L"18014398509481985"); // 2^54 + 1 KiB: 2^64 + 1024 bytes
    run(L"trace", Repeat(L"IDN", 20));
    EXPECT_FALSE(Exists(trace.path() + L".1"));
    EXPECT_EQ(trace.lines().size(), 80u);
}

class Marker {
public:
    explicit Marker(const wchar_t* name) : path_(BinFolder() + L"\\" + name) { DeleteFileW(path_.c_str()); }
    Marker(const Marker&) = delete;
    Marker& operator=(const Marker&) = delete;
    ~Marker() { DeleteFileW(path_.c_str()); }
    const std::wstring& path() const { return path_; }
    bool awaited() const
    {
        for (int waited = 0; waited < 60000 && !Exists(path_); waited += 10)
            Sleep(10);
        return Exists(path_);
    }
    void remove() const { DeleteFileW(path_.c_str()); }

private:
    std::wstring path_;
};

// Several processes at once, each naming the file in its own way: whole records, and within what
// the two files hold, every process's records without a gap up to its last. Both start their calls
// together, and each makes its last call once both are done with the others, so that the files
// kept hold records of both whatever the speed of either. Each file stays within the limit, which
// a writer's own records alone don't reach at 32 KiB: it counts what the other appends too.
TEST_F(TraceFile, SeveralProcessesAppendWholeRecords)
{
    constexpr int calls = 60; // and one more at the end
    std::wstring otherSpelling = trace.path();
    std::replace(otherSpelling.begin(), otherSpelling.end(), L'\\', L'/');
    for (const wchar_t* limitKb : {L"", L"8", L"32"}) {
        SCOPED_TRACE(testing::Message() << "VORN_TRACE_MAX_KB=" << vorn::test::Narrow(limitKb));
        clearTrace();
        SetVariable(L"VORN_TRACE_MAX_KB", limitKb);
        {
            const Marker start(L"trace_tests.start"), last(L"trace_tests.last");
            const Marker ready[] = {Marker(L"trace_tests.ready1"), Marker(L"trace_tests.ready2")};
            const Marker done[] = {Marker(L"trace_tests.done1"), Marker(L"trace_tests.done2")};
            WriteBytes(start.path(), "");
            WriteBytes(last.path(), "");
            const auto steps = [&](int client) {
                return Join(Join({L"signal:" + ready[client].path(), L"await-gone:" + start.path()}, Repeat(L"IDN", calls)),
                            {L"signal:" + done[client].path(), L"await-gone:" + last.path(), L"IDN"});
            };
            Client first(ClientOptions{L"trace", steps(0)});
            Client second(ClientOptions{L"trace", Join({L"env:VORN_TRACE_LOG=" + otherSpelling}, steps(1))});
            ASSERT_TRUE(ready[0].awaited() && ready[1].awaited());
            start.remove();
            ASSERT_TRUE(done[0].awaited() && done[1].awaited());
            last.remove();
            EXPECT_EQ(first.Wait().exitCode, 0u);
            EXPECT_EQ(second.Wait().exitCode, 0u);
        }
        const TrafficLog old(trace.path() + L".1", L"VORN_TRACE_UNUSED");
        std::vector<TrafficLine> lines = old.lines(); // every line parses: none holds parts of two records
        for (TrafficLine& line : trace.lines())
            lines.push_back(std::move(line));
        std::map<std::string, std::vector<std::pair<long, bool>>> callsByProcess; // number, outcome line
        for (const TrafficLine& line : lines) {
            EXPECT_TRUE(line.has("SendScpiCommand") || line.has("GetQueryResponse"));
            EXPECT_EQ(line.fields.at(2).rfind("pid=", 0), 0u);
            callsByProcess[line.fields.at(2)].emplace_back(std::stol(line.fields.at(1)),
                                                           line.value("return").has_value());
        }
        ASSERT_EQ(callsByProcess.size(), 2u);
        for (const auto& [pid, numbers] : callsByProcess) {
            if (*limitKb == L'\0') {
                EXPECT_EQ(numbers.size(), 4u * (calls + 1)) << pid;
            }
            EXPECT_EQ(numbers.back(), std::make_pair(2L * (calls + 1), true)) << pid;
            for (std::size_t i = 1; i < numbers.size(); ++i) {
                const auto [number, outcome] = numbers[i - 1];
                const auto expected = outcome ? std::make_pair(number + 1, false) : std::make_pair(number, true);
                ASSERT_EQ(numbers[i], expected) << pid << ": record " << i << " follows without a gap";
            }
        }
        if (*limitKb == L'\0') {
            EXPECT_EQ(trace.notes().size(), 2u) << "a header per process";
        } else {
            const std::size_t limit = std::stoul(limitKb) * 1024;
            EXPECT_FALSE(old.rawText().empty()) << "rotated";
            EXPECT_LE(old.rawText().size(), limit);
            EXPECT_LE(trace.rawText().size(), limit);
        }
        ExpectHeadersBeforeRecords(old.path());
        ExpectHeadersBeforeRecords(trace.path());
    }
}

// A client that stops after its first call (`ready` appears) until `go` is removed, then sends
// "after-1".."after-<count>".
ClientOptions PausedClient(const Marker& ready, const Marker& go, int count)
{
    WriteBytes(go.path(), "");
    std::vector<std::wstring> steps = {L"send:before", L"signal:" + ready.path(), L"await-gone:" + go.path()};
    for (int i = 1; i <= count; ++i)
        steps.push_back(L"send:after-" + std::to_wstring(i));
    return ClientOptions{L"trace", steps};
}

std::vector<std::string> SentIn(const std::vector<std::wstring>& files)
{
    std::vector<std::string> sent;
    for (const std::wstring& file : files)
        for (std::string& command : TrafficLog(file, L"VORN_TRACE_UNUSED").sentCommands())
            sent.push_back(std::move(command));
    return sent;
}

// The header names the version of the copy that runs, made when the trace was loaded, even when the
// target is rebuilt between that load and the first call.
TEST_F(TraceTarget, NamesTheVersionOfTheCopyThatRuns)
{
    const std::wstring folder = BinFolder() + L"\\trace-target";
    const std::wstring target = folder + L"\\Vorn.dll";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((BinFolder() + L"\\sim-dependent\\Vorn.dll").c_str(), target.c_str(), FALSE));
    const std::string loaded = vorn::test::ReadFileBytes(target);
    SetVariable(L"VORN_TRACE_TARGET", target);
    const std::wstring path = Variable(L"PATH");
    SetVariable(L"PATH", BinFolder() + L"\\trace-helper;" + path);
    const Marker ready(L"trace_tests.ready"), go(L"trace_tests.go");
    WriteBytes(go.path(), "");
    Client client(ClientOptions{L"trace", {L"load", L"signal:" + ready.path(), L"await-gone:" + go.path(), L"IDN"}});
    SetVariable(L"PATH", path);
    ASSERT_TRUE(ready.awaited());
    std::string rebuilt = loaded;
    ASSERT_TRUE(SetLastVersionPart(rebuilt, 5));
    WriteBytes(target, rebuilt);
    go.remove();
    const ClientRun traced = client.Wait();
    EXPECT_EQ(traced.exitCode, 0u);
    ASSERT_EQ(traced.lines.size(), 2u);
    EXPECT_NE(traced.lines[0].find("reply=" + kIdentification), std::string::npos) << traced.lines[0];
    const std::vector<std::string> notes = trace.notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(FieldOf(notes[0], "version"), "1.2.3.4") << notes[0];
    EXPECT_EQ(vorn::test::ReadFileBytes(Widen(QuotedAfter(notes[0], "loadedAs="))), loaded);
}

// A process idle while others rotate the file twice writes, when it resumes, into the current file:
// not into the renamed one, which the second rotation deleted.
TEST_F(TraceFile, AWriterIdleThroughRotationsResumesInTheCurrentFile)
{
    SetVariable(L"VORN_TRACE_MAX_KB", L"2");
    const Marker ready(L"trace_tests.ready"), go(L"trace_tests.go");
    Client idle(PausedClient(ready, go, 3));
    ASSERT_TRUE(ready.awaited());
    run(L"trace", Repeat(L"send:" + std::wstring(1500, L'x'), 4)); // each call past the limit
    go.remove();
    EXPECT_EQ(idle.Wait().exitCode, 0u);
    const std::vector<std::string> sent = SentIn({trace.path() + L".1", trace.path()});
    for (const char* command : {"after-1", "after-2", "after-3"})
        EXPECT_NE(std::find(sent.begin(), sent.end(), command), sent.end()) << command;
}

// A reader holding the file without delete sharing keeps it from being renamed: the file grows,
// the older file stays, and the rotation happens once the reader lets go.
TEST_F(TraceFile, AReaderHoldingTheFileDelaysTheRotationAndLosesNothing)
{
    SetVariable(L"VORN_TRACE_MAX_KB", L"1");
    const std::string older = "# an older file\n";
    WriteBytes(trace.path() + L".1", older);
    {
        const std::unique_ptr<void, decltype(&CloseHandle)> reader(
            CreateFileW(trace.path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            &CloseHandle);
        ASSERT_NE(reader.get(), INVALID_HANDLE_VALUE);
        run(L"trace", Repeat(L"IDN", 20));
        EXPECT_EQ(vorn::test::ReadFileBytes(trace.path() + L".1"), older);
        EXPECT_EQ(trace.lines().size(), 80u) << "every record, past the limit";
    }
    run(L"trace", Repeat(L"IDN", 20));
    EXPECT_NE(vorn::test::ReadFileBytes(trace.path() + L".1"), older);
    EXPECT_LE(trace.rawText().size(), 1024u);
}

// Changes a file the trace holds open, sharing it as the trace does: appends `bytes`, or first
// empties it when `cut`.
void ChangeHeldFile(const std::wstring& path, const std::string& bytes, bool cut)
{
    const std::unique_ptr<void, decltype(&CloseHandle)> file(
        CreateFileW(path.c_str(), FILE_APPEND_DATA | (cut ? GENERIC_WRITE : 0),
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    cut ? TRUNCATE_EXISTING : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
        &CloseHandle);
    ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(bytes.empty() || WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                           nullptr));
}

// The writers count what they append instead of asking the file's size at every record; the limit
// still holds whatever else changes the file. Lines added by another program count from the next
// look at the file (at most half a second on), and a file cut short is not rotated for the size it
// had.
TEST_F(TraceFile, TheLimitHoldsWhateverElseChangesTheFile)
{
    SetVariable(L"VORN_TRACE_MAX_KB", L"2");
    {
        const Marker ready(L"trace_tests.ready"), go(L"trace_tests.go");
        Client writer(PausedClient(ready, go, 4));
        ASSERT_TRUE(ready.awaited());
        const std::size_t written = trace.rawText().size(); // the header and the first call
        ASSERT_LT(written, 1500u);
        // Short of the limit by less than the four calls to come take.
        const std::string added = "# added by another program " + std::string(2048 - 300 - written, '.') + '\n';
        ChangeHeldFile(trace.path(), added, false);
        Sleep(600);
        go.remove();
        EXPECT_EQ(writer.Wait().exitCode, 0u);
        const std::string old = vorn::test::ReadFileBytes(trace.path() + L".1");
        EXPECT_NE(old.find(added), std::string::npos) << "rotated past what the other program added";
        EXPECT_LE(old.size(), 2048u);
        EXPECT_LE(trace.rawText().size(), 2048u);
        EXPECT_EQ(SentIn({trace.path() + L".1", trace.path()}),
                  (std::vector<std::string>{"before", "after-1", "after-2", "after-3", "after-4"}));
    }
    clearTrace();
    {
        // Brought near the limit by another program and a call, then cut: the next record goes into
        // the emptied file, nothing is renamed.
        const Marker ready(L"trace_tests.ready"), go(L"trace_tests.go");
        const Marker readyAgain(L"trace_tests.ready2"), goAgain(L"trace_tests.go2");
        WriteBytes(go.path(), "");
        WriteBytes(goAgain.path(), "");
        Client writer(ClientOptions{L"trace",
                                    {L"send:before", L"signal:" + ready.path(), L"await-gone:" + go.path(),
                                     L"send:after-1", L"signal:" + readyAgain.path(), L"await-gone:" + goAgain.path(),
                                     L"send:after-2"}});
        ASSERT_TRUE(ready.awaited());
        const std::size_t written = trace.rawText().size();
        ASSERT_LT(written, 1500u);
        ChangeHeldFile(trace.path(), "# " + std::string(2048 - 200 - 3 - written, '.') + '\n', false);
        Sleep(600);
        go.remove();
        ASSERT_TRUE(readyAgain.awaited());
        ASSERT_FALSE(Exists(trace.path() + L".1"));
        ASSERT_GT(trace.rawText().size() + 100u, 2048u) << "one more record would pass the limit";
        ChangeHeldFile(trace.path(), "", true);
        goAgain.remove();
        EXPECT_EQ(writer.Wait().exitCode, 0u);
        EXPECT_FALSE(Exists(trace.path() + L".1"));
        EXPECT_EQ(trace.sentCommands(), (std::vector<std::string>{"after-2"}));
    }
}

unsigned long long FileTimeCount(const FILETIME& time)
{
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// "2026-12-08T06:31:58.091" as a FILETIME count; 0 when it isn't one.
unsigned long long TimeOf(const std::string& stamp)
{
    SYSTEMTIME time{};
    FILETIME file{};
    if (std::sscanf(stamp.c_str(), "%4hu-%2hu-%2huT%2hu:%2hu:%2hu.%3hu", &time.wYear, &time.wMonth, &time.wDay,
                    &time.wHour, &time.wMinute, &time.wSecond, &time.wMilliseconds) != 7 ||
        !SystemTimeToFileTime(&time, &file))
        return 0;
    return FileTimeCount(file);
}

unsigned long long LocalNow()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME file{};
    SystemTimeToFileTime(&now, &file);
    return FileTimeCount(file);
}

// Records and notes carry the local time of the process that writes them. The tests run in a zone
// off UTC by hours and minutes (tests/trace_module.cmake), which clients share with this process.
TEST_F(TraceFile, RecordsCarryTheLocalTime)
{
    FILETIME utc;
    GetSystemTimeAsFileTime(&utc);
    const unsigned long long before = LocalNow();
    ASSERT_GE(std::llabs(static_cast<long long>(before - FileTimeCount(utc))), 3600ll * 10000000)
        << "run in a zone off UTC";
    run(L"trace", {L"IDN", L"ERR"});
    const unsigned long long after = LocalNow();
    const std::vector<std::string> lines = RawLines(trace.path());
    ASSERT_EQ(lines.size(), 9u); // the header, two records per call
    for (const std::string& line : lines) {
        const unsigned long long stamp = TimeOf(line.substr(line.rfind("# ", 0) == 0 ? 2 : 0, 23));
        EXPECT_GE(stamp + 10000, before) << line; // to the millisecond
        EXPECT_LE(stamp, after) << line;
    }
}

// A file deleted while processes write it is started anew at the path, by those processes and by
// later ones. Deleted as current Windows deletes a file in use, its name gone at once (Wine keeps
// the name until the last handle closes, so the test takes the name away itself).
TEST_F(TraceFile, ADeletedFileIsStartedAnew)
{
    const Marker ready(L"trace_tests.ready"), go(L"trace_tests.go");
    Client writer(PausedClient(ready, go, 1));
    ASSERT_TRUE(ready.awaited());
    const std::wstring gone = trace.path() + L".gone";
    ASSERT_TRUE(MoveFileExW(trace.path().c_str(), gone.c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(DeleteFileW(gone.c_str()));
    Sleep(600); // the path is looked at again at most every half second
    go.remove();
    EXPECT_EQ(writer.Wait().exitCode, 0u);
    run(L"trace", {L"send:later"});
    EXPECT_EQ(SentIn({trace.path()}), (std::vector<std::string>{"after-1", "later"}));
    ExpectHeadersBeforeRecords(trace.path());
}

// The shared word of the file's lock, as the trace names it: after the file's volume and index.
class FileLockWord {
public:
    explicit FileLockWord(const std::wstring& path)
    {
        const std::unique_ptr<void, decltype(&CloseHandle)> file(
            CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
            &CloseHandle);
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileInformationByHandle(file.get(), &info))
            return;
        wchar_t name[64];
        swprintf(name, 64, L"Local\\VornTrace.%08lX.%08lX%08lX", info.dwVolumeSerialNumber, info.nFileIndexHigh,
                 info.nFileIndexLow);
        // The page: the holder's word, the count of rotations, the size the writers counted.
        constexpr DWORD pageSize = 16;
        mapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, pageSize, name));
        if (mapping_)
            word_ = static_cast<volatile LONG*>(MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, pageSize));
    }
    ~FileLockWord()
    {
        if (word_)
            UnmapViewOfFile(const_cast<LONG*>(word_));
    }
    volatile LONG* word() const { return word_; }

private:
    std::unique_ptr<void, decltype(&CloseHandle)> mapping_{nullptr, &CloseHandle};
    volatile LONG* word_ = nullptr;
};

// A holder that keeps the lock for long is taken over only when its process has ended: a live one
// keeps it, the waiter gives up its records and says so in its next one.
TEST_F(TraceFile, TheLockIsTakenOnlyFromAnEndedHolder)
{
    WriteBytes(trace.path(), "");
    const FileLockWord lock(trace.path());
    ASSERT_TRUE(lock.word());
    const LONG self = static_cast<LONG>(GetCurrentProcessId());
    *lock.word() = self; // alive, as a writer stopped in a debugger is
    const Marker ready(L"trace_tests.ready"), go(L"trace_tests.go");
    Client waiter(PausedClient(ready, go, 1));
    ASSERT_TRUE(ready.awaited());
    EXPECT_EQ(*lock.word(), self) << "not taken from a live holder";
    *lock.word() = 0;
    go.remove();
    EXPECT_EQ(waiter.Wait().exitCode, 0u);
    EXPECT_EQ(trace.sentCommands(), (std::vector<std::string>{"after-1"}));
    const std::vector<std::string> notes = trace.notes();
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(notes[0].find("records missing here: 2; the file's lock was kept by process " + std::to_string(self)),
              std::string::npos)
        << notes[0];

    const DWORD ended = run(L"sim", {}).processId;
    ASSERT_NE(ended, 0u);
    clearTrace();
    WriteBytes(trace.path(), "");
    const FileLockWord again(trace.path());
    ASSERT_TRUE(again.word());
    *again.word() = static_cast<LONG>(ended);
    run(L"trace", {L"IDN"});
    EXPECT_EQ(trace.lines().size(), 4u) << "taken from the ended holder";
    EXPECT_EQ(*again.word(), 0);
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
