// vornlan's command line.
#pragma once

#include "NetworkFrontEnd.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

struct LanOptions {
    NetworkSettings network;
    std::wstring logFile; // empty: the console only
    bool help = false;
    bool service = false; // --service: the service control manager's command line
};

// nullopt with `error` set when the command line is wrong.
std::optional<LanOptions> ParseOptions(std::span<const std::wstring> arguments, std::string& error);

extern const char kUsage[];

// This process's arguments, without the program's name.
std::vector<std::wstring> CommandLineArguments();
