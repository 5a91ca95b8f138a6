// The simulated Vorn.dll as the server meets it: loaded by path, entry points found by name,
// replies read into a zero-filled 258-byte buffer announced as 256 bytes.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/TrafficLog.h"

namespace {

using vorn::test::TrafficLog;
using vorn::test::TrafficRecord;
using Direction = TrafficRecord::Direction;

using SendScpiCommandFn = int(WINAPI*)(const char*);
using GetQueryResponseFn = int(WINAPI*)(char*, int, int*);

constexpr int announcedSize = 256;
constexpr int bufferSize = 258;
const std::string identification = "VORN,EC-2P Simulated Module,SIM00001,01.002";
const std::string noError = R"(+0,"No error")";
const std::string undefinedHeader = R"(-113,"Undefined header")";
const std::string illegalValue = R"(-224,"Illegal parameter value")";
const std::string noMethod = R"(-221,"Settings conflict;acquisition needs a calibration method")";
const std::string nothingAcquired = R"(-221,"Settings conflict;nothing acquired to save")";
const std::string interrupted = R"(-410,"Query INTERRUPTED")";
const std::string unterminated = R"(-420,"Query UNTERMINATED")";
const std::string overflow = R"(-350,"Queue overflow")";

class Library {
public:
    explicit Library(const wchar_t* path) : handle_(LoadLibraryW(path))
    {
        if (handle_ != nullptr) {
            send = entry<SendScpiCommandFn>("SendScpiCommand");
            read = entry<GetQueryResponseFn>("GetQueryResponse");
        }
    }
    ~Library()
    {
        if (handle_ != nullptr)
            FreeLibrary(handle_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    HMODULE handle() const { return handle_; }
    SendScpiCommandFn send = nullptr;
    GetQueryResponseFn read = nullptr;

private:
    template <typename F>
    F entry(const char* name) const
    {
        // Through the generic function pointer type, which compilers accept as a cast target.
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(handle_, name)));
    }

    HMODULE handle_;
};

template <typename T>
const T* at(HMODULE module, DWORD rva)
{
    return reinterpret_cast<const T*>(reinterpret_cast<const unsigned char*>(module) + rva);
}

const IMAGE_DATA_DIRECTORY& directory(HMODULE module, int entry)
{
    const auto* dos = at<IMAGE_DOS_HEADER>(module, 0);
    // The headers of this process's own kind: the library under test is built for it.
    return at<IMAGE_NT_HEADERS>(module, dos->e_lfanew)->OptionalHeader.DataDirectory[entry];
}

std::set<std::string> exportedNames(HMODULE module)
{
    std::set<std::string> names;
    const auto& exports = directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (exports.Size == 0)
        return names;
    const auto* table = at<IMAGE_EXPORT_DIRECTORY>(module, exports.VirtualAddress);
    const auto* nameRvas = at<DWORD>(module, table->AddressOfNames);
    for (DWORD i = 0; i < table->NumberOfNames; ++i)
        names.insert(at<char>(module, nameRvas[i]));
    return names;
}

std::vector<std::string> importedLibraries(HMODULE module)
{
    std::vector<std::string> names;
    const auto& imports = directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    for (auto* entry = at<IMAGE_IMPORT_DESCRIPTOR>(module, imports.VirtualAddress); entry->Name != 0; ++entry)
        names.push_back(at<char>(module, entry->Name));
    return names;
}

struct Reply {
    std::string bytes; // as many as the library said it wrote
    bool guardIntact = true;
    bool restZero = true; // the unwritten part of the 258 bytes
};

class SimulatedModuleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setFault(nullptr);
        log_.clear();
        ASSERT_NO_FATAL_FAILURE(load(L"sim\\Vorn.dll"));
    }

    void TearDown() override
    {
        library_.reset();
        setFault(nullptr);
    }

    static void setFault(const wchar_t* faults) { SetEnvironmentVariableW(L"VORN_SIM_FAULT", faults); }

    // A fresh module: the library keeps its state for as long as it is loaded.
    void load(const wchar_t* path)
    {
        library_.reset();
        library_.emplace(path);
        ASSERT_NE(library_->handle(), nullptr) << "cannot load " << GetLastError();
        ASSERT_NE(library_->send, nullptr);
    }

    void send(const std::string& line) { library_->send(line.c_str()); }

    Reply read(int size = announcedSize)
    {
        constexpr unsigned char guard = 0xA5;
        char buffer[bufferSize + 16];
        std::memset(buffer, 0, bufferSize);
        std::memset(buffer + bufferSize, guard, sizeof buffer - bufferSize);
        int count = -1;
        library_->read(buffer, size, &count);

        Reply reply;
        if (count < 0 || count > bufferSize) {
            ADD_FAILURE() << "reported " << count << " bytes written";
            return reply;
        }
        reply.bytes.assign(buffer, count);
        for (int i = count; i < bufferSize; ++i)
            reply.restZero = reply.restZero && buffer[i] == 0;
        for (std::size_t i = bufferSize; i < sizeof buffer; ++i)
            reply.guardIntact = reply.guardIntact && static_cast<unsigned char>(buffer[i]) == guard;
        return reply;
    }

    std::string query(const std::string& line)
    {
        send(line);
        const Reply reply = read();
        EXPECT_TRUE(reply.restZero) << line;
        EXPECT_TRUE(reply.guardIntact) << line;
        return reply.bytes;
    }

    // Empties the error queue, oldest entry first.
    std::vector<std::string> errors()
    {
        std::vector<std::string> entries;
        for (int i = 0; i < 20; ++i) {
            std::string entry = query("SYST:ERR?");
            if (entry == noError)
                return entries;
            entries.push_back(std::move(entry));
        }
        ADD_FAILURE() << "error queue never empties";
        return entries;
    }

    TrafficLog log_{L"simulated_module_tests.traffic.log"};
    std::optional<Library> library_;
};

