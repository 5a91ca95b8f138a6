// The command buffer and the reply text, checked directly on the command link's conversions.
#include "CommandLink.h"
#include "RaisedError.h"

#include <gtest/gtest.h>

#include <string>

using namespace vorn;

namespace {

std::string Bytes(std::initializer_list<unsigned char> values)
{
    return std::string(values.begin(), values.end());
}

std::wstring Decode(const std::string& reply)
{
    std::string buffer = reply;
    buffer.resize(258, '\0');
    const UniqueBstr text = BytesToText(reinterpret_cast<const unsigned char*>(buffer.data()), 257);
    return std::wstring(text.view());
}

std::string Sent(std::wstring_view text)
{
    const std::pmr::string bytes = TextToBytes(text);
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

TEST(TextToBytes, OneAnsiBytePerCharacterThenAZero)
{
    EXPECT_EQ(Sent(L"SYST:ERR?"), Bytes({0x53, 0x59, 0x53, 0x54, 0x3A, 0x45, 0x52, 0x52, 0x3F, 0x00}));
    EXPECT_EQ(Sent(L"*IDN?"), Bytes({0x2A, 0x49, 0x44, 0x4E, 0x3F, 0x00}));
    EXPECT_EQ(Sent(L""), Bytes({0x00}));
    // A zero character inside is converted like any other; the final zero still follows.
    EXPECT_EQ(Sent(std::wstring_view(L"A\0B", 3)), Bytes({0x41, 0x00, 0x42, 0x00}));
    // Code page 1252: accented letters and the euro sign are single bytes.
    EXPECT_EQ(Sent(L"\u00E9\u20AC"), Bytes({0xE9, 0x80, 0x00}));
    // A character the code page lacks becomes its default character.
    EXPECT_EQ(Sent(L"\u65E5x"), Bytes({'?', 'x', 0x00}));
    EXPECT_EQ(Sent(L"\U0001F600"), Bytes({'?', '?', 0x00}));
}

TEST(BytesToText, DecodesAll257BytesKeepingZerosAndTrimsOnlyBlanks)
{
    EXPECT_EQ(Decode(""), std::wstring(257, L'\0'));
    EXPECT_EQ(Decode("+0,\"No error\""), L"+0,\"No error\"" + std::wstring(257 - 13, L'\0'));
    // Leading blanks go; trailing blanks stay because zeros follow them.
    EXPECT_EQ(Decode("   1"), L"1" + std::wstring(253, L'\0'));
    EXPECT_EQ(Decode("1  "), L"1  " + std::wstring(254, L'\0'));
    // Tabs and line feeds are not blanks.
    EXPECT_EQ(Decode("\t1\n"), L"\t1\n" + std::wstring(254, L'\0'));
    // Bytes after the reply's end reach the caller as they are.
    EXPECT_EQ(Decode(std::string("ab\0cd", 5)), std::wstring(L"ab\0cd", 5) + std::wstring(252, L'\0'));
    EXPECT_EQ(Decode("\x80\xE9"), L"\u20AC\u00E9" + std::wstring(255, L'\0'));
}

TEST(BytesToText, FullBuffersAndBlanksAtBothEnds)
{
    // 256 bytes as told: the 257th decoded byte is the buffer's zero.
    EXPECT_EQ(Decode(std::string(256, 'x')), std::wstring(256, L'x') + L'\0');
    // A library that writes past what it was told: byte 256 is decoded, byte 257 never.
    EXPECT_EQ(Decode(std::string(258, 'y')), std::wstring(257, L'y'));
    // Blanks at both ends of a full buffer are trimmed.
    EXPECT_EQ(Decode("  " + std::string(253, 'z') + "  "), std::wstring(253, L'z'));
    EXPECT_EQ(Decode(std::string(257, ' ')), L"");
}

// A system call that fails without setting its error code must not turn into a call that succeeds.
TEST(RaisedError, NeverCarriesASuccessCode)
{
    EXPECT_EQ(RaisedError(HRESULT_FROM_WIN32(ERROR_SUCCESS), L"").code(), E_FAIL);
    EXPECT_EQ(RaisedError(S_FALSE, L"").code(), E_FAIL);
    EXPECT_EQ(RaisedError(kOverflow, L"").code(), kOverflow);
}
