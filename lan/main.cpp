// vornlan: the module on the lab network. The server object lives on the instrument's own thread; the
// transports feed it whole program messages; Ctrl+C or closing the console ends everything cleanly.
#include "EventLog.h"
#include "Instrument.h"
#include "NetworkFrontEnd.h"
#include "Options.h"
#include "TrafficHistory.h"

#include <windows.h>
#include <shellapi.h>

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

std::vector<std::wstring> Arguments()
{
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    for (int i = 1; words && i < count; ++i)
        arguments.emplace_back(words[i]);
    LocalFree(words);
    return arguments;
}

} // namespace

int main()
{
    std::string error;
    const std::vector<std::wstring> arguments = Arguments();
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

    TrafficHistory history;
    Instrument instrument(log, &history);
    instrument.Start();
    NetworkFrontEnd network(instrument, log, options->network, history);
    if (network.Start() == 0) {
        log.Line("nothing to listen on: vornlan stops");
        instrument.Stop();
        return 1;
    }
    for (const std::string& resource : network.ResourceStrings())
        log.Line("VISA resource: " + resource);
    log.Line("running; Ctrl+C stops");

    WaitForSingleObject(g_stopRequested, INFINITE);
    log.Line("stopping: links dropped, locks released");
    network.Stop();
    instrument.Stop();
    log.Line("stopped");
    SetEvent(g_stopped);
    return 0;
}
