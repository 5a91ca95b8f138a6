// The run settings of fullcal: everything it sends to the module comes from its command line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct RunSettings {
    std::int16_t boardType = 1; // 1 = CV board, 2 = National Instruments board
    std::int16_t boardNumber = 0;
    std::int16_t analyzerAddress = 16; // GPIB primary address of the VNA
    std::int16_t printerPort = 1;      // 1 = LPT1
    std::string boardName = "National Instruments";
    std::string method = "full";
    std::string modulePort = "a";
    std::string calRegister = "1";

    // The module port and the register hold one byte: one character of a single-byte code page. A longer
    // value (also one character that takes two bytes in the ANSI code page) is refused: the field is left
    // empty, so the server rejects that stage instead of acquiring or saving somewhere the user didn't ask for.
    bool modulePortRefused = false;
    bool calRegisterRefused = false;
};

// Applies the options of argv[1..argc-1] over the defaults; argv[0] is never examined.
RunSettings ParseRunSettings(int argc, const char* const* argv);

// atoi-style decimal conversion (saturating at the 32-bit limits instead of overflowing), truncated to 16 bits.
std::int16_t ToInt16(std::string_view text);

// The address shown to the user: board number and analyzer address as one combined number.
int DisplayedAddress(const RunSettings& settings);
