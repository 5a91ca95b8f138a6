#include "TraceClient.h"

#include "server/ServerUnderTest.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

#include <psapi.h>

namespace tracetest {
namespace {

using vorn::UniqueBstr;
using vorn::test::BinFolder;
using vorn::test::Text;

std::string Escaped(std::wstring_view text)
{
    std::string out;
    char hex[8];
    for (const wchar_t c : text) {
        if (c >= 0x20 && c <= 0x7E && c != L'\\') {
            out += static_cast<char>(c);
        } else {
            snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
            out += hex;
        }
    }
    return out;
}

struct Outcome {
    HRESULT hr = S_OK;
    LONG result = 0;
    UniqueBstr reply;
    HMODULE module = nullptr; // what LoadLibrary("Vorn.dll") returned, for the bind steps
    DWORD lastError = 0;      // right after a bind step's call
};

using Step = std::function<void(_clsVornlink*, Outcome&)>;

template <class Method>
Step WithText(const wchar_t* text, Method method)
{
    return [text, method](_clsVornlink* s, Outcome& o) {
        BSTR argument = Text(text).release();
        o.hr = method(s, &argument, o);
        SysFreeString(argument);
    };
}

const std::map<std::wstring, Step>& ServerSteps()
{
    static const std::map<std::wstring, Step> steps = {
        {L"IDN", [](_clsVornlink* s, Outcome& o) { o.hr = s->CMD_IDN(o.reply.put(), &o.result); }},
        {L"ERR", [](_clsVornlink* s, Outcome& o) { o.hr = s->SYST_ERR(o.reply.put(), &o.result); }},
        {L"FINT?", WithText(L"?", [](_clsVornlink* s, BSTR* a, Outcome& o) {
             return s->VORN_FINT(a, o.reply.put(), &o.result);
         })},
        {L"IAV?", WithText(L"?", [](_clsVornlink* s, BSTR* a, Outcome& o) {
             return s->VORN_IAV(a, o.reply.put(), &o.result);
         })},
        {L"METH", WithText(L"FULL", [](_clsVornlink* s, BSTR* a, Outcome& o) {
             return s->SENS_CORR_COLL_METH(a, &o.result);
         })},
        {L"CONFIG",
         [](_clsVornlink* s, Outcome& o) {
             short type = 1, number = 7, address = 16, port = 1;
             o.hr = s->CONFIG(&type, &number, &address, &port, &o.result);
         }},
        {L"CLEAN", [](_clsVornlink* s, Outcome& o) { o.hr = s->VORN_CLEAN(&o.result); }},
    };
    return steps;
}

void WriteWholeFile(const std::wstring& path, const std::string& bytes)
{
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

template <class Entry>
Entry BindByName(const char* name, HMODULE& module)
{
    module = LoadLibraryA("Vorn.dll"); // as the server binds: by name, one load per entry
    return module ? reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(module, name))) : nullptr;
}

void BindAndCall(const std::wstring& step, Outcome& o)
{
    if (step == L"bind-send" || step.rfind(L"send:", 0) == 0) {
        const std::string command = step == L"bind-send" ? "*IDN?" : vorn::test::Narrow(step.substr(5));
        const auto send = BindByName<int(WINAPI*)(const char*)>("SendScpiCommand", o.module);
        SetLastError(kLastErrorBeforeCall);
        o.result = send ? send(command.c_str()) : -99;
        o.lastError = GetLastError();
    } else {
        const auto read = BindByName<int(WINAPI*)(char*, int, int*)>("GetQueryResponse", o.module);
        char buffer[258] = {};
        int count = 0;
        SetLastError(kLastErrorBeforeCall);
        o.result = read ? read(buffer, 256, &count) : -99;
        o.lastError = GetLastError();
        o.reply = Text(std::wstring(buffer, buffer + count));
    }
}

// signal: and await-gone: steps. False when the wait runs out.
bool Coordinate(const std::wstring& step)
{
    const std::wstring path = step.substr(step.find(L':') + 1);
    if (step.rfind(L"signal:", 0) == 0) {
        WriteWholeFile(path, "");
        return true;
    }
    for (int waited = 0; waited < 60000; waited += 10) {
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(10);
    }
    return false;
}


// A second module of that name is one the server's next bare-name load may return instead of the trace.
int ModulesNamedVorn()
{
    HMODULE modules[512];
    DWORD bytes = 0;
    if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &bytes))
        return -1;
    int count = 0;
    for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 512; ++i) {
        wchar_t name[MAX_PATH] = {};
        GetModuleBaseNameW(GetCurrentProcess(), modules[i], name, MAX_PATH);
        count += _wcsicmp(name, L"Vorn.dll") == 0;
    }
    return count;
}

} // namespace