using SimulatedModuleLibrary = SimulatedModuleTest;
using SimulatedModuleModel = SimulatedModuleTest;
using SimulatedModuleTraffic = SimulatedModuleTest;
using SimulatedModuleFaults = SimulatedModuleTest;

TEST_F(SimulatedModuleLibrary, ExportsPlainNamesOnlyAndNeedsNoRuntimeDlls)
{
    const struct {
        const wchar_t* path;
        std::set<std::string> exports;
    } builds[] = {
        {L"sim\\Vorn.dll", {"GetQueryResponse", "SendScpiCommand"}},
        {L"sim-noquery\\Vorn.dll", {"SendScpiCommand"}},
    };
    for (const auto& build : builds) {
        SCOPED_TRACE(testing::Message() << "library " << std::string(build.path, build.path + wcslen(build.path)));
        ASSERT_NO_FATAL_FAILURE(load(build.path));
        // Exactly these names: a decorated "SendScpiCommand@4" or "_SendScpiCommand@4" would show up here.
        EXPECT_EQ(exportedNames(library_->handle()), build.exports);
        EXPECT_EQ(library_->read != nullptr, build.exports.count("GetQueryResponse") == 1);
        for (const std::string& name : importedLibraries(library_->handle()))
            EXPECT_NE(_strnicmp(name.c_str(), "lib", 3), 0) << "needs " << name << " beside it";
        log_.clear();
        send("*IDN?");
        EXPECT_EQ(log_.sentCommands(), std::vector<std::string>{"*IDN?"});
    }
}

TEST_F(SimulatedModuleModel, IdentifiesItself)
{
    EXPECT_EQ(query("*IDN?"), identification);
}

