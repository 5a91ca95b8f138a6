// The errors the front end reports itself, with SCPI's standard numbers and texts, and the IEEE 488.2
// status bits their classes set.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class ScpiError : int {
    None = 0,
    CommandError = -100,
    SyntaxError = -102,
    DataTypeError = -104,
    ParameterNotAllowed = -108,
    MissingParameter = -109,
    UndefinedHeader = -113,
    ExecutionError = -200,
    DataOutOfRange = -222,
    TooMuchData = -223,
    IllegalParameterValue = -224,
    QueueOverflow = -350,
    QueryInterrupted = -410,
    QueryUnterminated = -420,
};

// SCPI's text for the number: "Syntax error".
std::string_view StandardText(ScpiError error) noexcept;

// The queue entry as SYST:ERR? answers it: -224,"Illegal parameter value;VORN:CONFIG 0,7,16,1". The
// detail (optional) is the front end's or the server's words, bounded (text::Bounded); quotes in it are
// doubled.
std::string ErrorEntry(ScpiError error, std::string_view detail);

// Standard event status register bits.
namespace esr {
inline constexpr std::uint8_t kOperationComplete = 0x01;
inline constexpr std::uint8_t kQueryError = 0x04;
inline constexpr std::uint8_t kDeviceError = 0x08;
inline constexpr std::uint8_t kExecutionError = 0x10;
inline constexpr std::uint8_t kCommandError = 0x20;
} // namespace esr

// Status byte bits.
namespace stb {
inline constexpr std::uint8_t kErrorQueue = 0x04; // the error queue isn't empty
inline constexpr std::uint8_t kMessageAvailable = 0x10;
inline constexpr std::uint8_t kEventStatus = 0x20;
inline constexpr std::uint8_t kRequestService = 0x40;
} // namespace stb

// The event status bit an error's class sets.
std::uint8_t EventBit(ScpiError error) noexcept;
