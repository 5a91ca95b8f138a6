#pragma once
// The target: the module library the trace forwards to.
//
// Chosen from VORN_TRACE_TARGET, else along the platform's search for Vorn.dll (system folders,
// then PATH), passing over any tracing library (marked by the export below). Loaded from a
// private copy with a name of its own: a second module named Vorn.dll would be what the server's
// later bare-name loads return, and its calls would bypass the trace. The copy is named by its
// content and checked against the target byte for byte, so a stale, damaged or planted file of
// that name is never what runs.

#include "Handles.h"

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

// The chosen file's private copy, made and checked while the trace is being loaded (file work only,
// safe under the loader lock), so a copy that can't be made refuses the trace's own load.
struct PreparedTarget {
    std::wstring path; // the file chosen
    std::wstring copy; // its private copy, byte for byte what `path` held when it was read
    // The copy, open without write or delete sharing: nobody changes or replaces it between the
    // check and the load (and once loaded, the image holds it).
    UniqueHandle pin;
};

// False, with `why`, when the copy can't be made or checked.
bool prepareTarget(const std::wstring& path, PreparedTarget& prepared, std::string& why);

struct Target {
    std::wstring path;     // the file chosen
    std::wstring loadedAs; // the private copy actually loaded
    std::string version;   // the copy's file version, or "none"
    SendScpiCommandEntry send = nullptr;
    GetQueryResponseEntry read = nullptr;
    UniqueHandle pin;
};

// Loads the prepared copy; its own dependencies are searched as they would be for the target
// itself. Never unloaded. Null, with `why`, on failure (`prepared` is then kept for another try).
std::unique_ptr<Target> loadTarget(PreparedTarget& prepared, std::string& why);

} // namespace vorntrace
