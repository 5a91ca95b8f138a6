#include "Target.h"

#include "ModuleFile.h"
#include "SystemText.h"

#include <cwctype>

namespace vorntrace {
namespace {

constexpr wchar_t kLibraryName[] = L"Vorn.dll";
constexpr const char* kEntries[] = {"SendScpiCommand", "GetQueryResponse"};

std::wstring systemFolder(UINT(WINAPI* get)(LPWSTR, UINT))
{
    wchar_t folder[MAX_PATH];
    const UINT length = get(folder, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(folder, length);
}

// The folders the platform searches for a library by name, the program's and the current one
// left out: that is where the tracing library itself sits.
std::vector<std::wstring> searchFolders()
{
    std::vector<std::wstring> folders = {systemFolder(GetSystemDirectoryW), systemFolder(GetWindowsDirectoryW)};
    const std::wstring path = environment(L"PATH");
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(L';', start), path.size());
        std::wstring folder = path.substr(start, end - start);
        if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"')
            folder = folder.substr(1, folder.size() - 2);
        if (!folder.empty())
            folders.push_back(std::move(folder));
        start = end + 1;
    }
    return folders;
}

const char* verdictOn(const std::wstring& path)
{
    const ModuleFile file = readModuleFile(path);
    if (!file.found)
        return "not found";
    if (!file.ownMachine)
        return sizeof(void*) == 8 ? "not a 64-bit library" : "not a 32-bit library";
    if (file.exports.count(kTraceMarkerExport))
        return "a tracing library";
    for (const char* entry : kEntries)
        if (!file.exports.count(entry))
            return entry == kEntries[0] ? "lacks SendScpiCommand" : "lacks GetQueryResponse";
    return nullptr;
}

std::string fileVersion(const std::wstring& path)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::string block(size, '\0');
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || length < sizeof *info)
        return "none";
    char text[48];
    snprintf(text, sizeof text, "%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
             HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
    return text;
}

std::string systemError(const char* what, DWORD error)
{
    char text[128];
    snprintf(text, sizeof text, "%s (error %lu)", what, error);
    return text;
}

constexpr unsigned long long kLargestTarget = 256ull << 20; // a module library is a few MiB

// The whole file through `file`, from its start. False with the system's error.
bool readAll(HANDLE file, std::string& bytes, DWORD& error)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        error = GetLastError();
        return false;
    }
    if (static_cast<unsigned long long>(size.QuadPart) > kLargestTarget) {
        error = ERROR_FILE_TOO_LARGE;
        return false;
    }
    bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    LARGE_INTEGER start{};
    std::size_t done = 0;
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        error = GetLastError();
        return false;
    }
    while (done < bytes.size()) {
        DWORD got = 0;
        if (!ReadFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got, nullptr)) {
            error = GetLastError();
            return false;
        }
        if (got == 0) { // shorter than its size said: changed while read
            error = ERROR_HANDLE_EOF;
            return false;
        }
        done += got;
    }
    return true;
}

std::wstring contentName(const std::string& bytes)
{
    unsigned long long hash = 14695981039346656037ull; // FNV-1a
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    wchar_t name[48];
    swprintf(name, 48, L"VornTarget-%016llX", hash);
    return name;
}

