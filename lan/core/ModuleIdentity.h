// What the module says it is: the four fields of its *IDN? reply, as the web page, the identification
// document and discovery show them (UTF-8).
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct ModuleIdentity {
    std::string manufacturer, model, serial, firmware;
    bool known = false;
};

// The identity in a reply to *IDN? (ANSI bytes, a line feed at the end or not); nullopt unless it has four
// comma-separated fields.
std::optional<ModuleIdentity> ParseIdentity(std::string_view reply);
