// Behaviour that depends on the user's locale and the ANSI code page. Each suite runs in a
// process started with that locale (tests/server.cmake); a suite first checks it got it.
#include "ServerUnderTest.h"

#include "CommandLink.h"
#include "Numbers.h"
#include "RaisedError.h"

using namespace vorn;
using namespace vorn::test;
using Strings = std::vector<std::string>;

class DecimalCommaLocale : public ServerTest {
protected:
    void SetUp() override
    {
        wchar_t separator[4] = {};
        GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 4);
        ASSERT_STREQ(separator, L",") << "this suite needs a locale with a decimal comma";
        ServerTest::SetUp();
    }
};

TEST_F(DecimalCommaLocale, DoubleTextAndNumericTestUseTheComma)
{
    double delay = 2.5;
    short measure = 3;
    LONG result = 99;
    ASSERT_EQ(server->VORN_DELAY(&delay, &measure, &result), S_OK);

    BSTR calSet = Text(L"1,5").release();
    ASSERT_EQ(server->SENS_CORR_COLL_SAVE(&calSet, &result), S_OK);
    EXPECT_EQ(result, 0);
    SysFreeString(calSet);

    BSTR average = Text(L"2,5").release();
    ASSERT_EQ(server->VORN_IAV(&average, nullptr, &result), S_OK);
    EXPECT_EQ(result, 0);
    SysFreeString(average);

    EXPECT_EQ(Sent(), (Strings{"VORN:DELAY 2,5,3", "SENS:CORR:COLL:SAVE 1,5", "VORN:IAV 2"}));
}

// A suite that needs the process's ANSI code page to be `required` (tests/server.cmake starts it so).
template <UINT required>
class AnsiCodePage : public ServerTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(GetACP(), required) << "this suite needs the ANSI code page " << required;
        ServerTest::SetUp();
    }

    // The text can't be sent: overflow, with the description naming what it says; and through
    // SendCommand the library isn't even bound, the conversion comes first.
    void ExpectOverflowAndNothingSent(const wchar_t* text, const wchar_t* described)
    {
        SCOPED_TRACE(Narrow(text));
        for (bool send : {false, true}) {
            if (send)
                UseModuleLibraryFolder(L"no-library");
            try {
                send ? SendCommand(text) : static_cast<void>(TextToBytes(text));
                ADD_FAILURE() << "no overflow raised";
            } catch (const RaisedError& error) {
                EXPECT_EQ(error.code(), kOverflow);
                EXPECT_NE(error.description().find(described), std::wstring::npos) << Narrow(error.description());
            }
        }
        EXPECT_EQ(Sent(), Strings{});
    }

    // Each reply byte is one character: a lead byte must not swallow its neighbour.
    void ExpectEachReplyByteDecodedAlone(std::string reply)
    {
        reply.resize(258, '\0');
        const UniqueBstr text = BytesToText(reinterpret_cast<const unsigned char*>(reply.data()), 257);
        EXPECT_EQ(SysStringLen(text.get()), 257u);
    }
};

using DoubleByteCodePage = AnsiCodePage<932>;

TEST_F(DoubleByteCodePage, TwoByteCharacterRaisesOverflowAndNothingIsSent)
{
    ExpectOverflowAndNothingSent(L"DISP:MENU \u65E5", L"65E5");
    ExpectEachReplyByteDecodedAlone(std::string("\x93\xFA", 2));
}

// Windows' "Unicode UTF-8 for worldwide language support": every character beyond ASCII takes two
// bytes or more, so it can't be sent, just as a double-byte character can't in code page 932.
using Utf8CodePage = AnsiCodePage<CP_UTF8>;

TEST_F(Utf8CodePage, CharactersBeyondAsciiRaiseOverflowAndNothingIsSent)
{
    // Two bytes, three bytes (the ideographic space), and half of a surrogate pair.
    for (const wchar_t* text : {L"DISP:MENU \u00E9", L"DISP:MENU\u3000", L"\U0001F600"})
        ExpectOverflowAndNothingSent(text, L"65001");
    const std::pmr::string ascii = TextToBytes(L"*IDN?");
    EXPECT_EQ(std::string(ascii.begin(), ascii.end()), std::string("*IDN?", 6));
    ExpectEachReplyByteDecodedAlone(std::string("\xC3\xA9", 2));
}
