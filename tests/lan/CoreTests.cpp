// vornlan's core without a network: the README's header table against the front end's own, and what
// the parser makes of awkward program messages.
#include "HeaderTable.h"
#include "EventLog.h"
#include "Options.h"
#include "ScpiParser.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadmeText()
{
    std::ifstream file(VORN_README_PATH);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The first cell of each row of the table after the marker comment.
std::set<std::string> ReadmeHeaders()
{
    const std::string text = ReadmeText();
    const size_t marker = text.find("checked against vornlan's own table");
    std::set<std::string> headers;
    if (marker == std::string::npos)
        return headers;
    std::istringstream lines(text.substr(marker));
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line); // the heading row
    std::getline(lines, line); // its rule
    while (std::getline(lines, line) && line.rfind("| `", 0) == 0) {
        const std::string cell = line.substr(2, line.find(" |", 2) - 2);
        // "`*ESE`, `*ESE?`, ..." names several.
        for (size_t at = cell.find('`'); at != std::string::npos; at = cell.find('`', cell.find('`', at + 1) + 1))
            headers.insert(cell.substr(at + 1, cell.find('`', at + 1) - at - 1));
    }
    return headers;
}

TEST(CommandTable, TheReadmeListsExactlyTheHeadersVornlanAccepts)
{
    std::set<std::string> accepted;
    for (const CommandEntry& entry : CommandEntries())
        accepted.insert(entry.pattern);
    EXPECT_EQ(ReadmeHeaders(), accepted);
}

struct Resolution {
    const char* message;
    std::vector<std::string> patterns; // of each unit in turn; "" for an undefined header
};

TEST(CommandTable, HeadersResolveRelativeToThePathAsScpiSays)
{
    const Resolution cases[] = {
        {"SENS:CORR:COLL:METH FULL;ACQ A", {"[SENSe]:CORRection:COLLect:METHod", "[SENSe]:CORRection:COLLect:ACQuire"}},
        {"corr:coll:meth full;*IDN?;acq a", {"[SENSe]:CORRection:COLLect:METHod", "*IDN?", "[SENSe]:CORRection:COLLect:ACQuire"}},
        {"VORN:CONFIG 1,7,16,1;SYST:ERR?", {"VORN:CONFIG", ""}},
        {"VORN:CONFIG 1,7,16,1;:SYST:ERR:NEXT?", {"VORN:CONFIG", "SYSTem:ERRor[:NEXT]?"}},
        {"VORN:FINT ON;FINT?;IAV?", {"VORN:FINT", "VORN:FINT?", "VORN:IAV?"}},
        {"SENSE:CORRECTION:COLLECT:METHOD FULL", {"[SENSe]:CORRection:COLLect:METHod"}},
        {"SENSE:CORRECTIO:COLLECT:METHOD FULL", {""}},
        {"VORN:CONFIGURE 1,7,16,1", {""}},
        {"VORN:FINT", {"VORN:FINT"}},
        {"VORN:CLEAN?", {""}},
        {"DISPLAY:MENU VORN", {"DISPlay:MENU"}},
    };
    for (const Resolution& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> path;
        std::vector<std::string> got;
        for (const auto& parsed : ParseProgramMessage(c.message)) {
            ASSERT_TRUE(std::holds_alternative<ProgramUnit>(parsed));
            const CommandEntry* entry = ResolveHeader(std::get<ProgramUnit>(parsed), path);
            got.push_back(entry ? entry->pattern : "");
        }
        EXPECT_EQ(got, c.patterns);
    }
}

struct Parsed {
    const char* message;
    std::vector<std::vector<std::string>> parameters; // per unit
    ScpiError failure = ScpiError::None;              // of the last unit, if it fails
};

TEST(ScpiParser, ParametersStringsAndWhatItRefuses)
{
    const Parsed cases[] = {
        {"VORN:CONFIG 1, 7 ,16 ,1", {{"1", "7", "16", "1"}}},
        {"DISP:MENU \"it's\";DISP:MENU 'say ''hi'''", {{"it's"}, {"say 'hi'"}}},
        {"DISP:MENU \"a;b\";*IDN?", {{"a;b"}, {}}},
        {"VORN:DELAY\t2.5,3", {{"2.5", "3"}}},
        {"", {}},
        {"*IDN?;", {{}}},
        {"VORN:CONFIG 1,,16,1", {}, ScpiError::MissingParameter},
        {"VORN:CONFIG 1 7", {}, ScpiError::SyntaxError},
        {"DISP:MENU \"VORN", {}, ScpiError::SyntaxError},
        {"DISP:MENU \"VORN\"x", {}, ScpiError::SyntaxError},
        {"*IDN?;;*IDN?", {{}}, ScpiError::SyntaxError},
        {"VORN:CONFIG? 1", {{"1"}}},
        {"VORN::CLEAN", {}, ScpiError::SyntaxError},
        {"VORN:CLEAN\x01", {}, ScpiError::SyntaxError},
    };
    for (const Parsed& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::vector<std::string>> got;
        ScpiError failure = ScpiError::None;
        for (const auto& parsed : ParseProgramMessage(c.message)) {
            if (const auto* f = std::get_if<ParseFailure>(&parsed)) {
                failure = f->error;
                continue;
            }
            std::vector<std::string> texts;
            for (const ProgramParameter& p : std::get<ProgramUnit>(parsed).parameters)
                texts.push_back(p.text);
            got.push_back(texts);
        }
        EXPECT_EQ(got, c.parameters);
        EXPECT_EQ(failure, c.failure);
    }
}

