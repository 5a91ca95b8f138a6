// The nineteen methods through the dual interface's vtable, checked against what the simulated
// module received, byte for byte.
#include "ServerUnderTest.h"

#include "RaisedError.h"

#include <optional>

using namespace vorn;
using namespace vorn::test;
using Strings = std::vector<std::string>;

namespace {

using FixedMember = HRESULT (STDMETHODCALLTYPE _clsVornlink::*)(LONG*);
using KeywordMember = HRESULT (STDMETHODCALLTYPE _clsVornlink::*)(BSTR*, LONG*);

struct FixedCase {
    const char* name;
    FixedMember member;
    const char* sent;
};

struct KeywordCase {
    const char* name;
    KeywordMember member;
    std::wstring_view given;
    std::wstring_view writtenBack;
    LONG result;
    const char* sent; // nullptr: nothing
};

} // namespace

TEST_F(ServerTest, FixedCommandsSendTheirLineAndReturnZero)
{
    const FixedCase cases[] = {
        {"VORN_ABORT", &_clsVornlink::VORN_ABORT, "VORN:ABORT"},
        {"VORN_CLEAN", &_clsVornlink::VORN_CLEAN, "VORN:CLEAN"},
        {"SENS_CORR_COLL_DONE", &_clsVornlink::SENS_CORR_COLL_DONE, "SENS:CORR:COLL:DONE"},
        {"SENS_CORR_COLL_NEXT", &_clsVornlink::SENS_CORR_COLL_NEXT, "SENS:CORR:COLL:NEXT"},
        {"SENS_CORR_COLL_PRIOR", &_clsVornlink::SENS_CORR_COLL_PRIOR, "SENS:CORR:COLL:PRIOR"},
        {"SENS_CORR_COLL_RES", &_clsVornlink::SENS_CORR_COLL_RES, "SENS:CORR:COLL:RES"},
    };
    for (const FixedCase& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        LONG result = 99;
        EXPECT_EQ((server.Get()->*c.member)(&result), S_OK);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(Sent(), Strings{c.sent});
    }
}

TEST_F(ServerTest, KeywordCommandsNormaliseWriteBackAndMatchWholeKeywords)
{
    const auto menu = &_clsVornlink::DISP_MENU;
    const auto method = &_clsVornlink::SENS_CORR_COLL_METH;
    const auto parameter = &_clsVornlink::SENS_CORR_COLL_PAR;
    const auto module = &_clsVornlink::SENS_CORR_COLL_ACQ;
    const auto view = &_clsVornlink::SENS_CORR_COLL_VIEW;
    const KeywordCase cases[] = {
        // DISP_MENU upper-cases only: a blank makes the keyword fail.
        {"menu Vorn", menu, L"Vorn", L"VORN", 0, "DISP:MENU VORN"},
        {"menu CCHA", menu, L"CCHA", L"CCHA", 0, "DISP:MENU CCHA"},
        {"menu qad", menu, L"qad", L"QAD", 0, "DISP:MENU QAD"},
        {"menu trailing blank", menu, L"full ", L"FULL ", -1, nullptr},
        {"menu leading blank", menu, L" vorn", L" VORN", -1, nullptr},
        {"menu empty", menu, L"", L"", -1, nullptr},
        {"menu method keyword", menu, L"S11", L"S11", -1, nullptr},
        // The other four upper-case and trim blanks, nothing else.
        {"method full", method, L" full ", L"FULL", 0, "SENS:CORR:COLL:METH FULL"},
        {"method s22c", method, L"s22c", L"S22C", 0, "SENS:CORR:COLL:METH S22C"},
        {"method prefix", method, L"FUL", L"FUL", -1, nullptr},
        {"method menu keyword", method, L"CCHB", L"CCHB", -1, nullptr},
        {"method tab", method, L"FULL\t", L"FULL\t", -1, nullptr},
        {"method inner blank", method, L"FU LL", L"FU LL", -1, nullptr},
        {"method zero inside", method, std::wstring_view(L"FULL\0", 5), std::wstring_view(L"FULL\0", 5), -1, nullptr},
        {"parameter s21", parameter, L"s21", L"S21", 0, "SENS:CORR:COLL:PAR S21"},
        {"parameter S13", parameter, L"S13", L"S13", -1, nullptr},
        {"module b", module, L" b", L"B", 0, "SENS:CORR:COLL:ACQ B"},
        {"module A", module, L"A   ", L"A", 0, "SENS:CORR:COLL:ACQ A"},
        {"module c", module, L"c", L"C", -1, nullptr},
        {"module blanks only", module, L"   ", L"", -1, nullptr},
        {"view Div", view, L"Div", L"DIV", 0, "SENS:CORR:COLL:VIEW DIV"},
        {"view both", view, L"both", L"BOTH", 0, "SENS:CORR:COLL:VIEW BOTH"},
        {"view none", view, L"NONE", L"NONE", -1, nullptr},
    };
    for (const KeywordCase& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        BSTR argument = Text(c.given).release();
        LONG result = 99;
        EXPECT_EQ((server.Get()->*c.member)(&argument, &result), S_OK);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(View(argument), c.writtenBack);
        EXPECT_EQ(Sent(), c.sent ? Strings{c.sent} : Strings{});
        SysFreeString(argument);
    }
}

