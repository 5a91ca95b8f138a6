// vornlan as a Windows service: started by the service control manager, it runs as the service
// "vornlan" with the options of its registered command line, logs to a bounded file, reports each state
// with honest wait hints, and stops within the time the manager allows.
#pragma once

#include <optional>
#include <string>

inline constexpr wchar_t kServiceName[] = L"vornlan";

// Called only for a command line that carries --service: under Wine the dispatcher connects to whichever
// service the manager is starting at that moment, so a console run must never try. Runs the service until
// it stops and returns the process's exit code; nullopt when the service control manager didn't start
// this process.
std::optional<int> RunAsService();

// Waits until no process runs `program` (a full path), up to the time given: 0 when none does, 1 when one
// still does. An installer calls it (vornlan --wait-for-exit PATH) between stopping the service and
// removing its file: a stopped service's process may take a moment to end, and a running program's file
// can't be removed.
int WaitForProgramToEnd(const std::wstring& program, unsigned long timeoutMs);

// Where the service logs when its command line names no --log: %ProgramData%\Vornlink\vornlan.log (the
// folder is made when missing).
std::wstring DefaultServiceLogPath();
