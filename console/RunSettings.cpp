#include "RunSettings.h"

#include <cstdint>
#include <limits>

namespace {
constexpr std::string_view kBoardTypeMarker = "/g:";
constexpr std::string_view kAddressMarker = "/a:";
constexpr std::string_view kRegisterMarker = "/c:";
constexpr std::string_view kModulePortMarker = "/e:";
constexpr std::string_view kPrinterPortMarker = "/p:";

constexpr std::int16_t kCvBoard = 1;
constexpr std::int16_t kCvBoardNumber = 7;

bool IsCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The rest of the argument after the first occurrence of the marker; false when the marker is absent.
bool FindOption(std::string_view argument, std::string_view marker, std::string_view& value)
{
    const auto at = argument.find(marker);
    if (at == std::string_view::npos)
        return false;
    value = argument.substr(at + marker.size());
    return true;
}

void SetSingleCharacter(std::string& field, bool& refused, std::string_view value)
{
    refused = value.size() > 1;
    field = refused ? std::string() : std::string(value);
}
} // namespace

std::int16_t ToInt16(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';

    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kMax + 1) // stays clear of 64-bit overflow for any number of digits
            value = kMax + 1;
    }
    value = negative ? -value : value;
    if (value > kMax)
        value = kMax;
    if (value < kMin)
        value = kMin;
    return static_cast<std::int16_t>(value); // modular since C++20: the low 16 bits
}

RunSettings ParseRunSettings(int argc, const char* const* argv)
{
    RunSettings settings;
    if (argc <= 1 || argv == nullptr)
        return settings;

    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr)
            continue;
        const std::string_view argument(argv[i]);
        std::string_view value;

        if (FindOption(argument, kBoardTypeMarker, value)) {
            settings.boardType = ToInt16(value);
            if (settings.boardType == kCvBoard) {
                settings.boardName = "Corvane Technologies";
                settings.boardNumber = kCvBoardNumber;
            } else {
                settings.boardName = "National Instrument";
                settings.boardNumber = 0;
            }
        }
        if (FindOption(argument, kAddressMarker, value))
            settings.analyzerAddress = ToInt16(value);
        if (FindOption(argument, kRegisterMarker, value))
            SetSingleCharacter(settings.calRegister, settings.calRegisterRefused, value);
        if (FindOption(argument, kModulePortMarker, value))
            SetSingleCharacter(settings.modulePort, settings.modulePortRefused, value);
        if (FindOption(argument, kPrinterPortMarker, value))
            settings.printerPort = ToInt16(value);
    }

    // A combined address such as 716 carries the board number in its hundreds.
    if (settings.analyzerAddress > 100) {
        settings.boardNumber =
            settings.boardType == kCvBoard ? static_cast<std::int16_t>(settings.analyzerAddress / 100) : 0;
        settings.analyzerAddress = static_cast<std::int16_t>(settings.analyzerAddress % 100);
    }
    return settings;
}

int DisplayedAddress(const RunSettings& settings)
{
    return settings.boardNumber * 100 + settings.analyzerAddress;
}