TEST_F(ServerTest, NullStringCountsAsEmptyAndIsRejected)
{
    const KeywordMember members[] = {&_clsVornlink::DISP_MENU,           &_clsVornlink::SENS_CORR_COLL_METH,
                                     &_clsVornlink::SENS_CORR_COLL_PAR,  &_clsVornlink::SENS_CORR_COLL_ACQ,
                                     &_clsVornlink::SENS_CORR_COLL_VIEW, &_clsVornlink::SENS_CORR_COLL_SAVE};
    for (KeywordMember member : members) {
        BSTR argument = nullptr;
        LONG result = 99;
        EXPECT_EQ((server.Get()->*member)(&argument, &result), S_OK);
        EXPECT_EQ(result, -1);
        SysFreeString(argument);
    }
    BSTR onOff = nullptr, average = nullptr, reply = nullptr;
    LONG result = 99;
    EXPECT_EQ(server->VORN_FINT(&onOff, &reply, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(server->VORN_IAV(&average, &reply, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(average, nullptr);
    SysFreeString(onOff);
    EXPECT_EQ(Sent(), Strings{});
}

TEST_F(ServerTest, ConfigChecksEachValueAsSigned16BitAndNeverWritesBack)
{
    struct Case {
        short type, number, address, port;
        const char* sent;
    };
    const Case cases[] = {
        {1, 7, 16, 1, "VORN:CONFIG 1,7,16,1"},
        {2, 0, 32, 4, "VORN:CONFIG 2,0,32,4"},
        {1, 8, 31, 1, "VORN:CONFIG 1,8,31,1"},
        {1, 0, 1, 2, "VORN:CONFIG 1,0,1,2"},
        {0, 7, 16, 1, nullptr},
        {3, 7, 16, 1, nullptr},
        {1, -1, 16, 1, nullptr},
        {1, 9, 16, 1, nullptr},
        {1, 7, 0, 1, nullptr},
        {1, 7, 33, 1, nullptr},
        {1, 7, 16, 0, nullptr},
        {1, 7, 16, 5, nullptr},
        {-32768, 7, 16, 1, nullptr},
        {1, 7, -32768, 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << "," << c.number << "," << c.address << "," << c.port);
        log.clear();
        short type = c.type, number = c.number, address = c.address, port = c.port;
        LONG result = 99;
        EXPECT_EQ(server->CONFIG(&type, &number, &address, &port, &result), S_OK);
        EXPECT_EQ(result, c.sent ? 0 : -1);
        EXPECT_EQ(Sent(), c.sent ? Strings{c.sent} : Strings{});
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(number, c.number);
        EXPECT_EQ(address, c.address);
        EXPECT_EQ(port, c.port);
    }
}

TEST_F(ServerTest, DelayAcceptsEveryPairAndWritesThePlatformsDoubleText)
{
    struct Case {
        double delay;
        short measure;
        const char* sent;
    };
    const Case cases[] = {
        {2.5, 3, "VORN:DELAY 2.5,3"},
        {0, -1, "VORN:DELAY 0,-1"},
        {0.25, 10, "VORN:DELAY 0.25,10"},
        {2.0, 0, "VORN:DELAY 2,0"},
        {-0.5, 32767, "VORN:DELAY -0.5,32767"},
        {1.0 / 3.0, -32768, "VORN:DELAY 0.333333333333333,-32768"},
        {123456789012345678.0, 1, "VORN:DELAY 1.23456789012346E+17,1"},
        {1e-20, 1, "VORN:DELAY 1E-20,1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        log.clear();
        double delay = c.delay;
        short measure = c.measure;
        LONG result = 99;
        EXPECT_EQ(server->VORN_DELAY(&delay, &measure, &result), S_OK);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(Sent(), Strings{c.sent});
        EXPECT_EQ(delay, c.delay);
        EXPECT_EQ(measure, c.measure);
    }
}

TEST_F(ServerTest, FrequencyInterpolationSetsOrQueriesAfterTrimming)
{
    struct Case {
        std::wstring_view given, writtenBack;
        bool supplyReturn;
        LONG result;
        Strings sent;
    };
    const Case cases[] = {
        {L" off ", L"OFF", true, 0, {"VORN:FINT OFF"}},
        {L"On", L"ON", false, 0, {"VORN:FINT ON"}},
        {L"1", L"1", true, -1, {}},
        {L"?", L"?", true, 0, {"VORN:FINT?"}},
        {L" ? ", L"?", true, 0, {"VORN:FINT?"}},
        {L"?", L"?", false, -1, {}},
        {L"??", L"??", true, -1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << Narrow(c.given) << " return " << c.supplyReturn);
        log.clear();
        BSTR onOff = Text(c.given).release();
        BSTR reply = Text(L"untouched").release();
        LONG result = 99;
        EXPECT_EQ(server->VORN_FINT(&onOff, c.supplyReturn ? &reply : nullptr, &result), S_OK);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(View(onOff), c.writtenBack);
        EXPECT_EQ(Sent(), c.sent);
        const bool queried = c.result == 0 && c.writtenBack == L"?";
        if (queried)
            EXPECT_EQ(View(reply).substr(0, 1), L"1"); // the module starts with interpolation on
        else
            EXPECT_EQ(View(reply), L"untouched");
        SysFreeString(onOff);
        SysFreeString(reply);
    }
}

TEST_F(ServerTest, AveragesReadAs16BitRoundingHalfToEvenAndNeverWriteBack)
{
    struct Case {
        std::wstring_view given;
        bool supplyReturn;
        LONG result;
        Strings sent;
    };
    const Case cases[] = {
        {L"3.5", true, 0, {"VORN:IAV 4"}},
        {L"2.5", true, 0, {"VORN:IAV 2"}},
        {L"-2.5", false, 0, {"VORN:IAV -2"}},
        {L"-1", true, 0, {"VORN:IAV -1"}},
        {L" 16 ", true, 0, {"VORN:IAV 16"}},
        {L"016", true, 0, {"VORN:IAV 16"}},
        {L"1E2", true, 0, {"VORN:IAV 100"}},
        {L"32767", true, 0, {"VORN:IAV 32767"}},
        {L"?", true, 0, {"VORN:IAV?"}},
        {L" ? ", true, -1, {}},
        {L"?", false, -1, {}},
        {L"ON", true, -1, {}},
        {L"1A", true, -1, {}},
        {L"", true, -1, {}},
        {L"   ", true, -1, {}},
        {std::wstring_view(L"1\0"
                           L"2",
                           3),
         true,
         -1,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << Narrow(c.given));
        log.clear();
        BSTR average = Text(c.given).release();
        const BSTR before = average;
        BSTR reply = Text(L"untouched").release();
        LONG result = 99;
        EXPECT_EQ(server->VORN_IAV(&average, c.supplyReturn ? &reply : nullptr, &result), S_OK);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(average, before);
        EXPECT_EQ(View(average), c.given);
        EXPECT_EQ(Sent(), c.sent);
        if (c.sent == Strings{"VORN:IAV?"})
            EXPECT_NE(View(reply), L"untouched");
        else
            EXPECT_EQ(View(reply), L"untouched");
        SysFreeString(average);
        SysFreeString(reply);
    }
}

TEST_F(ServerTest, AveragesOutOfRangeRaiseOverflowAndSendNothing)
{
    for (std::wstring_view given : {L"32768", L"-32769", L"40000", L"32767.5"}) {
        SCOPED_TRACE(Narrow(given));
        log.clear();
        BSTR average = Text(given).release();
        BSTR reply = Text(L"untouched").release();
        LONG result = 99;
        EXPECT_EQ(server->VORN_IAV(&average, &reply, &result), kOverflow);
        EXPECT_EQ(result, 0);
        EXPECT_NE(ErrorDescription().find(std::wstring(given)), std::wstring::npos) << "names the value";
        EXPECT_EQ(View(average), given);
        EXPECT_EQ(Sent(), Strings{});
        SysFreeString(average);
        SysFreeString(reply);
    }
}

TEST_F(ServerTest, SaveSendsTheNormalisedTextWhenNumeric)
{
    const struct {
        std::wstring_view given, writtenBack;
        const char* sent;
    } cases[] = {
        {L" 1 ", L"1", "SENS:CORR:COLL:SAVE 1"},
        {L"1.5", L"1.5", "SENS:CORR:COLL:SAVE 1.5"},
        {L"02", L"02", "SENS:CORR:COLL:SAVE 02"},
        {L"1e1", L"1E1", "SENS:CORR:COLL:SAVE 1E1"},
        {L"-3", L"-3", "SENS:CORR:COLL:SAVE -3"},
        {L"A", L"A", nullptr},
        {L"?", L"?", nullptr},
        {L"", L"", nullptr},
        {L"1 2", L"1 2", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.given));
        log.clear();
        BSTR calSet = Text(c.given).release();
        LONG result = 99;
        EXPECT_EQ(server->SENS_CORR_COLL_SAVE(&calSet, &result), S_OK);
        EXPECT_EQ(result, c.sent ? 0 : -1);
        EXPECT_EQ(View(calSet), c.writtenBack);
        EXPECT_EQ(Sent(), c.sent ? Strings{c.sent} : Strings{});
        SysFreeString(calSet);
    }
}

TEST_F(ServerTest, QueriesReplaceTheStringWithAllOf257DecodedBytes)
{
    BSTR reply = Text(L"previous").release();
    LONG result = 99;
    ASSERT_EQ(server->CMD_IDN(&reply, &result), S_OK);
    EXPECT_EQ(result, 0);
    const auto records = log.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], (TrafficRecord{TrafficRecord::Direction::Sent, "*IDN?"}));
    // The reply as the module wrote it, then zeros up to 257 characters: nothing cut at a zero.
    const std::string& written = records[1].bytes;
    ASSERT_EQ(SysStringLen(reply), 257u);
    EXPECT_EQ(View(reply).substr(0, written.size()), std::wstring(written.begin(), written.end()));
    EXPECT_EQ(View(reply).substr(written.size()), std::wstring(257 - written.size(), L'\0'));
    SysFreeString(reply);

    reply = nullptr;
    ASSERT_EQ(server->SYST_ERR(&reply, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(View(reply).substr(0, 13), L"+0,\"No error\"");
    EXPECT_EQ(Sent(), (Strings{"*IDN?", "SYST:ERR?"}));
    // The library is told 256 bytes, not the buffer's 258, and finds the out value at 0.
    EXPECT_EQ(log.replyRequests(), (std::vector<ReplyRequest>{{256, 0}, {256, 0}}));
    SysFreeString(reply);
}

TEST_F(ServerTest, ModuleErrorsAreReadBackThroughTheErrorQueue)
{
    // The module refuses an unknown step order; the server only learns of it through SYST_ERR.
    BSTR register_ = Text(L"1").release();
    LONG result = 99;
    ASSERT_EQ(server->SENS_CORR_COLL_SAVE(&register_, &result), S_OK);
    EXPECT_EQ(result, 0);
    BSTR error = nullptr;
    ASSERT_EQ(server->SYST_ERR(&error, &result), S_OK);
    EXPECT_EQ(View(error).substr(0, 4), L"-221");
    SysFreeString(register_);
    SysFreeString(error);
}

TEST_F(ServerTest, VersionAnswersWithoutTheModuleLibrary)
{
    UseModuleLibraryFolder(L"no-library");
    BSTR version = Text(L"old").release();
    EXPECT_EQ(server->SPI_VERSION(&version), S_OK);
    EXPECT_EQ(View(version), L"01.002");
    SysFreeString(version);
    version = nullptr;
    EXPECT_EQ(server->SPI_VERSION(&version), S_OK);
    EXPECT_EQ(View(version), L"01.002");
    SysFreeString(version);
    EXPECT_EQ(Sent(), Strings{});
}

TEST_F(ServerTest, NullPointersAreRefusedBeforeTheBodyRuns)
{
    LONG result = 99;
    BSTR text = Text(L"FULL").release();
    short value = 1;
    EXPECT_EQ(server->VORN_CLEAN(nullptr), E_POINTER);
    EXPECT_EQ(server->SENS_CORR_COLL_METH(nullptr, &result), E_POINTER);
    EXPECT_EQ(server->SENS_CORR_COLL_METH(&text, nullptr), E_POINTER);
    EXPECT_EQ(server->CONFIG(&value, &value, nullptr, &value, &result), E_POINTER);
    EXPECT_EQ(server->SPI_VERSION(nullptr), E_POINTER);
    EXPECT_EQ(server->VORN_FINT(nullptr, nullptr, &result), E_POINTER);
    EXPECT_EQ(View(text), L"FULL");
    EXPECT_EQ(Sent(), Strings{});
    SysFreeString(text);
}

// Each test runs in a process of its own, so the binding below starts empty.
TEST_F(ServerTest, MissingLibraryFailsEveryCallThenBindsOnceItAppears)
{
    UseModuleLibraryFolder(L"no-library");
    LONG result = 99;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(server->VORN_CLEAN(&result), kFileNotFound);
        EXPECT_EQ(result, 0);
        const std::wstring description = ErrorDescription();
        EXPECT_NE(description.find(L"Vorn.dll"), std::wstring::npos) << Narrow(description);
    }
    // A rejected argument sends nothing, so it still answers -1.
    BSTR method = Text(L"full?").release();
    EXPECT_EQ(server->SENS_CORR_COLL_METH(&method, &result), S_OK);
    EXPECT_EQ(result, -1);
    SysFreeString(method);

    UseModuleLibraryFolder(L"sim");
    EXPECT_EQ(server->VORN_CLEAN(&result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Sent(), Strings{"VORN:CLEAN"});
}

TEST_F(ServerTest, LibraryWithoutQueryEntrySendsTheQueryThenFailsEveryTime)
{
    UseModuleLibraryFolder(L"sim-noquery");
    LONG result = 99;
    EXPECT_EQ(server->VORN_ABORT(&result), S_OK);
    for (int attempt = 0; attempt < 2; ++attempt) {
        BSTR reply = Text(L"kept").release();
        EXPECT_EQ(server->SYST_ERR(&reply, &result), kEntryNotFound);
        EXPECT_NE(ErrorDescription().find(L"GetQueryResponse"), std::wstring::npos);
        EXPECT_EQ(View(reply), L"kept");
        SysFreeString(reply);
    }
    EXPECT_EQ(Sent(), (Strings{"VORN:ABORT", "SYST:ERR?", "SYST:ERR?"}));
}

// A library without SendScpiCommand fails every call, but is loaded once and stays loaded: its
// start-up and shut-down code must not run at every retry.
TEST_F(ServerTest, LibraryWithoutCommandEntryStaysLoadedBetweenCalls)
{
    const std::wstring folder = BinFolder() + L"\\no-send";
    CreateDirectoryW(folder.c_str(), nullptr);
    // A library exporting GetQueryResponse alone, under the module library's name.
    ASSERT_TRUE(CopyFileW((BinFolder() + L"\\sim-late-parts\\VornLateQuery.dll").c_str(),
                          (folder + L"\\Vorn.dll").c_str(), FALSE));
    UseModuleLibraryFolder(L"no-send");
    ASSERT_EQ(GetModuleHandleW(L"Vorn.dll"), nullptr);
    LONG result = 99;
    HMODULE loaded = nullptr;
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(server->VORN_CLEAN(&result), kEntryNotFound);
        EXPECT_NE(ErrorDescription().find(L"SendScpiCommand"), std::wstring::npos);
        const HMODULE now = GetModuleHandleW(L"Vorn.dll");
        ASSERT_NE(now, nullptr) << "unloaded after attempt " << attempt;
        if (loaded) {
            EXPECT_EQ(now, loaded);
        }
        loaded = now;
    }
    // One reference is ours: dropping it unloads the library, so the failed calls kept no more.
    FreeLibrary(loaded);
    EXPECT_EQ(GetModuleHandleW(L"Vorn.dll"), nullptr) << "each failed call kept a reference of its own";
}

TEST_F(ServerTest, ErrorInformationIsClearedAtTheStartOfEachCall)
{
    UseModuleLibraryFolder(L"no-library");
    LONG result = 99;
    ASSERT_TRUE(FAILED(server->VORN_CLEAN(&result)));
    // The failure's error information is still there when a later call succeeds: that call
    // must not leave it behind for a client to read.
    BSTR version = nullptr;
    EXPECT_EQ(server->SPI_VERSION(&version), S_OK);
    SysFreeString(version);
    ComPtr<IErrorInfo> info;
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
}
