// A client process for the trace tests: the server's binding of Vorn.dll is made once per process
// and never undone, so each traced or untraced run needs a process of its own.
//
//     trace_module_tests.exe --client <folder under bin> <output file> <step>...
//
// Steps: IDN, ERR, FINT?, IAV?, CONFIG, METH, CLEAN (server methods), bind-send and bind-read
// (LoadLibrary("Vorn.dll") and call one entry, as the server binds it; the last-error value is set
// to kLastErrorBeforeCall right before the call), send:TEXT (bind-send with that command),
// load (LoadLibrary("Vorn.dll") only, kept loaded; no output line), env:NAME=VALUE (VALUE empty:
// unset), and for tests that act while a client runs:
// signal:PATH (creates the file), await-gone:PATH (waits up to a minute until the file is gone).
// One output line per call step: "<step> hr=<hex> result=<n> [lastError=<n> ]module=<trace|other|->
// reply=<text>" (lastError: GetLastError() right after a bind step's call), then
// "modules named Vorn.dll: <n>".
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace tracetest {

// What a bind step's call finds as the last-error value (an application-defined code).
inline constexpr DWORD kLastErrorBeforeCall = 0x20000A55;

int RunClient(int argc, wchar_t** argv);

struct ClientOptions {
    std::wstring folder;                  // under bin, the client's current folder
    std::vector<std::wstring> steps;
    bool collectDebugOutput = false;      // runs the client under this process as its debugger
};

struct ClientRun {
    DWORD processId = 0;
    DWORD exitCode = ~0u;
    std::vector<std::string> lines;       // the client's output, one per step, then the module count
    std::vector<std::string> debugOutput; // OutputDebugString texts, when collected
};

// Starts a client; Wait() collects it. The environment is this process's.
class Client {
public:
    explicit Client(const ClientOptions& options);
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client();
    ClientRun Wait();

private:
    ClientOptions options_;
    std::wstring output_;
    PROCESS_INFORMATION process_{};
};


} // namespace tracetest
