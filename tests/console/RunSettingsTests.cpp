#include "RunSettings.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {
struct Expected {
    short boardType = 1;
    short boardNumber = 0;
    short analyzerAddress = 16;
    short printerPort = 1;
    std::string boardName = "National Instruments";
    std::string modulePort = "a";
    std::string calRegister = "1";
    int displayedAddress = 16;
    bool modulePortRefused = false;
    bool calRegisterRefused = false;
};

struct Case {
    const char* name;
    std::vector<std::string> args; // after the program path
    Expected expected;
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

Expected With(auto change)
{
    Expected e;
    change(e);
    return e;
}

RunSettings Parse(const std::vector<std::string>& args)
{
    std::vector<const char*> argv{"C:\\fullcal/g:2/a:5.exe"}; // the program path is never examined
    for (const auto& a : args)
        argv.push_back(a.c_str());
    return ParseRunSettings(static_cast<int>(argv.size()), argv.data());
}

const std::string kLongDigits(10000, '1');

const Case kCases[] = {
    {"NoArguments", {}, {}},
    {"CombinedAddressWithoutBoardOption", {"/a:716"}, With([](Expected& e) {
         e.boardNumber = 7;
         e.displayedAddress = 716;
     })},
    {"CvBoard", {"/g:1"}, With([](Expected& e) {
         e.boardName = "Corvane Technologies";
         e.boardNumber = 7;
         e.displayedAddress = 716;
     })},
    {"CvBoardWithCombinedAddress", {"/g:1", "/a:716"}, With([](Expected& e) {
         e.boardName = "Corvane Technologies";
         e.boardNumber = 7;
         e.displayedAddress = 716;
     })},
    {"SplitIgnoresOptionOrder", {"/a:716", "/g:1"}, With([](Expected& e) {
         e.boardName = "Corvane Technologies";
         e.boardNumber = 7;
         e.displayedAddress = 716;
     })},
    {"NiBoardNameLacksFinalS", {"/g:2", "/a:716"}, With([](Expected& e) {
         e.boardType = 2;
         e.boardName = "National Instrument";
     })},
    {"AnyOtherBoardTypeIsNi", {"/g:0"}, With([](Expected& e) {
         e.boardType = 0;
         e.boardName = "National Instrument";
     })},
    {"NiBoardSplitsToBoardZero", {"/g:2", "/a:300"}, With([](Expected& e) {
         e.boardType = 2;
         e.boardName = "National Instrument";
         e.analyzerAddress = 0;
         e.displayedAddress = 0;
     })},
    {"AddressOf100StaysWhole", {"/a:100"}, With([](Expected& e) {
         e.analyzerAddress = 100;
         e.displayedAddress = 100;
     })},
    {"AddressOf101Splits", {"/a:101"}, With([](Expected& e) {
         e.boardNumber = 1;
         e.analyzerAddress = 1;
         e.displayedAddress = 101;
     })},
    {"LargestAddressSplits", {"/a:32767"}, With([](Expected& e) {
         e.boardNumber = 327;
         e.analyzerAddress = 67;
         e.displayedAddress = 32767;
     })},
    {"NoDigitsGiveZero", {"/a:x"}, With([](Expected& e) {
         e.analyzerAddress = 0;
         e.displayedAddress = 0;
     })},
    {"LeadingSpaceAndSign", {"/a: -5"}, With([](Expected& e) {
         e.analyzerAddress = -5;
         e.displayedAddress = -5;
     })},
    {"AddressTruncatedTo16BitsBeforeSplit", {"/a:65552"}, With([](Expected& e) { e.analyzerAddress = 16; })},
    {"NegativeAfterTruncationDoesNotSplit", {"/a:33000"}, With([](Expected& e) {
         e.analyzerAddress = -32536;
         e.displayedAddress = -32536;
     })},
    {"OverflowSaturatesThenTruncates", {"/a:99999999999"}, With([](Expected& e) {
         e.analyzerAddress = -1;
         e.displayedAddress = -1;
     })},
    {"BoardTypeComparedOn16Bits", {"/g:65537"}, With([](Expected& e) {
         e.boardName = "Corvane Technologies";
         e.boardNumber = 7;
         e.displayedAddress = 716;
     })},
    {"PrinterPort", {"/p:3"}, With([](Expected& e) { e.printerPort = 3; })},
    {"SeveralOptionsInOneArgument", {"/g:1/a:716"}, With([](Expected& e) {
         e.boardName = "Corvane Technologies";
         e.boardNumber = 7;
         e.displayedAddress = 716;
     })},
    {"MarkerAnywhereInArgument", {"x/p:2y"}, With([](Expected& e) { e.printerPort = 2; })},
    {"UpperCaseMarkerIsNoOption", {"/E:B", "/A:5"}, {}},
    {"ArgumentWithoutMarkerIgnored", {"calibrate", "g:1", "/g"}, {}},
    {"LaterArgumentOverwrites", {"/g:1", "/g:2", "/p:2", "/p:4"}, With([](Expected& e) {
         e.boardType = 2;
         e.boardName = "National Instrument";
         e.printerPort = 4;
     })},
    {"SecondMarkerInOneArgumentIgnored", {"/a:1/a:2"}, With([](Expected& e) {
         e.analyzerAddress = 1;
         e.displayedAddress = 1;
     })},
    {"TextOptionsAsTyped", {"/e:b", "/c:7"}, With([](Expected& e) {
         e.modulePort = "b";
         e.calRegister = "7";
     })},
    {"EmptyTextOptionsKept", {"/e:", "/c:"}, With([](Expected& e) {
         e.modulePort = "";
         e.calRegister = "";
     })},
    {"TextValueRunsToEndOfArgument", {"/c:/a:5"}, With([](Expected& e) {
         e.analyzerAddress = 5;
         e.displayedAddress = 5;
         e.calRegister = "";
         e.calRegisterRefused = true;
     })},
    {"LongTextValuesRefused", {"/e:ab", "/c:" + kLongDigits}, With([](Expected& e) {
         e.modulePort = "";
         e.modulePortRefused = true;
         e.calRegister = "";
         e.calRegisterRefused = true;
     })},
    {"LaterValidValueLiftsRefusal", {"/c:12", "/e:abc", "/c:3", "/e:B"}, With([](Expected& e) {
         e.calRegister = "3";
         e.modulePort = "B";
     })},
    {"LongNumbersSaturate", {"/g:" + kLongDigits, "/p:-" + kLongDigits}, With([](Expected& e) {
         e.boardType = -1;
         e.boardName = "National Instrument";
         e.printerPort = 0;
     })},
};

class RunSettingsTest : public testing::TestWithParam<Case> {};

TEST_P(RunSettingsTest, AppliesOptions)
{
    const Case& c = GetParam();
    const RunSettings s = Parse(c.args);
    const Expected& e = c.expected;
    EXPECT_EQ(s.boardType, e.boardType);
    EXPECT_EQ(s.boardNumber, e.boardNumber);
    EXPECT_EQ(s.analyzerAddress, e.analyzerAddress);
    EXPECT_EQ(s.printerPort, e.printerPort);
    EXPECT_EQ(s.boardName, e.boardName);
    EXPECT_EQ(s.method, "full");
    EXPECT_EQ(s.modulePort, e.modulePort);
    EXPECT_EQ(s.calRegister, e.calRegister);
    EXPECT_EQ(DisplayedAddress(s), e.displayedAddress);
    EXPECT_EQ(s.modulePortRefused, e.modulePortRefused);
    EXPECT_EQ(s.calRegisterRefused, e.calRegisterRefused);
}

INSTANTIATE_TEST_SUITE_P(Options, RunSettingsTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(ToInt16Test, ConvertsLikeAtoiThenTruncates)
{
    const struct {
        std::string text;
        short expected;
    } cases[] = {
        {"", 0},
        {"abc", 0},
        {"42", 42},
        {" \t\n\v\f\r42", 42},
        {"+7", 7},
        {"-7", -7},
        {"12abc", 12},
        {"- 5", 0},
        {"--5", 0},
        {"32767", 32767},
        {"32768", -32768},
        {"65535", -1},
        {"65536", 0},
        {"2147483647", -1},
        {"2147483648", -1},
        {"-2147483648", 0},
        {"-2147483649", 0},
        {"-65537", -1},
        {std::string(300, '9'), -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ToInt16(c.text), c.expected) << '"' << c.text << '"';
}

TEST(RunSettingsTest, ToleratesMissingArgumentVector)
{
    const char* argv[] = {"fullcal", nullptr, "/p:2"};
    EXPECT_EQ(ParseRunSettings(0, nullptr).analyzerAddress, 16);
    EXPECT_EQ(ParseRunSettings(3, argv).printerPort, 2);
}
} // namespace
