// vornsh's handling of what users type and what it prints: words, numbers, escapes, code pages, lines
// and its own options. None of it needs the server.
#include "ArgumentValues.h"
#include "ConsoleText.h"
#include "DisplayText.h"
#include "Options.h"
#include "Words.h"

#include <gtest/gtest.h>

#include <limits>

using Words = std::vector<std::wstring>;

TEST(Words, SplitLikeACommandLine)
{
    const struct {
        const wchar_t* line;
        Words words;
    } cases[] = {
        {L"CONFIG 1 7\t16  1", {L"CONFIG", L"1", L"7", L"16", L"1"}},
        {L"SENS_CORR_COLL_METH \" full \"", {L"SENS_CORR_COLL_METH", L" full "}},
        {L"DISP_MENU \"\"", {L"DISP_MENU", L""}}, // an explicit empty text is a word
        {L"a\"b c\"d", {L"ab cd"}},
        {L"\"say \"\"hi\"\"\"", {L"say \"hi\""}},
        {L"\"unterminated", {L"unterminated"}},
        {L"CMD_IDN   # who answers", {L"CMD_IDN"}},
        {L"  # a comment", {}},
        {L"VORN_FINT \"#\" a#b", {L"VORN_FINT", L"#", L"a#b"}},
        {L"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitWords(c.line), c.words) << c.line;
}

TEST(Numbers, IntegersAsTyped)
{
    constexpr auto none = std::nullopt;
    const struct {
        const wchar_t* text;
        std::optional<long long> value;
    } cases[] = {
        {L"16", 16},
        {L"+7", 7},
        {L"-32769", -32769},
        {L"007", 7},
        {L"", none},
        {L"+", none},
        {L"+-1", none},
        {L"1.0", none},
        {L"1e3", none},
        {L"0x10", none},
        {L" 1", none},
        {L"1 ", none},
        {L"\xFF11", none}, // a full-width digit
        {L"99999999999999999999", std::numeric_limits<long long>::max()},
        {L"-99999999999999999999", std::numeric_limits<long long>::min()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadInteger(c.text), c.value) << c.text;
}

TEST(Numbers, DoublesWithTheUsersSeparatorOrAPoint)
{
    constexpr auto none = std::nullopt;
    const struct {
        const wchar_t* text;
        const wchar_t* separator;
        std::optional<double> value;
    } cases[] = {
        {L"2,5", L",", 2.5},  {L"2.5", L",", 2.5},    {L"2,5", L".", none},   {L"-0.25", L".", -0.25},
        {L"+3", L".", 3.0},   {L"1e-3", L".", 0.001}, {L"1,5E2", L",", 150},  {L"1.000,5", L",", none},
        {L"inf", L".", none}, {L"nan", L".", none},   {L"1e999", L".", none}, {L"0x1p3", L".", none},
        {L"", L".", none},    {L".", L".", none},     {L"2.", L".", 2.0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadDouble(c.text, c.separator), c.value) << c.text << L" with " << c.separator;
}

TEST(Display, ReplyCutAtTheFirstZeroAndControlsEscaped)
{
    using namespace std::string_view_literals;
    EXPECT_EQ(UpToFirstZero(L"+0,\"No error\"\0\0\0"sv), L"+0,\"No error\"");
    EXPECT_EQ(UpToFirstZero(L"\0VORN"sv), L"");
    EXPECT_EQ(UpToFirstZero(L"whole"sv), L"whole");

    EXPECT_EQ(Escaped(L"+0,\"No error\""), L"+0,\"No error\"");
    EXPECT_EQ(Escaped(L"\t\x01\\\x7F\x85\xA0\x65E5"), L"\\x09\\x01\\\\\\x7F\\x85\xA0\x65E5");
    EXPECT_EQ(Escaped(L"a\xD800"), L"a\\uD800");
    EXPECT_EQ(Escaped(L"\xDC00\xD83D\xDE00"), L"\\uDC00\xD83D\xDE00"); // a lone low surrogate, then a pair

    // A typed line keeps its backslashes: only what would act on the terminal is escaped.
    EXPECT_EQ(ShownAsTyped(L"DISP_MENU \x1B[2J\\x41\r\x04quit\xD800"), L"DISP_MENU \\x1B[2J\\x41\\x0D\\x04quit\\uD800");
}

TEST(Display, ArgumentsRefuseControlsUnlessEscaped)
{
    const struct {
        const wchar_t* typed;
        const wchar_t* text;  // nullptr: refused
        const wchar_t* error; // nullptr: passed
    } cases[] = {
        {L"FULL", L"FULL", nullptr},
        {L"", L"", nullptr},
        {L"a\\x41\\\\b", L"aA\\b", nullptr},
        {L"\\x09\\u65E5\\x7f", L"\t\x65E5\x7F", nullptr},
        {L"1\r", nullptr, L"\"1\\x0D\" holds a control character; to send it, type it as \\x0D"},
        {L"a\tb", nullptr, L"\"a\\x09b\" holds a control character; to send it, type it as \\x09"},
        {L"\x85", nullptr, L"\"\\x85\" holds a control character; to send it, type it as \\x85"},
        {L"C:\\temp", nullptr, L"\"C:\\temp\": a backslash starts \\xHH, \\uHHHH or \\\\ (a backslash)"},
        {L"end\\", nullptr, L"\"end\\\": a backslash starts \\xHH, \\uHHHH or \\\\ (a backslash)"},
        {L"\\x4", nullptr, L"\"\\x4\": \\x takes two hexadecimal digits"},
        {L"\\x4g", nullptr, L"\"\\x4g\": \\x takes two hexadecimal digits"},
        {L"\\u12", nullptr, L"\"\\u12\": \\u takes four hexadecimal digits"},
        {L"1\\x00", nullptr, L"\"1\\x00\": a zero can't be sent, the module's command line ends at the first zero"},
        {L"\\u0000", nullptr, L"\"\\u0000\": a zero can't be sent, the module's command line ends at the first zero"},
    };
    for (const auto& c : cases) {
        std::wstring text;
        const auto error = ArgumentText(c.typed, text);
        EXPECT_EQ(error.value_or(L""), c.error ? c.error : L"") << c.typed;
        if (c.text) {
            EXPECT_EQ(text, c.text) << c.typed;
        }
    }
    // What Escaped prints is typed back as the same text.
    const std::wstring reply = L"\tVORN\\\x01\x7F";
    std::wstring typedBack;
    EXPECT_FALSE(ArgumentText(Escaped(reply), typedBack));
    EXPECT_EQ(typedBack, reply);
}

TEST(CodePages, CharactersTheCodePageLacksAreEscaped)
{
    EXPECT_EQ(Encoded(L"\x65E5\x672C", 932), "\x93\xFA\x96\x7B");
    EXPECT_EQ(Encoded(L"caf\xE9", 932), "caf\\u00E9");
    EXPECT_EQ(Encoded(L"caf\xE9", 1252), "caf\xE9");
    EXPECT_EQ(Encoded(L"\x65E5 \xD83D\xDE00", 1252), "\\u65E5 \\uD83D\\uDE00");
    EXPECT_EQ(Encoded(L"\x65E5", CP_UTF8), "\xE6\x97\xA5");
    EXPECT_EQ(Decoded("\x93\xFA\x96\x7B", 932), L"\x65E5\x672C");
}

namespace {
// Lines read back from bytes written into a pipe, as from a redirected standard input.
std::vector<std::wstring> LinesFrom(const std::string& bytes)
{
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    EXPECT_TRUE(CreatePipe(&reader, &writer, nullptr, static_cast<DWORD>(bytes.size() + 1)));
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(writer, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(writer);
    const FileHandle owner(reader);
    LineInput input(reader);
    EXPECT_FALSE(input.IsConsole());
    std::vector<std::wstring> lines;
    std::wstring line;
    while (input.ReadLine(line))
        lines.push_back(line);
    return lines;
}
} // namespace

TEST(LineInput, LinesFromAPipe)
{
    EXPECT_EQ(LinesFrom("CONFIG 1 7 16 1\r\nCMD_IDN\n\nVORN_CLEAN"),
              (Words{L"CONFIG 1 7 16 1", L"CMD_IDN", L"", L"VORN_CLEAN"}));
    EXPECT_EQ(LinesFrom(""), Words{});
    EXPECT_EQ(LinesFrom("\n"), Words{L""});
    // The byte order mark makes the file UTF-8 whatever the code page, and is no part of the first line.
    EXPECT_EQ(LinesFrom("\xEF\xBB\xBF"
                        "DISP_MENU \xC3\xA9\xE6\x97\xA5\n"),
              Words{L"DISP_MENU \xE9\x65E5"});
    EXPECT_EQ(LinesFrom("\xEF\xBB\xBF"), Words{});
    // Longer than one read.
    const std::string longLine(10000, 'x');
    EXPECT_EQ(LinesFrom(longLine + "\r\nSYST_ERR\r\n"), (Words{std::wstring(10000, L'x'), L"SYST_ERR"}));
    // Every form of line end ends a line; no CR is left inside one.
    EXPECT_EQ(LinesFrom("SENS_CORR_COLL_SAVE 1\r\r\nCMD_IDN\rVORN_CLEAN\n\rSYST_ERR\r"),
              (Words{L"SENS_CORR_COLL_SAVE 1", L"", L"CMD_IDN", L"VORN_CLEAN", L"", L"SYST_ERR"}));
}

TEST(LineInput, LinesInUtf16WithAByteOrderMark)
{
    using namespace std::string_literals;
    // Notepad's "Unicode" and PowerShell 5's redirection: UTF-16 little-endian, CR LF.
    EXPECT_EQ(LinesFrom("\xFF\xFE"
                        "C\0M\0D\0_\0I\0D\0N\0\r\0\n\0"
                        "D\0I\0S\0P\0_\0M\0E\0N\0U\0 \0\xE9\0\xE5\x65\r\0\n\0"s),
              (Words{L"CMD_IDN", L"DISP_MENU \xE9\x65E5"}));
    EXPECT_EQ(LinesFrom("\xFE\xFF"
                        "\0V\0O\0R\0N\0_\0C\0L\0E\0A\0N\0\n\0#\0 \x65\xE5"s),
              (Words{L"VORN_CLEAN", L"# \x65E5"}));
    EXPECT_EQ(LinesFrom("\xFF\xFE"), Words{});
    // A file cut inside a character ends with one that stands for it.
    EXPECT_EQ(LinesFrom("\xFF\xFE" "A\0B"s), Words{L"A\xFFFD"});
    // Longer than one read, a line end astride two reads.
    std::string wide = "\xFF\xFE";
    for (int i = 0; i < 4095; ++i)
        wide += "x\0"s;
    wide += "\r\0\n\0y\0"s;
    EXPECT_EQ(LinesFrom(wide), (Words{std::wstring(4095, L'x'), L"y"}));
}

TEST(Options, OptionsComeBeforeTheMethod)
{
    ParsedOptions parsed = ParseOptions({L"--check", L"--stop-on-error", L"VORN_DELAY", L"-1", L"--check"});
    ASSERT_FALSE(parsed.error);
    EXPECT_TRUE(parsed.options.check);
    EXPECT_TRUE(parsed.options.stopOnError);
    EXPECT_EQ(parsed.options.command, (Words{L"VORN_DELAY", L"-1", L"--check"}));

    parsed = ParseOptions({L"-f", L"steps.txt"});
    ASSERT_FALSE(parsed.error);
    EXPECT_EQ(parsed.options.stepsFile, L"steps.txt");
    EXPECT_TRUE(parsed.options.command.empty());

    EXPECT_EQ(ParseOptions({L"--", L"--check"}).options.command, Words{L"--check"});
    EXPECT_EQ(ParseOptions({L"-5"}).options.command, Words{L"-5"}); // a number is never an option
    EXPECT_TRUE(ParseOptions({L"/?"}).options.showUsage);

    EXPECT_EQ(ParseOptions({L"-f"}).error, L"-f needs a file name");
    EXPECT_EQ(ParseOptions({L"--verbose", L"CMD_IDN"}).error, L"unknown option --verbose");
    EXPECT_EQ(ParseOptions({L"-f", L"steps.txt", L"CMD_IDN"}).error, L"-f and a METHOD exclude each other");
}
