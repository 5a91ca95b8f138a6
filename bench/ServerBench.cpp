// What a command costs on its way through the server, against a module library whose entries do
// nothing; the private bytes a long mixed run leaves behind; and the wall time of a whole fullcal
// run against a program that only starts and ends. Prints figures; asserts nothing.
#include "ResourceOwners.h"
#include "VornDriver.h"
#include "support/Arguments.h"

#include <windows.h>
#include <psapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <utility>

using Microsoft::WRL::ComPtr;
using vorn::UniqueBstr;
using vorn::test::ByRef;

namespace {

std::wstring g_bin;

template <class Function>
Function Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

double Now()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / frequency;
}

// The best of several rounds: the machine's noise only ever adds time.
template <class Call>
double NanosecondsPerCall(Call&& call, int calls = 200000, int rounds = 5)
{
    double best = 1e30;
    for (int round = 0; round < rounds; ++round) {
        const double start = Now();
        for (int i = 0; i < calls; ++i)
            call();
        best = std::min(best, (Now() - start) / calls * 1e9);
    }
    return best;
}

// The best of several rounds of each of two calls, taken in turns, so that drift in the machine
// hits both alike; more rounds than elsewhere, as a ratio of two figures carries the noise of both.
template <class First, class Second>
std::pair<double, double> NanosecondsPerCallInTurns(First&& first, Second&& second, int calls, int rounds = 5)
{
    std::pair<double, double> best{1e30, 1e30};
    for (int round = 0; round < rounds; ++round) {
        best.first = std::min(best.first, NanosecondsPerCall(first, calls, 1));
        best.second = std::min(best.second, NanosecondsPerCall(second, calls, 1));
    }
    return best;
}

// The last two lines of a file: a traced call's two records.
std::string LastTwoLines(const std::wstring& path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    CloseHandle(file);
    if (text.size() < 2 || text.back() != '\n')
        return {};
    const std::size_t last = text.rfind('\n', text.size() - 2);
    const std::size_t previous = last == std::string::npos || last == 0 ? std::string::npos : text.rfind('\n', last - 1);
    return text.substr(previous == std::string::npos ? 0 : previous + 1);
}

SIZE_T CommitCharge()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage; // PrivateUsage reads 0 under Wine
}

double MillisecondsPerRun(const std::wstring& program, int runs = 10)
{
    double total = 0;
    for (int run = 0; run < runs; ++run) {
        std::wstring commandLine = L"\"" + program + L"\"";
        // Output goes nowhere, as it costs both programs alike.
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const HANDLE nowhere =
            CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nowhere;
        startup.hStdOutput = nowhere;
        startup.hStdError = nowhere;
        PROCESS_INFORMATION process{};
        const std::wstring folder = g_bin + L"\\null-module";
        const double start = Now();
        const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                            folder.c_str(), &startup, &process);
        CloseHandle(nowhere);
        if (!started)
            return -1;
        WaitForSingleObject(process.hProcess, INFINITE);
        total += Now() - start;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return total / runs * 1e3;
}

std::wstring ProcessorName()
{
    wchar_t name[256] = L"unknown";
    DWORD size = sizeof name;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", L"ProcessorNameString",
                 RRF_RT_REG_SZ, nullptr, name, &size);
    return name;
}

} // namespace

