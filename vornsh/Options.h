// vornsh's own command line: options first, then the method and its arguments.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct Options {
    bool check = false;       // read the module's error queue after each step
    bool stopOnError = false; // steps: stop at the first step that didn't succeed
    bool showUsage = false;
    std::optional<std::wstring> stepsFile;
    std::vector<std::wstring> command; // METHOD ARG... for one shot; empty otherwise
};

// Options are read up to the first word that isn't one (or after "--"); the rest is the command, so
// that an argument such as -1 is never taken for an option. On failure, the usage error.
struct ParsedOptions {
    Options options;
    std::optional<std::wstring> error;
};
ParsedOptions ParseOptions(const std::vector<std::wstring>& arguments);

extern const wchar_t* const kUsage;