TEST_F(SimulatedModuleModel, QueuesErrorsForRefusedCommandsInOrder)
{
    const struct {
        const char* name;
        std::vector<std::string> commands;
        std::vector<std::string> errors;
    } cases[] = {
        {"unknown headers",
         {"VORN:BOGUS 1", "VORN:BOGUS?", "SENS:CORR:COLL", "VORN:CONFIG1,7,16,1"},
         {undefinedHeader, undefinedHeader, undefinedHeader, undefinedHeader}},
        {"averages",
         {"VORN:IAV 0", "VORN:IAV 1025", "VORN:IAV 1.5", "VORN:IAV", "VORN:IAV 1", "VORN:IAV 1024"},
         {illegalValue, illegalValue, illegalValue, illegalValue}},
        {"configuration",
         {"VORN:CONFIG 3,7,16,1", "VORN:CONFIG 1,9,16,1", "VORN:CONFIG 1,7,33,1", "VORN:CONFIG 1,7,16,5",
          "VORN:CONFIG 1,7,16", "VORN:CONFIG 1,7,16,1,1", "VORN:CONFIG 2,0,1,4", "VORN:CONFIG 1,8,32,1"},
         {illegalValue, illegalValue, illegalValue, illegalValue, illegalValue, illegalValue}},
        {"delay with decimal point or decimal comma",
         {"VORN:DELAY 2,5,3", "VORN:DELAY 2.5,3", "VORN:DELAY 2,3", "VORN:DELAY -0,25,1", "VORN:DELAY 2,5,3,4",
          "VORN:DELAY 2.5", "VORN:DELAY x,3", "VORN:DELAY 2,5,x", "VORN:DELAY 2,5.5,3", "VORN:DELAY inf,1"},
         {illegalValue, illegalValue, illegalValue, illegalValue, illegalValue, illegalValue}},
        {"keywords",
         {"DISP:MENU NOPE", "SENS:CORR:COLL:METH TRL", "SENS:CORR:COLL:PAR S33", "SENS:CORR:COLL:VIEW SIDE",
          "VORN:FINT MAYBE", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ C"},
         {illegalValue, illegalValue, illegalValue, illegalValue, illegalValue, illegalValue}},
        {"argument where none belongs",
         {"VORN:ABORT 1", "*IDN? X", "SENS:CORR:COLL:NEXT 2"},
         {illegalValue, illegalValue, illegalValue}},
        {"acquire before a method", {"SENS:CORR:COLL:ACQ A"}, {noMethod}},
        {"save before an acquisition", {"SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:SAVE 1"}, {nothingAcquired}},
        {"method clears acquisitions",
         {"SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A", "SENS:CORR:COLL:METH S11C", "SENS:CORR:COLL:SAVE 1"},
         {nothingAcquired}},
        {"clean, abort and reset start over",
         {"SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A", "VORN:CLEAN", "SENS:CORR:COLL:ACQ A",
          "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A", "VORN:ABORT", "SENS:CORR:COLL:ACQ B",
          "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A", "SENS:CORR:COLL:RES", "SENS:CORR:COLL:SAVE 1"},
         {noMethod, noMethod, nothingAcquired}},
        {"register",
         {"SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A", "SENS:CORR:COLL:SAVE 1.5", "SENS:CORR:COLL:SAVE 0",
          "SENS:CORR:COLL:SAVE 13", "SENS:CORR:COLL:SAVE x", "SENS:CORR:COLL:SAVE 02", "SENS:CORR:COLL:SAVE 12"},
         {illegalValue, illegalValue, illegalValue, illegalValue}},
        {"parameter checked before the sequence", {"SENS:CORR:COLL:SAVE 1.5"}, {illegalValue}},
        {"unread reply", {"*IDN?", "VORN:CLEAN"}, {interrupted}},
        {"oldest kept when full",
         {"VORN:IAV 0", "A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K"},
         {illegalValue, undefinedHeader, undefinedHeader, undefinedHeader, undefinedHeader, undefinedHeader,
          undefinedHeader, undefinedHeader, undefinedHeader, overflow}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(load(L"sim\\Vorn.dll"));
        for (const std::string& command : c.commands)
            send(command);
        EXPECT_EQ(errors(), c.errors);
    }
}

TEST_F(SimulatedModuleModel, AcceptsEveryCommandTheServerSends)
{
    const char* const commands[] = {
        "VORN:CONFIG 1,7,16,1", "VORN:CONFIG 2,0,1,4", "VORN:DELAY 0.5,1", "VORN:DELAY 0,5,1",
        "DISP:MENU VORN", "DISP:MENU CONF", "DISP:MENU SERV", "DISP:MENU MODI", "DISP:MENU S11C",
        "DISP:MENU S22C", "DISP:MENU FULL", "DISP:MENU QFUL", "DISP:MENU ADAP", "DISP:MENU QAD",
        "DISP:MENU CCH", "DISP:MENU CCHA", "DISP:MENU CCHB", "VORN:FINT ON", "VORN:FINT OFF", "VORN:IAV 16",
        "VORN:ABORT", "VORN:CLEAN", "SENS:CORR:COLL:METH ADAP", "SENS:CORR:COLL:METH CCH",
        "SENS:CORR:COLL:METH QAD", "SENS:CORR:COLL:METH QFUL", "SENS:CORR:COLL:METH S11C",
        "SENS:CORR:COLL:METH S22C", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:PAR S11",
        "SENS:CORR:COLL:PAR S21", "SENS:CORR:COLL:PAR S12", "SENS:CORR:COLL:PAR S22", "SENS:CORR:COLL:ACQ A",
        "SENS:CORR:COLL:ACQ B", "SENS:CORR:COLL:NEXT", "SENS:CORR:COLL:PRIOR", "SENS:CORR:COLL:DONE",
        "SENS:CORR:COLL:SAVE 1", "SENS:CORR:COLL:SAVE 02", "SENS:CORR:COLL:VIEW BOTH", "SENS:CORR:COLL:VIEW DIV",
        "SENS:CORR:COLL:RES", "sens:corr:coll:view both", ":VORN:CLEAN", "*RST", "*CLS",
    };
    for (const char* command : commands)
        send(command);
    EXPECT_EQ(errors(), std::vector<std::string>{});
}

TEST_F(SimulatedModuleModel, NormalCalibrationRunLeavesNoError)
{
    for (const char* command : {"VORN:CONFIG 1,7,16,1", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A",
                                "SENS:CORR:COLL:SAVE 1", "VORN:CLEAN"})
        send(command);
    EXPECT_EQ(query("SYST:ERR?"), noError);
}

TEST_F(SimulatedModuleModel, SettingsReadBack)
{
    const struct {
        std::vector<std::string> commands;
        const char* query;
        const char* answer;
    } cases[] = {
        {{}, "VORN:FINT?", "1"},
        {{"VORN:FINT OFF"}, "VORN:FINT?", "0"},
        {{"VORN:FINT OFF", "VORN:FINT ON"}, "VORN:FINT?", "1"},
        {{"vorn:fint 0"}, "VORN:FINT?", "0"},
        {{"VORN:FINT OFF", "VORN:FINT MAYBE"}, "VORN:FINT?", "0"},
        {{}, "VORN:IAV?", "1"},
        {{"VORN:IAV 1024"}, "VORN:IAV?", "1024"},
        {{"VORN:IAV 0016"}, "VORN:IAV?", "16"},
        {{"VORN:IAV 8", "VORN:IAV 2000"}, "VORN:IAV?", "8"},
        {{"VORN:IAV 8", "VORN:FINT OFF", "*RST"}, "VORN:IAV?", "1"},
        {{"VORN:IAV 8", "VORN:FINT OFF", "*RST"}, "VORN:FINT?", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.query << " after " << c.commands.size() << " commands");
        ASSERT_NO_FATAL_FAILURE(load(L"sim\\Vorn.dll"));
        for (const std::string& command : c.commands)
            send(command);
        EXPECT_EQ(query(c.query), c.answer);
    }
}

TEST_F(SimulatedModuleModel, ReadWithoutPendingQueryWritesNothing)
{
    const Reply first = read();
    EXPECT_EQ(first.bytes, "");
    EXPECT_TRUE(first.restZero);

    EXPECT_EQ(query("*IDN?"), identification);
    EXPECT_EQ(read().bytes, "") << "a reply is handed out once";
    send("VORN:BOGUS?");
    EXPECT_EQ(read().bytes, "") << "an unknown query has no reply";

    EXPECT_EQ(errors(), (std::vector<std::string>{unterminated, unterminated, undefinedHeader, unterminated}));
}

TEST_F(SimulatedModuleModel, ReplyNeverExceedsTheGivenSize)
{
    send("*IDN?");
    const Reply shortened = read(5);
    EXPECT_EQ(shortened.bytes, "VORN,");
    EXPECT_TRUE(shortened.restZero);

    send("*IDN?");
    EXPECT_EQ(read(0).bytes, "");

    // A caller without a buffer gets nothing written, and the library survives it.
    send("*IDN?");
    int count = -1;
    library_->read(nullptr, announcedSize, &count);
    EXPECT_EQ(count, 0);
    library_->read(nullptr, announcedSize, nullptr);
    EXPECT_EQ(query("*IDN?"), identification);

    using vorn::test::ReplyRequest;
    EXPECT_EQ(log_.replyRequests(), (std::vector<ReplyRequest>{{5, -1}, {0, -1}, {announcedSize, -1},
                                                               {announcedSize, std::nullopt}, {announcedSize, -1}}));
}

TEST_F(SimulatedModuleTraffic, RecordsCommandsAndWrittenBytesExactly)
{
    query("*IDN?");
    send("VORN:FINT OFF");
    read();
    // The request line notes what the caller handed over before anything was written (read() leaves -1).
    EXPECT_EQ(log_.rawText(), "> *IDN?\nGetQueryResponse size=256 outValue=-1\n< " + identification +
                                  "\n> VORN:FINT OFF\nGetQueryResponse size=256 outValue=-1\n< \n");
    EXPECT_EQ(log_.records(), (std::vector<TrafficRecord>{{Direction::Sent, "*IDN?"},
                                                          {Direction::Replied, identification},
                                                          {Direction::Sent, "VORN:FINT OFF"},
                                                          {Direction::Replied, ""}}));
    EXPECT_EQ(log_.sentCommands(), (std::vector<std::string>{"*IDN?", "VORN:FINT OFF"}));
}

TEST_F(SimulatedModuleTraffic, EscapesSoEveryByteRoundTrips)
{
    send("A\\B\x01\x7F\x80\xE9\xFF\"~ \n\\x41");
    EXPECT_EQ(log_.rawText(), "> A\\\\B\\x01\\x7F\\x80\\xE9\\xFF\"~ \\x0A\\\\x41\n");

    std::string everyByte;
    for (int byte = 1; byte < 256; ++byte)
        everyByte += static_cast<char>(byte);
    log_.clear();
    send(everyByte);
    const auto records = log_.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].bytes, everyByte);
    EXPECT_EQ(log_.rawText().find_first_of("\r\t"), std::string::npos);
    EXPECT_EQ(log_.rawText().find('\n'), log_.rawText().size() - 1) << "one record, one line";

    EXPECT_THROW(vorn::test::unescapeTraffic("\\x4"), std::runtime_error);
    EXPECT_THROW(vorn::test::unescapeTraffic("\\q"), std::runtime_error);
}