int main()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    g_bin = path;
    g_bin.resize(g_bin.find_last_of(L'\\'));
    // The module library found first is the one in the current folder: entries that do nothing.
    SetCurrentDirectoryW((g_bin + L"\\null-module").c_str());
    CoInitialize(nullptr);

    const HMODULE server = LoadLibraryW((g_bin + L"\\Vornlink.dll").c_str());
    const HMODULE module = LoadLibraryW((g_bin + L"\\null-module\\Vorn.dll").c_str());
    if (!server || !module) {
        std::fprintf(stderr, "Vornlink.dll or null-module\\Vorn.dll not found beside the bench\n");
        return 1;
    }
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    ComPtr<IClassFactory> factory;
    ComPtr<_clsVornlink> object;
    ComPtr<IDispatch> dispatch;
    ComPtr<ITypeInfo> typeInfo;
    Export<GetClassObject>(server, "DllGetClassObject")(CLSID_clsVornlink, IID_IClassFactory, &factory);
    factory->CreateInstance(nullptr, IID__clsVornlink, &object);
    object.As(&dispatch);
    dispatch->GetTypeInfo(0, 0, &typeInfo);

    std::printf("Machine: %ls, %lu processors\n", ProcessorName().c_str(), [] {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwNumberOfProcessors;
    }());

    // The floor: the library entry called directly with a finished command buffer.
    using Send = LONG(WINAPI*)(const unsigned char*);
    const auto send = Export<Send>(module, "SendScpiCommand");
    const unsigned char command[] = "VORN:CONFIG 1,7,16,1";
    const double floor = NanosecondsPerCall([&] { send(command); });

    // The same entries through the tracing library, forwarding to the do-nothing module and
    // recording every call into a file of its own: what tracing adds to a call. Its own floor is
    // what it can't do without, the two appends of a call's records: the same bytes (a call's
    // records as the trace wrote them) appended by two WriteFile calls to a file beside the trace,
    // opened as the trace opens its own, without lock, checks or formatting.
    const std::wstring traceLog = g_bin + L"\\bench-trace.log";
    const std::wstring appendLog = g_bin + L"\\bench-appends.log";
    SetEnvironmentVariableW(L"VORN_TRACE_TARGET", (g_bin + L"\\null-module\\Vorn.dll").c_str());
    SetEnvironmentVariableW(L"VORN_TRACE_LOG", traceLog.c_str());
    const HMODULE traced = LoadLibraryW((g_bin + L"\\trace\\Vorn.dll").c_str());
    const HANDLE appends =
        CreateFileW(appendLog.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    using Read = LONG(WINAPI*)(unsigned char*, LONG, LONG*);
    struct Traced {
        double untraced = -1, traced = -1, appends = -1;
        double adds() const { return traced - untraced; }
    } sendCost, readCost;
    if (traced && appends != INVALID_HANDLE_VALUE) {
        const auto read = Export<Read>(module, "GetQueryResponse");
        const auto tracedSendEntry = Export<Send>(traced, "SendScpiCommand");
        const auto tracedReadEntry = Export<Read>(traced, "GetQueryResponse");
        unsigned char buffer[258] = {};
        LONG count = 0;
        // Two appends of the records a call of `entry` leaves, against the traced call itself.
        const auto measure = [&](Traced& cost, auto&& entry) {
            entry();
            const std::string records = LastTwoLines(traceLog);
            const std::size_t split = records.find('\n') + 1;
            if (split == 0)
                return;
            const auto append = [&](std::size_t from, std::size_t length) {
                DWORD written = 0;
                WriteFile(appends, records.data() + from, static_cast<DWORD>(length), &written, nullptr);
            };
            std::tie(cost.appends, cost.traced) = NanosecondsPerCallInTurns(
                [&] {
                    append(0, split);
                    append(split, records.size() - split);
                },
                entry, 20000, 15);
        };
        sendCost.untraced = floor;
        measure(sendCost, [&] { tracedSendEntry(command); });
        readCost.untraced = NanosecondsPerCall([&] { read(buffer, 256, &count); }, 20000);
        measure(readCost, [&] { tracedReadEntry(buffer, 256, &count); });
        DeleteFileW(traceLog.c_str());
        DeleteFileW((traceLog + L".1").c_str());
    }
    if (appends != INVALID_HANDLE_VALUE) {
        CloseHandle(appends);
        DeleteFileW(appendLog.c_str());
    }

    short type = 1, number = 7, address = 16, port = 1;
    LONG result = 0;
    VARIANT configArguments[] = {ByRef(&port), ByRef(&address), ByRef(&number), ByRef(&type)};
    DISPPARAMS config{configArguments, nullptr, 4, 0};
    BSTR method = SysAllocString(L"FULL");
    VARIANT methodArgument = ByRef(&method);
    DISPPARAMS methodParams{&methodArgument, nullptr, 1, 0};
    BSTR reply = nullptr;
    VARIANT replyArgument = ByRef(&reply);
    DISPPARAMS replyParams{&replyArgument, nullptr, 1, 0};
    VARIANT out;
    VariantInit(&out);

    struct Row {
        const char* name;
        DISPID id;
        DISPPARAMS* params;
        double early;
    };
    Row rows[] = {
        {"CONFIG", 0x60030001, &config,
         NanosecondsPerCall([&] { object->CONFIG(&type, &number, &address, &port, &result); })},
        {"SENS_CORR_COLL_METH", 0x60030008, &methodParams,
         NanosecondsPerCall([&] { object->SENS_CORR_COLL_METH(&method, &result); })},
        {"SYST_ERR", 0x60030011, &replyParams, NanosecondsPerCall([&] { object->SYST_ERR(&reply, &result); })},
    };
    std::printf("\nns per call, module entries doing nothing (best of 5 rounds of 200000 calls)\n");
    std::printf("  direct SendScpiCommand call (floor): %.0f\n", floor);
    if (sendCost.traced < 0 || readCost.traced < 0) {
        std::printf("  traced: trace\\Vorn.dll could not be loaded, or its file not read\n\n");
    } else {
        std::printf("  traced, two records per call into a file (best of 15 rounds of 20000 calls, in turns with\n"
                    "  its floor: the two appends of the same records, without lock, checks or formatting):\n");
        std::printf("  traced SendScpiCommand: %.0f, adds %.0f, %.2fx its floor (%.0f)\n", sendCost.traced,
                    sendCost.adds(), sendCost.adds() / sendCost.appends, sendCost.appends);
        std::printf("  GetQueryResponse: %.0f, traced %.0f, adds %.0f, %.2fx its floor (%.0f)\n\n", readCost.untraced,
                    readCost.traced, readCost.adds(), readCost.adds() / readCost.appends, readCost.appends);
    }
    std::printf("  %-20s %10s %10s %10s %12s\n", "method", "vtable", "Invoke", "stock", "Invoke/stock");
    for (Row& row : rows) {
        const double late = NanosecondsPerCall(
            [&] { dispatch->Invoke(row.id, IID_NULL, 0, DISPATCH_METHOD, row.params, &out, nullptr, nullptr); });
        const double stock = NanosecondsPerCall(
            [&] { typeInfo->Invoke(object.Get(), row.id, DISPATCH_METHOD, row.params, &out, nullptr, nullptr); });
        std::printf("  %-20s %10.0f %10.0f %10.0f %11.2fx\n", row.name, row.early, late, stock, late / stock);
    }

    // A long mixed run, queries included, then what it left behind.
    const SIZE_T before = CommitCharge();
    for (int i = 0; i < 1000000; ++i) {
        switch (i % 4) {
        case 0: object->CONFIG(&type, &number, &address, &port, &result); break;
        case 1:
            dispatch->Invoke(0x60030008, IID_NULL, 0, DISPATCH_METHOD, &methodParams, &out, nullptr, nullptr);
            break;
        case 2: dispatch->Invoke(0x60030011, IID_NULL, 0, DISPATCH_METHOD, &replyParams, &out, nullptr, nullptr); break;
        default: object->VORN_CLEAN(&result); break;
        }
    }
    const SIZE_T after = CommitCharge();
    std::printf("\nCommit charge around 10^6 mixed calls: %zu KiB before, %zu KiB after (%+lld KiB)\n", before / 1024,
                after / 1024, (static_cast<long long>(after) - static_cast<long long>(before)) / 1024);
    SysFreeString(method);
    SysFreeString(reply);

    // Whole runs, each program started the same way, in the folder of the do-nothing module.
    using Register = HRESULT(STDAPICALLTYPE*)();
    Export<Register>(server, "DllRegisterServer")();
    double trivial = 0, platform = 0, fullcal = 0;
    for (int repeat = 0; repeat < 3; ++repeat) { // interleaved, so drift in the machine hits all three
        trivial += MillisecondsPerRun(g_bin + L"\\trivial_program.exe") / 3;
        platform += MillisecondsPerRun(g_bin + L"\\com_client_floor.exe") / 3;
        fullcal += MillisecondsPerRun(g_bin + L"\\fullcal.exe") / 3;
    }
    std::printf("\nWall time per run (mean of 30)\n");
    std::printf("  trivial program                       %6.1f ms  1.00x\n", trivial);
    std::printf("  COM and OLE started, server created   %6.1f ms  %.2fx\n", platform, platform / trivial);
    std::printf("  fullcal, a whole calibration          %6.1f ms  %.2fx (%.2fx the COM client)\n", fullcal,
                fullcal / trivial, fullcal / platform);
    object.Reset();
    dispatch.Reset();
    typeInfo.Reset();
    return 0;
}
