// vornlan: the module on the lab network. With --service (the service's registered command line) it runs
// as the service "vornlan"; otherwise as a console program, where Ctrl+C or closing the console ends everything cleanly.
// Either way the server object lives on the instrument's own thread and the transports feed it whole
// program messages.
#include "EventLog.h"
#include "Options.h"
#include "Runner.h"
#include "ServiceHost.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Set by the console's control handler; the main thread waits on it.
HANDLE g_stopRequested = nullptr;
// Set by the main thread once everything is released, so that closing the console (after which the
// process ends as soon as the handler returns) still drops links and releases the object first.
HANDLE g_stopped = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event)
{
    SetEvent(g_stopRequested);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_stopped, 4500);
    return TRUE;
}

class ConsoleRun final : public RunControl {
public:
    explicit ConsoleRun(EventLog& log) : log_(log) {}
    void Running() override { log_.Line("running; Ctrl+C stops"); }
    void WaitForStop() override { WaitForSingleObject(g_stopRequested, INFINITE); }

private:
    EventLog& log_;
};

} // namespace

int main()
{
    const std::vector<std::wstring> arguments = CommandLineArguments();
    if (arguments.size() == 2 && arguments[0] == L"--wait-for-exit")
        return WaitForProgramToEnd(arguments[1], 30000);
    // Only the registered command line carries --service; the rest of it is checked by the service,
    // which says in its log what is wrong.
    if (std::find(arguments.begin(), arguments.end(), L"--service") != arguments.end()) {
        if (const auto serviceExit = RunAsService())
            return *serviceExit;
        std::fprintf(stderr, "vornlan: --service is for the service control manager (sc create, the package); "
                             "at a console run vornlan without it\n");
        return 2;
    }

    std::string error;
    const auto options = ParseOptions(arguments, error);
    if (!options) {
        std::fprintf(stderr, "vornlan: %s\n\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (options->help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    EventLog log;
    if (!options->logFile.empty() && !log.OpenFile(options->logFile, error)) {
        std::fprintf(stderr, "vornlan: cannot open the log file: %s\n", error.c_str());
        return 2;
    }
    g_stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    ConsoleRun control(log);
    const int code = RunVornlan(*options, log, control);
    SetEvent(g_stopped);
    return code;
}