TEST_F(SimulatedModuleTraffic, WithoutLogVariableWritesBesideTheLibrary)
{
    const TrafficLog besideLibrary(L"sim\\VornSim.log");
    besideLibrary.clear();
    SetEnvironmentVariableW(L"VORN_SIM_LOG", nullptr);

    send("*IDN?");
    read();
    EXPECT_EQ(besideLibrary.records(), (std::vector<TrafficRecord>{{Direction::Sent, "*IDN?"},
                                                                   {Direction::Replied, identification}}));
    EXPECT_EQ(log_.rawText(), "");
    besideLibrary.clear();
}

TEST_F(SimulatedModuleFaults, Fill256WritesExactly256NonBlankBytes)
{
    setFault(L"fill256");
    const struct {
        const char* line;
        std::string start;
    } cases[] = {{"*IDN?", "VORN,EC-2P_Simulated_Module,"}, {"VORN:FINT?", "1#"}};
    for (const auto& [line, start] : cases) {
        SCOPED_TRACE(line);
        log_.clear();
        send(line);
        const Reply reply = read();
        ASSERT_EQ(reply.bytes.size(), 256u);
        EXPECT_EQ(reply.bytes.substr(0, start.size()), start);
        EXPECT_EQ(reply.bytes.find_first_of(std::string(" \0", 2)), std::string::npos);
        EXPECT_TRUE(reply.restZero);
        EXPECT_EQ(log_.records().back().bytes, reply.bytes);
    }
    send("*IDN?");
    EXPECT_EQ(read(10).bytes.size(), 10u) << "never beyond a smaller size";
}

