#pragma once
// The target: the module library the trace forwards to.
//
// Chosen from VORN_TRACE_TARGET, else along the platform's search for Vorn.dll (system folders,
// then PATH), passing over any tracing library (marked by the export below). Loaded from a
// private copy with a name of its own: a second module named Vorn.dll would be what the server's
// later bare-name loads return, and its calls would bypass the trace.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace vorntrace {

inline constexpr char kTraceMarkerExport[] = "VornTraceLibrary";

struct TargetChoice {
    struct Candidate {
        std::wstring path;
        const char* verdict; // why it was passed over; nullptr for the one chosen
    };
    std::wstring path; // empty when none is usable
    std::vector<Candidate> tried;

    // The candidates and verdicts, for the trace file: "\"C:\x\Vorn.dll\" (not found), ...".
    std::string describe() const;
};

// Reads files and the environment only: safe while the loader lock is held.
TargetChoice chooseTarget();

using SendScpiCommandEntry = int(WINAPI*)(const char*);
using GetQueryResponseEntry = int(WINAPI*)(char*, int, int*);

struct Target {
    std::wstring path;     // the file chosen
    std::wstring loadedAs; // the private copy actually loaded
    std::string version;   // its file version, or "none"
    SendScpiCommandEntry send = nullptr;
    GetQueryResponseEntry read = nullptr;
};

// Loads the chosen file under a name of its own. Never unloaded. Null, with `why`, on failure.
std::unique_ptr<Target> loadTarget(const std::wstring& path, std::string& why);

} // namespace vorntrace