// Opens `copy` without write or delete sharing and keeps it open when it holds exactly `content`.
bool pinIfSame(const std::wstring& copy, const std::string& content, UniqueHandle& pin)
{
    UniqueHandle file(CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string held;
    DWORD error = 0;
    if (!file.valid() || !readAll(file.get(), held, error) || held != content)
        return false;
    pin = std::move(file);
    return true;
}

// Written whole under a name of this process, then renamed: nobody loads a half-written copy.
bool writeCopy(const std::wstring& copy, const std::string& content, DWORD& error)
{
    const std::wstring partial = copy + L"." + std::to_wstring(GetCurrentProcessId()) + L".part";
    {
        const UniqueHandle file(
            CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            error = GetLastError();
            return false;
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
            written != content.size()) {
            error = written != content.size() && GetLastError() == 0 ? ERROR_WRITE_FAULT : GetLastError();
            DeleteFileW(partial.c_str());
            return false;
        }
    }
    if (!MoveFileExW(partial.c_str(), copy.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = GetLastError();
        DeleteFileW(partial.c_str());
        return false;
    }
    return true;
}

std::wstring temporaryFolder()
{
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    return length == 0 || length > MAX_PATH ? std::wstring() : std::wstring(temp, length);
}

// AddDllDirectory is missing from Windows 7 without its loader update: bound at run time, so the
// trace still loads there (and then leaves the target's folder out of the second try).
struct DirectoryEntries {
    DLL_DIRECTORY_COOKIE(WINAPI* add)(PCWSTR) = nullptr;
    BOOL(WINAPI* remove)(DLL_DIRECTORY_COOKIE) = nullptr;
};

DirectoryEntries directoryEntries()
{
    DirectoryEntries entries;
    if (const HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
        entries.add = reinterpret_cast<decltype(entries.add)>(
            reinterpret_cast<void (*)()>(GetProcAddress(kernel, "AddDllDirectory")));
        entries.remove = reinterpret_cast<decltype(entries.remove)>(
            reinterpret_cast<void (*)()>(GetProcAddress(kernel, "RemoveDllDirectory")));
    }
    if (!entries.add || !entries.remove)
        entries = {};
    return entries;
}

// The copy with the target's own folder lent to the search, for a target named by
// VORN_TRACE_TARGET in a folder no search reaches. Null (error unchanged) without AddDllDirectory.
HMODULE loadLendingFolder(const std::wstring& copy, const std::wstring& folder, DWORD& error)
{
    const DirectoryEntries entries = directoryEntries();
    const DLL_DIRECTORY_COOKIE lent = entries.add && !folder.empty() ? entries.add(folder.c_str()) : nullptr;
    if (!lent)
        return nullptr;
    const HMODULE module = LoadLibraryExW(copy.c_str(), nullptr,
                                          LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_USER_DIRS);
    if (!module)
        error = GetLastError();
    entries.remove(lent);
    return module;
}

template <class Entry>
Entry entry(HMODULE module, const char* name)
{
    return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace

std::string TargetChoice::describe() const
{
    std::string text;
    for (const Candidate& candidate : tried) {
        if (!text.empty())
            text += ", ";
        text += quotedPath(candidate.path) + " (" + (candidate.verdict ? candidate.verdict : "chosen") + ")";
    }
    return text.empty() ? "nothing" : text;
}

TargetChoice chooseTarget()
{
    TargetChoice choice;
    const std::wstring named = environment(L"VORN_TRACE_TARGET");
    std::vector<std::wstring> paths;
    if (!named.empty())
        paths.push_back(named);
    else
        for (std::wstring& folder : searchFolders())
            paths.push_back(folder + (folder.back() == L'\\' || folder.back() == L'/' ? L"" : L"\\") + kLibraryName);
    for (std::wstring& path : paths) {
        const char* verdict = verdictOn(path);
        choice.tried.push_back({path, verdict});
        if (!verdict) {
            choice.path = std::move(path);
            break;
        }
    }
    return choice;
}

bool prepareTarget(const std::wstring& path, PreparedTarget& prepared, std::string& why)
{
    std::string content;
    DWORD error = 0;
    {
        const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid() || !readAll(file.get(), content, error)) {
            why = systemError("cannot read the target", file.valid() ? error : GetLastError());
            return false;
        }
    }
    const std::wstring temp = temporaryFolder();
    const std::wstring folder = temp + L"VornTrace\\";
    if (temp.empty() || (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)) {
        why = systemError("cannot make the folder for the private copy", GetLastError());
        return false;
    }
    // Named by its content: another build of the target, whatever its size and time, gets a copy of
    // its own. A file of that name that holds anything else (damaged, half-written by a process that
    // died, planted) is replaced; if it can't be, this process takes a name of its own.
    const std::wstring name = folder + contentName(content);
    for (const std::wstring& copy : {name + L".dll", name + L"-" + std::to_wstring(GetCurrentProcessId()) + L".dll"}) {
        if (!pinIfSame(copy, content, prepared.pin)) {
            // A failed write may be another process renaming the same content into place: the
            // check that follows decides, and `error` says why if nothing usable results.
            writeCopy(copy, content, error);
            if (!pinIfSame(copy, content, prepared.pin))
                continue;
        }
        prepared.path = path;
        prepared.copy = copy;
        return true;
    }
    why = systemError("cannot make a private copy of the target", error ? error : ERROR_FILE_INVALID);
    return false;
}

std::unique_ptr<Target> loadTarget(PreparedTarget& prepared, std::string& why)
{
    // Flags 0: the libraries the target needs are searched as for the target itself when it is
    // found by name (the program's folder, the system folders, the current folder, PATH).
    HMODULE module = LoadLibraryExW(prepared.copy.c_str(), nullptr, 0);
    DWORD error = module ? 0 : GetLastError();
    if (!module && error == ERROR_MOD_NOT_FOUND)
        module = loadLendingFolder(prepared.copy, folderOf(prepared.path), error);
    if (!module) {
        why = systemError("cannot load the private copy", error);
        return nullptr;
    }
    auto target = std::make_unique<Target>();
    target->send = entry<SendScpiCommandEntry>(module, "SendScpiCommand");
    target->read = entry<GetQueryResponseEntry>(module, "GetQueryResponse");
    if (!target->send || !target->read) {
        FreeLibrary(module);
        why = "the loaded target lacks an entry";
        return nullptr;
    }
    target->path = prepared.path;
    target->loadedAs = prepared.copy;
    target->version = fileVersion(prepared.copy); // of what runs
    target->pin = std::move(prepared.pin);
    return target;
}

} // namespace vorntrace
