// A program message split into program message units as an instrument's parser reads them: headers
// with their mnemonics, the query mark, and parameters as character data, strings or numbers.
#pragma once

#include "ScpiErrors.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct ProgramParameter {
    enum class Kind { Characters, String, Number };
    Kind kind = Kind::Characters;
    std::string text; // as written for characters and numbers; the content, quotes undone, for strings
};

struct ProgramUnit {
    std::string text;                   // the unit as written, trimmed
    bool common = false;                // *IDN?, *CLS ...
    bool rooted = false;                // a leading colon: back to the root
    std::vector<std::string> mnemonics; // "SENS", "CORR" ... (for a common command: "*IDN")
    bool query = false;
    std::vector<ProgramParameter> parameters;
};

struct ParseFailure {
    ScpiError error = ScpiError::SyntaxError;
    std::string detail;
};

// The units of one message, in order. A unit that can't be read ends the list with its failure: the
// units before it still run, as an instrument runs what it has parsed.
std::vector<std::variant<ProgramUnit, ParseFailure>> ParseProgramMessage(std::string_view message);

// SCPI's decimal numeric data: optional sign, digits with an optional point, an optional exponent
// (E or e, optional sign, digits). nullopt when the text isn't one or isn't finite.
std::optional<double> ParseDecimal(std::string_view text);
