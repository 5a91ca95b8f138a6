// vornlan's command line.
#pragma once

#include "NetworkFrontEnd.h"

#include <optional>
#include <span>
#include <string>

struct LanOptions {
    NetworkSettings network;
    std::wstring logFile; // empty: the console only
    bool help = false;
};

// nullopt with `error` set when the command line is wrong.
std::optional<LanOptions> ParseOptions(std::span<const std::wstring> arguments, std::string& error);

extern const char kUsage[];
