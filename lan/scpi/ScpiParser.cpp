#include "ScpiParser.h"

#include "Text.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace {

bool IsWhite(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

using text::Trim;

bool IsMnemonicChar(char c) noexcept
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

ParseFailure Fail(ScpiError error, std::string_view detail)
{
    return ParseFailure{error, std::string(detail)};
}

// Splits at the semicolons outside quotes; nullopt when a quote is left open.
std::optional<std::vector<std::string_view>> SplitUnits(std::string_view message)
{
    std::vector<std::string_view> units;
    char quote = 0;
    size_t start = 0;
    for (size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (quote) {
            if (c == quote)
                quote = 0; // a doubled quote closes and reopens: same effect
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ';') {
            units.push_back(message.substr(start, i - start));
            start = i + 1;
        }
    }
    if (quote)
        return std::nullopt;
    units.push_back(message.substr(start));
    return units;
}

std::variant<ProgramParameter, ParseFailure> ReadParameter(std::string_view text)
{
    text = Trim(text);
    if (text.empty())
        return Fail(ScpiError::MissingParameter, "empty parameter");
    ProgramParameter parameter;
    const char first = text.front();
    if (first == '"' || first == '\'') {
        parameter.kind = ProgramParameter::Kind::String;
        size_t i = 1;
        for (;; ++i) {
            if (i >= text.size())
                return Fail(ScpiError::SyntaxError, "string not closed");
            if (text[i] == first) {
                if (i + 1 < text.size() && text[i + 1] == first) {
                    parameter.text += first;
                    ++i;
                    continue;
                }
                break;
            }
            parameter.text += text[i];
        }
        if (i + 1 != text.size())
            return Fail(ScpiError::SyntaxError, "text after a string");
        return parameter;
    }
    for (const char c : text)
        if (IsWhite(c) || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return Fail(ScpiError::SyntaxError, "white space or a control character inside a parameter");
    parameter.text = std::string(text);
    parameter.kind = ParseDecimal(text) ? ProgramParameter::Kind::Number : ProgramParameter::Kind::Characters;
    return parameter;
}

std::variant<ProgramUnit, ParseFailure> ReadUnit(std::string_view text)
{
    ProgramUnit unit;
    text = Trim(text);
    unit.text = std::string(text);
    if (text.empty())
        return Fail(ScpiError::SyntaxError, "empty program message unit");

    size_t i = 0;
    if (text[0] == '*') {
        unit.common = true;
        i = 1;
        while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i])))
            ++i;
        if (i == 1)
            return Fail(ScpiError::SyntaxError, "a common command needs its name after *");
        unit.mnemonics.emplace_back(text.substr(0, i));
    } else {
        if (text[0] == ':') {
            unit.rooted = true;
            i = 1;
        }
        for (;;) {
            const size_t start = i;
            while (i < text.size() && IsMnemonicChar(text[i]))
                ++i;
            if (i == start)
                return Fail(ScpiError::SyntaxError, "a header needs a mnemonic here");
            unit.mnemonics.emplace_back(text.substr(start, i - start));
            if (i < text.size() && text[i] == ':') {
                ++i;
                continue;
            }
            break;
        }
    }
    if (i < text.size() && text[i] == '?') {
        unit.query = true;
        ++i;
    }
    if (i == text.size())
        return unit;
    if (!IsWhite(text[i]))
        return Fail(ScpiError::SyntaxError, "unexpected character in the header");

    // Parameters: separated by commas outside quotes.
    std::string_view rest = text.substr(i);
    char quote = 0;
    size_t start = 0;
    for (size_t k = 0; k <= rest.size(); ++k) {
        const bool atEnd = k == rest.size();
        if (!atEnd && quote) {
            if (rest[k] == quote)
                quote = 0;
            continue;
        }
        if (!atEnd && (rest[k] == '"' || rest[k] == '\'')) {
            quote = rest[k];
            continue;
        }
        if (atEnd || rest[k] == ',') {
            auto parameter = ReadParameter(rest.substr(start, k - start));
            if (auto* failure = std::get_if<ParseFailure>(&parameter))
                return *failure;
            unit.parameters.push_back(std::get<ProgramParameter>(std::move(parameter)));
            start = k + 1;
        }
    }
    return unit;
}

} // namespace

std::vector<std::variant<ProgramUnit, ParseFailure>> ParseProgramMessage(std::string_view message)
{
    std::vector<std::variant<ProgramUnit, ParseFailure>> units;
    const auto pieces = SplitUnits(message);
    if (!pieces) {
        units.emplace_back(Fail(ScpiError::SyntaxError, "string not closed"));
        return units;
    }
    // An empty message, or one ending in a semicolon, has nothing to run there.
    if (pieces->size() == 1 && Trim(pieces->front()).empty())
        return units;
    for (size_t n = 0; n < pieces->size(); ++n) {
        if (n + 1 == pieces->size() && n > 0 && Trim((*pieces)[n]).empty())
            break;
        auto unit = ReadUnit((*pieces)[n]);
        const bool failed = std::holds_alternative<ParseFailure>(unit);
        units.push_back(std::move(unit));
        if (failed)
            break;
    }
    return units;
}

std::optional<double> ParseDecimal(std::string_view text)
{
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
        ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
            ++i, ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        size_t exponentDigits = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
            ++i, ++exponentDigits;
        if (exponentDigits == 0)
            return std::nullopt;
    }
    if (i != text.size())
        return std::nullopt;
    // strtod reads exactly this grammar in the "C" locale, which vornlan never changes.
    const std::string copy(text);
    const double value = std::strtod(copy.c_str(), nullptr);
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}