TEST(ScpiParser, DecimalNumbersAsScpiWritesThem)
{
    EXPECT_EQ(ParseDecimal("16"), 16.0);
    EXPECT_EQ(ParseDecimal("+2.5"), 2.5);
    EXPECT_EQ(ParseDecimal("-.5"), -0.5);
    EXPECT_EQ(ParseDecimal("25e-1"), 2.5);
    EXPECT_EQ(ParseDecimal("1.E2"), 100.0);
    for (const char* bad : {"", "+", ".", "1e", "1e+", "0x10", "1,5", "inf", "nan", "1e999", "2.5V"})
        EXPECT_FALSE(ParseDecimal(bad)) << bad;
}

} // namespace

TEST(Options, NetworksPortsAndTheirRefusals)
{
    const auto parse = [](std::vector<std::wstring> words, std::string& error) {
        return ParseOptions(words, error);
    };
    std::string error;
    const auto options = parse({L"--allow", L"192.168.7.0/24,10.1.2.3", L"--allow", L"", L"--local",
                                L"192.168.7.10", L"--http-port", L"0"},
                               error);
    ASSERT_TRUE(options) << error;
    ASSERT_EQ(options->network.allow.size(), 2u);
    EXPECT_TRUE(Admits(options->network.allow, 0x0A010203));
    EXPECT_FALSE(Admits(options->network.allow, 0x0A010204));
    EXPECT_TRUE(Admits(options->network.local, 0xC0A8070A));
    EXPECT_EQ(options->network.httpPort, 0);
    EXPECT_TRUE(parse({L"--allow", L""}, error)->network.allow.empty()); // empty: everyone
    // The service's registered command line carries --service; the usage names it.
    EXPECT_FALSE(options->service);
    const auto service = parse({L"--service", L"--raw-port", L"15000"}, error);
    ASSERT_TRUE(service) << error;
    EXPECT_TRUE(service->service);
    EXPECT_EQ(service->network.rawPort, 15000);
    EXPECT_EQ(service->network.hislipPort, 4880);
    EXPECT_TRUE(service->network.mdns);
    // The package passes the mDNS switch as a value; --no-mdns is the same at a console.
    EXPECT_FALSE(parse({L"--mdns", L"off", L"--hislip-port", L"0"}, error)->network.mdns);
    EXPECT_EQ(parse({L"--hislip-port", L"0"}, error)->network.hislipPort, 0);
    EXPECT_FALSE(parse({L"--no-mdns"}, error)->network.mdns);
    EXPECT_NE(std::string_view(kUsage).find("--service "), std::string_view::npos);

    const std::pair<std::vector<std::wstring>, const char*> refused[] = {
        {{L"--allow", L"192.168.7.0/24,,10.0.0.1"}, "--allow takes networks"},
        {{L"--local", L"lab"}, "--local takes networks such as 192.168.7.0/24 or single addresses, not lab"},
        {{L"--raw-port", L"0"}, "--raw-port takes a port from 1 to 65535, not 0"},
        {{L"--http-port", L"65536"}, "--http-port takes a port from 0 (none) to 65535"},
        {{L"--hislip-port", L"-1"}, "--hislip-port takes a port from 0 (none) to 65535, not -1"},
        {{L"--mdns", L"yes"}, "--mdns takes on or off, not yes"},
    };
    for (const auto& [words, message] : refused) {
        EXPECT_FALSE(parse(words, error));
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

TEST(EventLog, TheFileStaysBoundedAndKeepsTheNewestLines)
{
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + L"vornlan-log-test-" + std::to_wstring(GetCurrentProcessId());
    DeleteFileW(path.c_str());
    DeleteFileW((path + L".1").c_str());
    const auto size = [](const std::wstring& file) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        return GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data) ? static_cast<long>(data.nFileSizeLow)
                                                                                 : -1L;
    };
    {
        EventLog log;
        std::string error;
        ASSERT_TRUE(log.OpenFile(path, error)) << error;
        const std::string line(1000, 'x');
        for (int i = 0; i < 2600; ++i) // about 2.5 times the bound: two rotations
            log.Line(i == 2599 ? "the last line" : line);
    }
    EXPECT_LT(size(path), EventLog::kMaxFileBytes);
    EXPECT_GE(size(path + L".1"), EventLog::kMaxFileBytes);
    EXPECT_LT(size(path + L".1"), EventLog::kMaxFileBytes + 1100);
    std::ifstream newest(std::filesystem::path(path), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(newest)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("the last line\n"), std::string::npos);
    newest.close();
    DeleteFileW(path.c_str());
    DeleteFileW((path + L".1").c_str());
}