int RunClient(int argc, wchar_t** argv)
{
    if (argc < 4 || CoInitialize(nullptr) != S_OK)
        return 2;
    SetCurrentDirectoryW((BinFolder() + L"\\" + argv[2]).c_str());
    // Lines are composed at the end: asking the loader about a module between the steps would change
    // what the next bare-name load returns under Wine (it caches the module it was last asked about).
    std::vector<std::pair<std::wstring, Outcome>> outcomes;
    Microsoft::WRL::ComPtr<_clsVornlink> server;
    for (int i = 4; i < argc; ++i) {
        const std::wstring step = argv[i];
        if (step.rfind(L"env:", 0) == 0) {
            const std::size_t equals = step.find(L'=');
            const std::wstring value = step.substr(equals + 1);
            SetEnvironmentVariableW(step.substr(4, equals - 4).c_str(), value.empty() ? nullptr : value.c_str());
            continue;
        }
        if (step == L"load") {
            if (!LoadLibraryA("Vorn.dll")) // kept: the process's later bare-name loads return it
                return 5;
            continue;
        }
        if (step.rfind(L"signal:", 0) == 0 || step.rfind(L"await-gone:", 0) == 0) {
            if (!Coordinate(step))
                return 4;
            continue;
        }
        Outcome o;
        if (step.rfind(L"bind-", 0) == 0 || step.rfind(L"send:", 0) == 0) {
            BindAndCall(step, o);
        } else {
            const auto found = ServerSteps().find(step);
            if (found == ServerSteps().end())
                return 3;
            if (!server)
                server = vorn::test::NewServerObject();
            found->second(server.Get(), o);
        }
        outcomes.emplace_back(step, std::move(o));
    }
    std::string out;
    for (const auto& [step, o] : outcomes) {
        char head[128];
        char lastError[32] = "";
        if (o.module)
            snprintf(lastError, sizeof lastError, " lastError=%lu", o.lastError);
        snprintf(head, sizeof head, " hr=%08lX result=%ld%s module=%s reply=", static_cast<unsigned long>(o.hr),
                 static_cast<long>(o.result), lastError,
                 !o.module ? "-" : GetProcAddress(o.module, "VornTraceLibrary") ? "trace" : "other");
        out += std::string(step.begin(), step.end()) + head + Escaped(o.reply.view()) + '\n';
    }
    out += "modules named Vorn.dll: " + std::to_string(ModulesNamedVorn()) + '\n';
    WriteWholeFile(argv[3], out);
    server.Reset();
    CoUninitialize();
    return 0;
}

Client::Client(const ClientOptions& options) : options_(options)
{
    wchar_t temp[MAX_PATH];
    GetTempFileNameW(BinFolder().c_str(), L"trc", 0, temp);
    output_ = temp;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --client " + options.folder + L" \"" + output_ + L"\"";
    for (const std::wstring& step : options.steps)
        commandLine += L" \"" + step + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE,
                        options.collectDebugOutput ? DEBUG_ONLY_THIS_PROCESS : 0, nullptr, nullptr, &startup,
                        &process_))
        process_ = {};
}

Client::~Client()
{
    if (process_.hProcess) {
        WaitForSingleObject(process_.hProcess, 60000);
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    DeleteFileW(output_.c_str());
}

ClientRun Client::Wait()
{
    ClientRun run;
    if (!process_.hProcess)
        return run;
    run.processId = process_.dwProcessId;
    if (options_.collectDebugOutput) {
        // A minimal debugger: collect the debug strings, let everything else run on.
        for (;;) {
            DEBUG_EVENT event{};
            if (!WaitForDebugEvent(&event, 60000))
                break;
            DWORD status = DBG_CONTINUE;
            if (event.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT) {
                const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
                std::string text(info.nDebugStringLength * (info.fUnicode ? 2 : 1), '\0');
                SIZE_T read = 0;
                ReadProcessMemory(process_.hProcess, info.lpDebugStringData, text.data(), text.size(), &read);
                if (info.fUnicode) {
                    std::string narrow;
                    for (std::size_t i = 0; i + 1 < read; i += 2)
                        narrow += text[i + 1] == 0 ? text[i] : '?';
                    text = narrow;
                }
                run.debugOutput.push_back(text.substr(0, text.find('\0')));
            } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
                       event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                status = DBG_EXCEPTION_NOT_HANDLED;
            } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile) {
                CloseHandle(event.u.LoadDll.hFile);
            } else if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && event.u.CreateProcessInfo.hFile) {
                CloseHandle(event.u.CreateProcessInfo.hFile);
            }
            const bool exited = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
            if (exited)
                break;
        }
    }
    WaitForSingleObject(process_.hProcess, 60000);
    GetExitCodeProcess(process_.hProcess, &run.exitCode);
    const std::string text = vorn::test::ReadFileBytes(output_);
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        run.lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return run;
}

} // namespace tracetest
