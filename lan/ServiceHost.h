// vornlan as a Windows service: started by the service control manager, it runs as the service
// "vornlan" with the options of its registered command line, logs to a bounded file, reports each state
// with honest wait hints, and stops within the time the manager allows.
#pragma once

#include <optional>
#include <string>

inline constexpr wchar_t kServiceName[] = L"vornlan";

// When the service control manager started this process: runs the service until it stops and returns
// the process's exit code. nullopt when the process wasn't started as a service (run as a console
// program then).
std::optional<int> RunAsServiceIfStartedSo();

// Where the service logs when its command line names no --log: %ProgramData%\Vornlink\vornlan.log (the
// folder is made when missing).
std::wstring DefaultServiceLogPath();
