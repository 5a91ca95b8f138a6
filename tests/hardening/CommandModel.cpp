#include "CommandModel.h"

#include "Harness.h"

#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <sstream>

namespace hardening {

namespace {

using P = Param;

const std::vector<std::wstring> kMenus = {L"VORN", L"CONF", L"SERV", L"MODI", L"S11C", L"S22C", L"FULL",
                                          L"QFUL", L"ADAP", L"QAD",  L"CCH",  L"CCHA", L"CCHB"};
const std::vector<std::wstring> kMethodKeywords = {L"ADAP", L"CCH", L"FULL", L"QAD", L"QFUL", L"S11C", L"S22C"};

constexpr auto kNone = Normalisation::None;
constexpr auto kUpper = Normalisation::UpperCase;
constexpr auto kTrim = Normalisation::UpperCaseAndTrim;

} // namespace

const std::vector<MethodInfo>& Methods()
{
    static const std::vector<MethodInfo> methods = {
        {"SPI_VERSION", Shape::Version, L"", L"", {P::Text}, kNone, {}, false},
        {"CONFIG", Shape::Config, L"VORN:CONFIG ", L"", {P::Int16, P::Int16, P::Int16, P::Int16}, kNone, {}, true},
        {"VORN_DELAY", Shape::Delay, L"VORN:DELAY ", L"", {P::Double, P::Int16}, kNone, {}, true},
        {"DISP_MENU", Shape::Keyword, L"DISP:MENU ", L"", {P::Text}, kUpper, kMenus, true},
        {"VORN_FINT", Shape::Fint, L"VORN:FINT ", L"VORN:FINT?", {P::Text, P::OptionalText}, kTrim, {L"ON", L"OFF"},
         true},
        {"VORN_IAV", Shape::Iav, L"VORN:IAV ", L"VORN:IAV?", {P::Text, P::OptionalText}, kNone, {}, true},
        {"VORN_ABORT", Shape::Fixed, L"VORN:ABORT", L"", {}, kNone, {}, true},
        {"VORN_CLEAN", Shape::Fixed, L"VORN:CLEAN", L"", {}, kNone, {}, true},
        {"SENS_CORR_COLL_METH", Shape::Keyword, L"SENS:CORR:COLL:METH ", L"", {P::Text}, kTrim, kMethodKeywords, true},
        {"SENS_CORR_COLL_PAR", Shape::Keyword, L"SENS:CORR:COLL:PAR ", L"", {P::Text}, kTrim,
         {L"S11", L"S21", L"S12", L"S22"}, true},
        {"SENS_CORR_COLL_ACQ", Shape::Keyword, L"SENS:CORR:COLL:ACQ ", L"", {P::Text}, kTrim, {L"A", L"B"}, true},
        {"SENS_CORR_COLL_SAVE", Shape::Save, L"SENS:CORR:COLL:SAVE ", L"", {P::Text}, kTrim, {}, true},
        {"SENS_CORR_COLL_DONE", Shape::Fixed, L"SENS:CORR:COLL:DONE", L"", {}, kNone, {}, true},
        {"SENS_CORR_COLL_NEXT", Shape::Fixed, L"SENS:CORR:COLL:NEXT", L"", {}, kNone, {}, true},
        {"SENS_CORR_COLL_PRIOR", Shape::Fixed, L"SENS:CORR:COLL:PRIOR", L"", {}, kNone, {}, true},
        {"SENS_CORR_COLL_RES", Shape::Fixed, L"SENS:CORR:COLL:RES", L"", {}, kNone, {}, true},
        {"SENS_CORR_COLL_VIEW", Shape::Keyword, L"SENS:CORR:COLL:VIEW ", L"", {P::Text}, kTrim, {L"BOTH", L"DIV"},
         true},
        {"SYST_ERR", Shape::Query, L"SYST:ERR?", L"", {P::Text}, kNone, {}, true},
        {"CMD_IDN", Shape::Query, L"*IDN?", L"", {P::Text}, kNone, {}, true},
    };
    return methods;
}

int MethodIndex(const char* name)
{
    for (size_t i = 0; i < Methods().size(); ++i)
        if (std::string_view(Methods()[i].name) == name)
            return static_cast<int>(i);
    return -1;
}

std::string Describe(const Arg& a)
{
    switch (a.kind) {
    case Arg::Kind::Text: return a.text.null ? std::string("<null BSTR>") : Printable(a.text.text);
    case Arg::Kind::Int16: return std::to_string(a.int16);
    case Arg::Kind::Double: {
        char text[40];
        snprintf(text, sizeof text, "%.17g", a.real);
        return text;
    }
    case Arg::Kind::Omitted: break;
    }
    return "<omitted>";
}

std::string Describe(const Call& call)
{
    std::string out = std::string(Methods()[static_cast<size_t>(call.method)].name) + "(";
    for (size_t i = 0; i < call.args.size(); ++i)
        out += (i ? ", " : "") + Describe(call.args[i]);
    return out + ")";
}

Circumstances Circumstances::OfThisProcess()
{
    Circumstances c;
    c.codePage = GetACP();
    CPINFO info{};
    GetCPInfo(CP_ACP, &info);
    c.doubleByte = info.MaxCharSize > 1;
    wchar_t separator[8] = {};
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8);
    c.decimal = separator[0];
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, separator, 8);
    c.thousands = separator[0];
    return c;
}