TEST_F(SimulatedModuleFaults, OverrunWritesTwoBytesBeyondTheGivenSize)
{
    setFault(L"overrun");
    send("*IDN?");
    const Reply reply = read();
    ASSERT_EQ(reply.bytes.size(), static_cast<std::size_t>(bufferSize));
    EXPECT_EQ(reply.bytes.find('\0'), std::string::npos) << "no terminator left in the buffer";
    EXPECT_EQ(reply.bytes.substr(0, identification.size()), identification);
    EXPECT_TRUE(reply.guardIntact) << "stays within the real 258-byte buffer";
    EXPECT_EQ(log_.records().back().bytes, reply.bytes);
}

TEST_F(SimulatedModuleFaults, GarbageIsRepeatableAndHoldsZerosAndHighBytes)
{
    setFault(L"garbage");
    std::vector<std::string> firstRun;
    for (int run = 0; run < 2; ++run) {
        ASSERT_NO_FATAL_FAILURE(load(L"sim\\Vorn.dll"));
        std::vector<std::string> replies;
        for (const char* line : {"*IDN?", "VORN:IAV?", "SYST:ERR?"}) {
            send(line);
            const Reply reply = read();
            ASSERT_TRUE(reply.restZero);
            ASSERT_LE(reply.bytes.size(), 256u);
            EXPECT_NE(reply.bytes.find('\0'), std::string::npos);
            EXPECT_GE(static_cast<unsigned char>(reply.bytes[0]), 0x80);
            EXPECT_EQ(log_.records().back().bytes, reply.bytes);
            replies.push_back(reply.bytes);
        }
        EXPECT_NE(replies[0], replies[1]);
        if (run == 0)
            firstRun = replies;
        else
            EXPECT_EQ(replies, firstRun);
    }
    setFault(nullptr);
    EXPECT_EQ(errors(), std::vector<std::string>{}) << "garbage changes replies, not the module";
}

TEST_F(SimulatedModuleFaults, SlowDelaysEachEntry)
{
    setFault(L"slow=150");
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    send("*IDN?");
    const auto sent = Clock::now();
    EXPECT_EQ(read().bytes, identification);
    const auto done = Clock::now();
    // Sleep may end a tick early.
    EXPECT_GE(sent - start, std::chrono::milliseconds(130));
    EXPECT_GE(done - sent, std::chrono::milliseconds(130));
}

TEST_F(SimulatedModuleFaults, SwitchesAreReadAtEachCall)
{
    const struct {
        const wchar_t* faults;
        std::string reply;
    } cases[] = {
        {nullptr, identification},
        {L"leadspace", "   " + identification},
        {L"nonsense", identification},
        {L"leadspace,slow=1", "   " + identification},
        {nullptr, identification},
    };
    for (const auto& c : cases) {
        setFault(c.faults);
        EXPECT_EQ(query("*IDN?"), c.reply);
    }
}

} // namespace
