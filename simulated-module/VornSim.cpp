// Entry points of the simulated Vorn.dll. Exported by plain name through a generated .def file
// (see CMakeLists.txt); the caller finds them with GetProcAddress.

#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "Faults.h"
#include "ProcessText.h"
#include "SimulatedModule.h"
#include "Traffic.h"

namespace {

struct Library {
    std::mutex lock; // the caller may use the library from more than one thread
    vornsim::SimulatedModule module;
    vornsim::Random random{0x5EED2024u};
};

Library library;

vornsim::Faults currentFaults()
{
    const std::wstring text = vornsim::environment(L"VORN_SIM_FAULT");
    // The switches are ASCII words; anything else simply matches none of them.
    std::string narrow;
    for (const wchar_t c : text)
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return vornsim::Faults::parse(narrow);
}

// VORN_SIM_IDN replaces the *IDN? reply (a demo's own name, or markup to test how callers show it), in
// the ANSI code page as a real module's bytes would come.
std::string identityOverride()
{
    const std::wstring text = vornsim::environment(L"VORN_SIM_IDN");
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), narrow.data(), size, nullptr,
                            nullptr);
    return narrow;
}

std::wstring ownFolder()
{
    static const int anchor = 0;
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&anchor), &self))
        return {};
    return vornsim::folderOf(vornsim::moduleFileName(self));
}

std::wstring logPath()
{
    std::wstring path = vornsim::environment(L"VORN_SIM_LOG");
    if (path.empty())
        path = ownFolder() + L"VornSim.log";
    return path;
}

// Opened per record and shared fully, so other processes can append and readers can read or
// delete the file between records. A record that cannot be written is dropped: the log must
// never change how the module behaves.
void recordLine(const std::string& line)
{
    const HANDLE file = CreateFileW(logPath().c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

void record(char direction, std::string_view bytes)
{
    recordLine(vornsim::trafficLine(direction, bytes));
}

} // namespace

extern "C" int WINAPI SendScpiCommand(const char* command)
{
    const vornsim::Faults faults = currentFaults();
    if (faults.slowMs != 0)
        Sleep(faults.slowMs);
    if (command == nullptr)
        return -1;

    // The caller frees the line when we return: only copies of it outlive this call.
    const std::string_view line(command);
    // Read before the record is written: the record's file calls leave the thread's last error as
    // callers have always seen it.
    const std::string identity = identityOverride();
    const std::lock_guard<std::mutex> guard(library.lock);
    record('>', line);
    library.module.execute(line, identity);
    return 0;
}

extern "C" int WINAPI GetQueryResponse(char* reply, int size, int* outValue)
{
    // What the caller handed over, before anything here writes: a caller that tells the wrong size
    // or leaves a stale outValue shows in the record.
    std::string request;
    vornsim::appendReplyRequest(request, size, outValue);
    request += '\n';

    const vornsim::Faults faults = currentFaults();
    if (faults.slowMs != 0)
        Sleep(faults.slowMs);

    const std::lock_guard<std::mutex> guard(library.lock);
    recordLine(request);
    std::string bytes;
    if (const auto pending = library.module.takeReply(); pending && reply != nullptr)
        bytes = vornsim::shapeReply(*pending, size, faults, library.random);
    // No terminator: the caller's buffer is zero-filled, so the unwritten bytes end the text.
    if (!bytes.empty())
        std::memcpy(reply, bytes.data(), bytes.size());
    if (outValue != nullptr)
        *outValue = static_cast<int>(bytes.size());
    record('<', bytes);
    return 0;
}