// The command buffer: each character's code in the ANSI code page, then a zero byte. A character
// the code page lacks becomes its default character; one it encodes in two bytes can't be sent.
std::optional<std::string> CommandBytes(std::wstring_view command, const Circumstances&)
{
    CPINFO info{};
    GetCPInfo(CP_ACP, &info);
    std::string bytes;
    for (const wchar_t c : command) {
        if (c < 0x80) {
            bytes += static_cast<char>(c);
            continue;
        }
        char code[4] = {};
        BOOL usedDefault = FALSE;
        const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &c, 1, code, 4, nullptr, &usedDefault);
        if (length == 2 && !usedDefault)
            return std::nullopt;
        bytes += (length == 1 && !usedDefault) ? code[0] : static_cast<char>(info.DefaultChar[0]);
    }
    bytes += '\0';
    return bytes;
}

// The reply text: the 258-byte buffer as the library left it, bytes 0 to 256 decoded one by one,
// blanks trimmed at both ends. nullopt stands for a decoding failure, which yields an empty reply.
std::optional<std::wstring> DecodeReply(std::string_view written, const Circumstances&)
{
    std::string buffer(written.substr(0, 258));
    buffer.resize(258, '\0');
    std::wstring text;
    for (size_t i = 0; i < 257; ++i) {
        wchar_t c = 0;
        if (MultiByteToWideChar(CP_ACP, 0, &buffer[i], 1, &c, 1) != 1)
            return std::nullopt;
        text += c;
    }
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos)
        return std::wstring();
    return text.substr(first, text.find_last_not_of(L' ') + 1 - first);
}

