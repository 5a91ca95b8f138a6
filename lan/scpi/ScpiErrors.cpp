#include "ScpiErrors.h"

#include "Text.h"

#include <array>
#include <utility>

namespace {
constexpr std::array<std::pair<ScpiError, std::string_view>, 14> kTexts = {{
    {ScpiError::None, "No error"},
    {ScpiError::CommandError, "Command error"},
    {ScpiError::SyntaxError, "Syntax error"},
    {ScpiError::DataTypeError, "Data type error"},
    {ScpiError::ParameterNotAllowed, "Parameter not allowed"},
    {ScpiError::MissingParameter, "Missing parameter"},
    {ScpiError::UndefinedHeader, "Undefined header"},
    {ScpiError::ExecutionError, "Execution error"},
    {ScpiError::DataOutOfRange, "Data out of range"},
    {ScpiError::TooMuchData, "Too much data"},
    {ScpiError::IllegalParameterValue, "Illegal parameter value"},
    {ScpiError::QueueOverflow, "Queue overflow"},
    {ScpiError::QueryInterrupted, "Query INTERRUPTED"},
    {ScpiError::QueryUnterminated, "Query UNTERMINATED"},
}};
} // namespace

std::string_view StandardText(ScpiError error) noexcept
{
    for (const auto& [number, text] : kTexts)
        if (number == error)
            return text;
    return "Error";
}

std::string ErrorEntry(ScpiError error, std::string_view detail)
{
    std::string entry = std::to_string(static_cast<int>(error)) + ",\"";
    entry += StandardText(error);
    if (!detail.empty()) {
        entry += ';';
        for (const char c : text::Bounded(detail)) {
            // Kept to one printable line: the entry is one string response data element.
            if (c == '"')
                entry += "\"\"";
            else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                entry += ' ';
            else
                entry += c;
        }
    }
    return entry + '"';
}

std::uint8_t EventBit(ScpiError error) noexcept
{
    const int number = static_cast<int>(error);
    if (number <= -100 && number > -200)
        return esr::kCommandError;
    if (number <= -200 && number > -300)
        return esr::kExecutionError;
    if (number <= -300 && number > -400)
        return esr::kDeviceError;
    if (number <= -400 && number > -500)
        return esr::kQueryError;
    return 0;
}
