#include "ServiceHost.h"

#include "EventLog.h"
#include "Options.h"
#include "Runner.h"

#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
// A kernel handle, closed with its owner; empty for null.
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

// The manager waits this long for a state change before it takes the service for hung; the stop is
// given as much, then what still runs (a module call that doesn't return) is abandoned.
constexpr DWORD kStartHintMs = 10000;
constexpr DWORD kStopHintMs = 5000;
constexpr auto kStopLimit = std::chrono::seconds(20);
// The service-specific exit codes, as `sc query vornlan` shows them.
constexpr DWORD kExitBadCommandLine = 2;
constexpr DWORD kExitNoLog = 3;

class Service final : public RunControl {
public:
    void Main()
    {
        handle_ = RegisterServiceCtrlHandlerExW(kServiceName, &Service::Control, this);
        if (!handle_)
            return;
        stopRequested_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        Report(SERVICE_START_PENDING, kStartHintMs);
        const DWORD specificCode = Serve(); // the log is closed when it returns
        Stopped(specificCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR, specificCode);
    }

    // The run, from the command line to the last line of the log: 0, or the service-specific exit code.
    DWORD Serve()
    {
        EventLog log;
        std::string error;
        // The options as registered (the service's own command line), not its start parameters.
        const std::vector<std::wstring> arguments = CommandLineArguments();
        const auto options = ParseOptions(arguments, error);
        // The log named on the command line even when the rest of it is wrong: that is where to say so.
        std::wstring logPath;
        for (std::size_t i = 0; i + 1 < arguments.size(); ++i)
            if (arguments[i] == L"--log")
                logPath = arguments[i + 1];
        if (logPath.empty())
            logPath = DefaultServiceLogPath();
        else if (const auto slash = logPath.find_last_of(L"\\/"); slash != std::wstring::npos)
            SHCreateDirectoryExW(nullptr, logPath.substr(0, slash).c_str(), nullptr); // made by the service, owned by it
        std::string logError;
        const bool logging = log.OpenFile(logPath, logError);
        if (!options) {
            log.Line("the service's command line is wrong: " + error);
            return kExitBadCommandLine;
        }
        if (!logging)
            return kExitNoLog; // nowhere to say why: the exit code says it
        log.Line("starting as the service vornlan");
        const int code = RunVornlan(*options, log, *this);
        if (watchdog_.joinable()) {
            stopped_ = true;
            watchdog_.join();
        }
        return static_cast<DWORD>(code);
    }

    void Running() override
    {
        Report(SERVICE_RUNNING, 0);
    }

    void WaitForStop() override { WaitForSingleObject(stopRequested_.get(), INFINITE); }

    // Checkpoints while the connections drop and the module's thread finishes its message; past the
    // limit the process ends without it. TerminateProcess, not ExitProcess: ExitProcess would run the
    // libraries' detach code (the module library's among them) while the stuck thread may hold their
    // locks, and hang there.
    void Stopping() override
    {
        watchdog_ = std::thread([this] {
            const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
            while (!stopped_) {
                if (std::chrono::steady_clock::now() >= deadline) {
                    Stopped(ERROR_SERVICE_SPECIFIC_ERROR, ERROR_TIMEOUT);
                    TerminateProcess(GetCurrentProcess(), ERROR_TIMEOUT);
                }
                Report(SERVICE_STOP_PENDING, kStopHintMs);
                Sleep(1000);
            }
        });
    }

private:
    static DWORD WINAPI Control(DWORD control, DWORD, void*, void* context)
    {
        auto& self = *static_cast<Service*>(context);
        switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            self.Report(SERVICE_STOP_PENDING, kStopHintMs);
            SetEvent(self.stopRequested_.get());
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
        default: return ERROR_CALL_NOT_IMPLEMENTED;
        }
    }

    void Report(DWORD state, DWORD waitHint, DWORD exitCode = NO_ERROR, DWORD specificCode = 0)
    {
        std::lock_guard lock(mutex_);
        if (status_.dwCurrentState == SERVICE_STOPPED)
            return; // the last word was said
        status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status_.dwCurrentState = state;
        status_.dwControlsAccepted =
            state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        status_.dwWin32ExitCode = exitCode;
        status_.dwServiceSpecificExitCode = specificCode;
        const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
        status_.dwCheckPoint = pending ? ++checkPoint_ : 0;
        status_.dwWaitHint = pending ? waitHint : 0;
        SetServiceStatus(handle_, &status_);
    }

    void Stopped(DWORD exitCode, DWORD specificCode)
    {
        Report(SERVICE_STOPPED, 0, exitCode, exitCode == ERROR_SERVICE_SPECIFIC_ERROR ? specificCode : 0);
    }

    SERVICE_STATUS_HANDLE handle_ = nullptr;
    OwnedHandle stopRequested_;
    std::mutex mutex_;
    SERVICE_STATUS status_{};
    DWORD checkPoint_ = 0;
    std::thread watchdog_;
    std::atomic<bool> stopped_{false};
};

Service* g_service = nullptr;

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    g_service->Main();
}

} // namespace

std::wstring DefaultServiceLogPath()
{
    PWSTR programData = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData)))
        folder = programData;
    CoTaskMemFree(programData);
    if (folder.empty())
        folder = L"C:\\ProgramData";
    folder += L"\\Vornlink";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\vornlan.log";
}

int WaitForProgramToEnd(const std::wstring& program, DWORD timeoutMs)
{
    const auto running = [&program] {
        std::vector<DWORD> ids;
        const HANDLE found = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (found == INVALID_HANDLE_VALUE)
            return ids;
        const OwnedHandle snapshot(found);
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(found, &entry); more; more = Process32NextW(found, &entry)) {
            const OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
            if (!process)
                continue;
            wchar_t image[MAX_PATH * 2] = {};
            DWORD size = static_cast<DWORD>(std::size(image));
            if (QueryFullProcessImageNameW(process.get(), 0, image, &size) && lstrcmpiW(image, program.c_str()) == 0)
                ids.push_back(entry.th32ProcessID);
        }
        return ids;
    };
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const std::vector<DWORD> ids = running();
        if (ids.empty())
            return 0;
        if (GetTickCount64() >= deadline)
            return 1;
        for (const DWORD id : ids) {
            if (const OwnedHandle process{OpenProcess(SYNCHRONIZE, FALSE, id)})
                WaitForSingleObject(process.get(), 200);
        }
        Sleep(50);
    }
}

std::optional<int> RunAsService()
{
    Service service;
    g_service = &service;
    wchar_t name[] = L"vornlan";
    const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    // Returns once the service has stopped; fails at once in a process the manager didn't start.
    if (StartServiceCtrlDispatcherW(table))
        return 0;
    if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        return std::nullopt;
    return 1;
}