namespace {

bool IsAsciiLetter(wchar_t c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

// The numeric test: "Yes" with the value when the description says the text is a number, "No"
// when it says it is not, "Unsure" where the grammar is the implementer's (thousands separators,
// currency, hexadecimal, other exponent letters, lower-case e, white space other than blanks, a
// sign after the number, magnitudes a double can't hold) or the character is outside ASCII.
struct Numeric {
    enum Kind { No, Yes, Unsure } kind = No;
    double value = 0;
    int significantDigits = 0;
};

Numeric Classify(std::wstring_view text, const Circumstances& circumstances)
{
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring_view::npos)
        return {Numeric::No};
    const std::wstring_view core = text.substr(first, text.find_last_not_of(L' ') + 1 - first);
    if (core == L"?")
        return {Numeric::No};
    if (core.find(L'&') != std::wstring_view::npos)
        return {Numeric::Unsure};
    bool unsure = false;
    for (const wchar_t c : core) {
        if (IsAsciiLetter(c) && c != L'E' && c != L'e' && c != L'D' && c != L'd')
            return {Numeric::No};
        if (IsDigit(c) || c == L'E' || c == L'+' || c == L'-' || c == circumstances.decimal)
            continue;
        unsure = true;  // e, D, d, separators, currency, tabs, zeros, other punctuation, non-ASCII
    }
    if (unsure)
        return {Numeric::Unsure};

    // [sign] (digits [sep digits*] | sep digits+) [E [sign] digits]
    size_t i = 0;
    if (i < core.size() && (core[i] == L'+' || core[i] == L'-'))
        ++i;
    if (i < core.size() && (core[i] == L'+' || core[i] == L'-'))
        return {Numeric::Unsure};  // a second sign: the description names one, the platform may take more
    std::string ascii(core.substr(0, i).empty() ? "" : (core[0] == L'-' ? "-" : "+"));
    size_t digits = 0;
    int significant = 0;
    bool leading = true;
    auto takeDigits = [&] {
        size_t count = 0;
        while (i < core.size() && IsDigit(core[i])) {
            if (core[i] != L'0')
                leading = false;
            if (!leading)
                ++significant;
            ascii += static_cast<char>(core[i]);
            ++i;
            ++count;
        }
        return count;
    };
    digits += takeDigits();
    if (i < core.size() && core[i] == circumstances.decimal) {
        ascii += '.';
        ++i;
        digits += takeDigits();
    }
    if (digits == 0)
        return {Numeric::No};
    if (i < core.size() && core[i] == L'E') {
        ascii += 'E';
        ++i;
        if (i < core.size() && (core[i] == L'+' || core[i] == L'-'))
            ascii += static_cast<char>(core[i++]);
        size_t exponentDigits = 0;
        while (i < core.size() && IsDigit(core[i])) {
            ascii += static_cast<char>(core[i++]);
            ++exponentDigits;
        }
        if (exponentDigits == 0)
            return {Numeric::No};
    }
    if (i != core.size()) {
        // A sign after the number may be read as its sign; anything else breaks the number.
        for (size_t k = i; k < core.size(); ++k)
            if (core[k] == L'+' || core[k] == L'-')
                return {Numeric::Unsure};
        return {Numeric::No};
    }
    const double value = std::strtod(ascii.c_str(), nullptr);
    if (!std::isfinite(value) || (value != 0 && std::fabs(value) < 1e-300) ||
        (value == 0 && significant > 0))
        return {Numeric::Unsure};  // beyond a double's range
    return {Numeric::Yes, value, significant};
}

// Text pattern of a normalised argument: letters a-z are upper-cased, other ASCII characters stay,
// and a character outside ASCII may become any character (its case mapping is the implementer's).
struct Pattern {
    std::wstring text;
    std::vector<bool> free;
    bool Fixed() const
    {
        for (bool f : free)
            if (f)
                return false;
        return true;
    }
    bool Admits(std::wstring_view candidate) const
    {
        if (candidate.size() != text.size())
            return false;
        for (size_t i = 0; i < text.size(); ++i)
            if (!free[i] && candidate[i] != text[i])
                return false;
        return true;
    }
};

Pattern Normalised(const Text& given, Normalisation how)
{
    std::wstring_view text = given.null ? std::wstring_view() : std::wstring_view(given.text);
    Pattern pattern;
    if (how == Normalisation::UpperCaseAndTrim) {
        const size_t first = text.find_first_not_of(L' ');
        text = first == std::wstring_view::npos ? std::wstring_view()
                                                : text.substr(first, text.find_last_not_of(L' ') + 1 - first);
    }
    for (const wchar_t c : text) {
        const bool ascii = c < 0x80;
        pattern.text += (how != Normalisation::None && c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
        pattern.free.push_back(how != Normalisation::None && !ascii);
    }
    return pattern;
}

std::wstring Int16Text(long value)
{
    return std::to_wstring(value);
}

// What the call may lead to. Several are admissible where the description leaves a choice.
struct Expect {
    enum Kind { Done, Rejected, Raised } kind = Done;
    std::vector<std::wstring> commands;
    bool reply = false;
    int replyParam = -1;
    enum class Free { None, Int16AfterHeader, DelayText, KeywordPattern, SavePattern } free = Free::None;
    std::string why;
};

std::string Quote(const std::wstring& text)
{
    return Printable(text);
}

bool SameText(const std::optional<Text>& seen, std::wstring_view expected)
{
    if (!seen)
        return true;
    const std::wstring_view text = seen->null ? std::wstring_view() : std::wstring_view(seen->text);
    return text == expected;
}

std::wstring TextOf(const Text& t)
{
    return t.null ? std::wstring() : t.text;
}

std::string Sent(const std::vector<TrafficRecord>& traffic)
{
    std::string out;
    for (const TrafficRecord& r : traffic)
        out += std::string(r.direction == TrafficRecord::Direction::Sent ? " >" : " <") + PrintableBytes(r.bytes);
    return out.empty() ? " nothing" : out;
}

// Compares the observation with one admissible expectation; empty when they agree.
std::string Against(const Expect& e, const Call& call, const Circumstances& c, const Observation& o,
                    const Pattern& pattern)
{
    const MethodInfo& m = Methods()[static_cast<size_t>(call.method)];
    // The commands with their bytes, the conversion and the library entries taken into account.
    Expect expect = e;
    std::vector<std::string> bytes;
    if (expect.kind == Expect::Done && expect.free == Expect::Free::None) {
        for (const std::wstring& command : expect.commands) {
            const auto converted = CommandBytes(command, c);
            if (!converted) {  // a character of two bytes: nothing reaches the library
                expect.kind = Expect::Raised;
                expect.commands.clear();
                bytes.clear();
                break;
            }
            bytes.push_back(*converted);
        }
    }
    if (expect.kind == Expect::Done && !c.sendEntry) {
        expect.kind = Expect::Raised;
        expect.commands.clear();
        bytes.clear();
    }
    if (expect.kind == Expect::Done && expect.reply && !c.queryEntry) {
        expect.kind = Expect::Raised;
        expect.reply = false;
    }
    if (expect.kind != Expect::Done) {
        expect.free = Expect::Free::None;
        if (expect.kind == Expect::Rejected)
            bytes.clear();
    }

    std::ostringstream problem;
    const bool ok = SUCCEEDED(o.hr);
    if (expect.kind == Expect::Raised) {
        if (ok)
            problem << "expected a raised error, got HRESULT 0x" << std::hex << o.hr << std::dec;
        else if (!o.described)
            problem << "failed with 0x" << std::hex << o.hr << std::dec << " but without error information";
        else if (o.result && *o.result != 0)
            problem << "failed, but the result code holds " << *o.result << " instead of 0";
    } else {
        const LONG code = expect.kind == Expect::Done ? 0 : -1;
        if (!ok)
            problem << "expected result " << code << ", got failure 0x" << std::hex << o.hr << std::dec;
        else if (m.hasResult && (!o.result || *o.result != code))
            problem << "expected result " << code << ", got "
                    << (o.result ? std::to_string(*o.result) : std::string("no VT_I4 result"));
    }
    if (!problem.str().empty())
        return problem.str() + " (" + expect.why + ")";

    // Traffic: each command sent, as far as its first zero byte (where the record stops), and
    // after a query line the reply read.
    std::vector<TrafficRecord> sentOnly;
    const TrafficRecord* reply = nullptr;
    for (const TrafficRecord& r : o.traffic) {
        if (r.direction == TrafficRecord::Direction::Sent)
            sentOnly.push_back(r);
        else if (!reply)
            reply = &r;
        else
            return "more than one reply read:" + Sent(o.traffic);
    }
    const size_t expectedSends = expect.free != Expect::Free::None ? 1 : bytes.size();
    if (sentOnly.size() != (expect.kind == Expect::Raised ? bytes.size() : expectedSends))
        return "the module received" + Sent(o.traffic) + " (" + expect.why + ")";
    for (size_t i = 0; i < bytes.size(); ++i) {
        const std::string wanted = bytes[i].substr(0, bytes[i].find('\0'));
        if (sentOnly[i].bytes != wanted)
            return "expected the module to receive " + PrintableBytes(wanted) + ", it received" + Sent(o.traffic);
    }
    if (expect.free != Expect::Free::None) {
        const std::string& line = sentOnly[0].bytes;
        std::string header(m.header.begin(), m.header.end());
        if (line.compare(0, header.size(), header) != 0)
            return "expected a line starting " + PrintableBytes(header) + ", the module received" + Sent(o.traffic);
        const std::string rest = line.substr(header.size());
        if (expect.free == Expect::Free::Int16AfterHeader) {
            char* end = nullptr;
            const long value = std::strtol(rest.c_str(), &end, 10);
            if (rest.empty() || *end || value < -32768 || value > 32767 || rest != std::to_string(value))
                return "expected a 16-bit integer after the header, the module received" + Sent(o.traffic);
        } else if (expect.free == Expect::Free::DelayText) {
            const size_t comma = rest.rfind(',');
            if (comma == std::string::npos)
                return "no comma in" + Sent(o.traffic);
            if (rest.substr(comma + 1) != std::to_string(call.args[1].int16))
                return "MeasureDelay written wrongly in" + Sent(o.traffic);
            const std::wstring text(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(comma));
            const std::string wrong = CheckDoubleText(text, call.args[0].real, c);
            if (!wrong.empty())
                return wrong + " in" + Sent(o.traffic);
        } else {
            // A normalised argument the caller can't see: what was sent must fit the pattern.
            std::wstring sentText;
            for (const char ch : rest)
                sentText += static_cast<wchar_t>(static_cast<unsigned char>(ch));
            Pattern relaxed = pattern;
            for (size_t i = 0; i < relaxed.text.size(); ++i)
                if (relaxed.free[i])
                    relaxed.text[i] = 0;
            if (!relaxed.Admits(sentText))
                return "the sent argument doesn't fit the normalised text" + Sent(o.traffic);
            if (expect.free == Expect::Free::KeywordPattern) {
                bool keyword = false;
                for (const std::wstring& k : m.keywords)
                    keyword |= std::wstring_view(k) == std::wstring_view(sentText);
                if (!keyword)
                    return "sent something that is no keyword:" + Sent(o.traffic);
            } else if (Classify(sentText, c).kind == Numeric::No) {
                return "sent a register that is not numeric:" + Sent(o.traffic);
            }
        }
    }
    if (expect.kind == Expect::Done && expect.reply) {
        if (!reply)
            return "a query without reading the reply:" + Sent(o.traffic);
        if (o.traffic.back().direction != TrafficRecord::Direction::Replied)
            return "something sent after the reply was read:" + Sent(o.traffic);
        const auto decoded = DecodeReply(reply->bytes, c);
        const auto& seen = o.finalText[static_cast<size_t>(expect.replyParam)];
        if (seen) {
            const std::wstring text = TextOf(*seen);
            if (decoded ? text != *decoded : !text.empty())
                return "reply " + PrintableBytes(reply->bytes) + " should read " +
                       (decoded ? Quote(*decoded) : std::string("as empty")) + ", the caller got " + Quote(text);
        }
    } else if (reply) {
        return "a reply was read though the call " +
               std::string(expect.kind == Expect::Done ? "sends no query" : "must not read one") + ":" +
               Sent(o.traffic);
    }
    // A reply string the call didn't fill keeps what it held.
    for (size_t p = 0; p < m.params.size(); ++p) {
        const bool isReply = (m.shape == Shape::Query && p == 0) || p == 1;
        if (!isReply || m.params[p] == Param::Int16 || m.params[p] == Param::Double)
            continue;
        if (expect.kind == Expect::Done && expect.reply && static_cast<int>(p) == expect.replyParam)
            continue;
        if (call.args[p].kind != Arg::Kind::Omitted && !o.untouched[p])
            return "parameter " + std::to_string(p + 1) + " was written though the call fills no reply (" +
                   expect.why + ")";
    }
    return {};
}

} // namespace

std::string CheckDoubleText(std::wstring_view text, double value, const Circumstances& c)
{
    const std::string shown = Printable(text);
    if (text.empty())
        return "empty double text";
    if (!std::isfinite(value))
        return {};  // the platform's text for NaN and infinities is whatever it is
    // The exact text of the exponent form is the implementer's: its mantissa may carry a point
    // where the locale's separator is a comma (the platform's text does so under Wine).
    wchar_t separatorCharacter = c.decimal;
    if (text.find_first_of(L"Ee") != std::wstring_view::npos && text.find(c.decimal) == std::wstring_view::npos)
        separatorCharacter = L'.';
    // sign, mantissa with at most one separator, optional exponent: E or e, optional sign, digits
    size_t i = 0;
    const bool minus = text[0] == L'-';
    if (minus)
        ++i;
    const size_t mantissaStart = i;
    while (i < text.size() && (IsDigit(text[i]) || text[i] == separatorCharacter))
        ++i;
    const std::wstring_view mantissa = text.substr(mantissaStart, i - mantissaStart);
    std::wstring_view exponent;
    if (i < text.size() && (text[i] == L'E' || text[i] == L'e')) {
        exponent = text.substr(i + 1);
        size_t k = 0;
        if (k < exponent.size() && (exponent[k] == L'+' || exponent[k] == L'-'))
            ++k;
        if (k == exponent.size())
            return shown + " has an exponent without digits";
        for (; k < exponent.size(); ++k)
            if (!IsDigit(exponent[k]))
                return shown + " is no number";
    } else if (i != text.size()) {
        return shown + " is no number";
    }
    const size_t separator = mantissa.find(separatorCharacter);
    if (mantissa.empty() || (separator != std::wstring_view::npos && mantissa.find(separatorCharacter, separator + 1) !=
                                                                          std::wstring_view::npos))
        return shown + " is no number";
    if (value < 0 && !minus)
        return shown + " lacks the minus sign of a negative value";
    if (value > 0 && minus)
        return shown + " has a minus sign for a positive value";
    const std::wstring_view whole = mantissa.substr(0, separator);
    if (whole.empty())
        return shown + " has no digit before the decimal separator";
    if (whole.size() > 1 && whole[0] == L'0')
        return shown + " has a leading zero";
    if (separator != std::wstring_view::npos) {
        const std::wstring_view fraction = mantissa.substr(separator + 1);
        if (fraction.empty() || fraction.back() == L'0')
            return shown + " keeps trailing zeros or a bare separator";
    }
    int significant = 0;
    bool leading = true;
    for (const wchar_t d : mantissa) {
        if (!IsDigit(d))
            continue;
        leading = leading && d == L'0';
        if (!leading)
            ++significant;
    }
    if (significant > 15 && separator != std::wstring_view::npos)
        return shown + " has more than 15 significant digits";
    if (significant > 15) {
        // Whole numbers: the digits beyond the fifteenth must be zeros.
        int counted = 0;
        bool start = false;
        for (const wchar_t d : mantissa) {
            start |= d != L'0';
            if (start && ++counted > 15 && d != L'0')
                return shown + " has more than 15 significant digits";
        }
    }
    std::string ascii;
    for (const wchar_t ch : text)
        ascii += ch == separatorCharacter ? '.' : static_cast<char>(ch);
    // At most 15 significant digits: the text reads back within a unit of the fifteenth digit.
    // Read wider than a double: near the largest double, 15 digits round above it.
    const long double read = std::strtold(ascii.c_str(), nullptr);
    const long double tolerance = std::fabs(static_cast<long double>(value)) * 1e-14L + 1e-323L;
    if (!(std::fabs(read - value) <= tolerance)) {
        char exact[40];
        snprintf(exact, sizeof exact, "%.17g", value);
        return shown + " doesn't read back as " + exact;
    }
    return {};
}

std::string Check(const Call& call, const Circumstances& c, const Observation& o)
{
    const MethodInfo& m = Methods()[static_cast<size_t>(call.method)];
    for (size_t p = 0; p < m.params.size(); ++p)
        if ((m.params[p] == Param::Int16 || m.params[p] == Param::Double) && !o.untouched[p])
            return "a number was written back into parameter " + std::to_string(p + 1);

    if (m.shape == Shape::Version) {
        if (o.hr != S_OK)
            return "SPI_VERSION failed";
        if (!o.traffic.empty())
            return "SPI_VERSION reached the module:" + Sent(o.traffic);
        if (!SameText(o.finalText[0], L"01.002"))
            return "SPI_VERSION answered " + Quote(TextOf(*o.finalText[0]));
        if (o.result)
            return "SPI_VERSION delivered a result code: " + std::to_string(*o.result);
        return {};
    }

    // The normalised argument: what the caller sees must fit the pattern; the decision is taken on
    // the text the method had, as far as the caller can know it.
    Pattern pattern;
    std::optional<std::wstring> normalised;
    const bool normalises = m.normalisation != Normalisation::None;
    if (normalises) {
        pattern = Normalised(call.args[0].text, m.normalisation);
        if (o.finalText[0]) {
            const std::wstring seen = TextOf(*o.finalText[0]);
            if (!pattern.Admits(seen))
                return "the caller's string reads " + Quote(seen) + " after normalisation, expected " +
                       Quote(pattern.text) + (pattern.Fixed() ? "" : " (letters outside ASCII free)");
            normalised = seen;
        } else if (pattern.Fixed()) {
            normalised = pattern.text;
        }
    } else if (m.shape == Shape::Iav && !o.untouched[0]) {
        return "VORN_IAV wrote strAvg back";
    }

    std::vector<Expect> admissible;
    auto add = [&](Expect::Kind kind, std::vector<std::wstring> commands, std::string why,
                   Expect::Free free = Expect::Free::None, int replyParam = -1) {
        admissible.push_back({kind, std::move(commands), replyParam >= 0, replyParam, free, std::move(why)});
    };
    const bool returnSupplied = m.params.size() > 1 && call.args[1].kind != Arg::Kind::Omitted;
    switch (m.shape) {
    case Shape::Version: break;
    case Shape::Fixed: add(Expect::Done, {m.header}, "fixed command"); break;
    case Shape::Query: add(Expect::Done, {m.header}, "query", Expect::Free::None, 0); break;
    case Shape::Config: {
        const short t = call.args[0].int16, n = call.args[1].int16, a = call.args[2].int16, p = call.args[3].int16;
        if (t >= 1 && t <= 2 && n >= 0 && n <= 8 && a >= 1 && a <= 32 && p >= 1 && p <= 4)
            add(Expect::Done,
                {m.header + Int16Text(t) + L"," + Int16Text(n) + L"," + Int16Text(a) + L"," + Int16Text(p)},
                "values in range");
        else
            add(Expect::Rejected, {}, "a value out of range");
        break;
    }
    case Shape::Delay: add(Expect::Done, {}, "every pair is accepted", Expect::Free::DelayText); break;
    case Shape::Keyword:
        if (normalised) {
            bool keyword = false;
            for (const std::wstring& k : m.keywords)
                keyword |= k == *normalised;
            if (keyword)
                add(Expect::Done, {m.header + *normalised}, "keyword");
            else
                add(Expect::Rejected, {}, "no keyword");
        } else {
            add(Expect::Rejected, {}, "no keyword after a case mapping of the implementer's");
            add(Expect::Done, {}, "a keyword after a case mapping of the implementer's",
                Expect::Free::KeywordPattern);
        }
        break;
    case Shape::Fint:
        if (normalised) {
            if (*normalised == L"ON" || *normalised == L"OFF")
                add(Expect::Done, {m.header + *normalised}, "setting");
            else if (*normalised == L"?" && returnSupplied)
                add(Expect::Done, {m.queryHeader}, "query", Expect::Free::None, 1);
            else
                add(Expect::Rejected, {}, *normalised == L"?" ? "query without strReturn" : "no setting");
        } else {
            add(Expect::Rejected, {}, "no setting after a case mapping of the implementer's");
            add(Expect::Done, {}, "a setting after a case mapping of the implementer's",
                Expect::Free::KeywordPattern);
        }
        break;
    case Shape::Save: {
        const Numeric numeric = normalised ? Classify(*normalised, c) : Numeric{Numeric::Unsure};
        if (numeric.kind != Numeric::No) {
            if (normalised)
                add(Expect::Done, {m.header + *normalised}, "numeric register");
            else
                add(Expect::Done, {}, "numeric after a case mapping of the implementer's", Expect::Free::SavePattern);
            if (!normalised && c.doubleByte)
                add(Expect::Raised, {}, "a character of two bytes in the register");
        }
        if (numeric.kind != Numeric::Yes)
            add(Expect::Rejected, {}, "register not numeric");
        break;
    }
    case Shape::Iav: {
        const std::wstring raw = TextOf(call.args[0].text);
        const Numeric numeric = Classify(raw, c);
        if (numeric.kind == Numeric::Yes) {
            // Half to even; with more digits than a double holds, either neighbour.
            std::fesetround(FE_TONEAREST);
            std::vector<double> candidates{std::nearbyint(numeric.value)};
            if (numeric.significantDigits > 15)
                candidates.insert(candidates.end(), {std::floor(numeric.value), std::ceil(numeric.value)});
            for (const double v : candidates) {
                if (v < -32768 || v > 32767)
                    add(Expect::Raised, {}, "overflow of a 16-bit integer");
                else
                    add(Expect::Done, {m.header + Int16Text(static_cast<long>(v))}, "number of averages");
            }
        } else if (numeric.kind == Numeric::Unsure) {
            add(Expect::Rejected, {}, "not numeric by the implementer's grammar");
            add(Expect::Raised, {}, "numeric by the implementer's grammar, out of range");
            add(Expect::Done, {}, "numeric by the implementer's grammar", Expect::Free::Int16AfterHeader);
        } else if (raw == L"?" && returnSupplied) {
            add(Expect::Done, {m.queryHeader}, "query", Expect::Free::None, 1);
        } else {
            add(Expect::Rejected, {}, raw == L"?" ? "query without strReturn" : "not numeric");
        }
        break;
    }
    }

    std::string first;
    for (const Expect& e : admissible) {
        const std::string wrong = Against(e, call, c, o, pattern);
        if (wrong.empty())
            return {};
        if (first.empty())
            first = wrong;
        else
            first += "; or " + wrong;
    }
    return first;
}

} // namespace hardening
