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
    if (!file.library32)
        return "not a 32-bit library";
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

// Where the private copy of `path` goes: the user's temporary folder, a name derived from the
// path, size and time of the file, so a changed file gets a copy of its own.
std::wstring privateCopyName(const std::wstring& path, const WIN32_FILE_ATTRIBUTE_DATA& file)
{
    unsigned long long hash = 14695981039346656037ull; // FNV-1a
    const auto mix = [&hash](unsigned long long value) {
        hash ^= value;
        hash *= 1099511628211ull;
    };
    for (const wchar_t c : path)
        mix(std::towupper(c));
    mix(file.nFileSizeHigh);
    mix(file.nFileSizeLow);
    mix(file.ftLastWriteTime.dwHighDateTime);
    mix(file.ftLastWriteTime.dwLowDateTime);
    wchar_t name[48];
    swprintf(name, 48, L"VornTarget-%016llX.dll", hash);
    return name;
}

std::string systemError(const char* what, DWORD error)
{
    char text[96];
    snprintf(text, sizeof text, "%s (error %lu)", what, error);
    return text;
}

// Copied under a temporary name and renamed, so another process never loads a half-written copy.
bool makePrivateCopy(const std::wstring& path, std::wstring& copy, std::string& why)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes) || length == 0 || length > MAX_PATH) {
        why = systemError("cannot read the target's attributes or the temporary folder", GetLastError());
        return false;
    }
    const std::wstring folder = std::wstring(temp, length) + L"VornTrace\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    copy = folder + privateCopyName(path, attributes);
    if (GetFileAttributesW(copy.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    const std::wstring partial = copy + L"." + std::to_wstring(GetCurrentProcessId()) + L".part";
    if (!CopyFileW(path.c_str(), partial.c_str(), FALSE)) {
        why = systemError("cannot copy the target into the temporary folder", GetLastError());
        return false;
    }
    if (!MoveFileExW(partial.c_str(), copy.c_str(), 0)) {
        const DWORD error = GetLastError();
        DeleteFileW(partial.c_str());
        if (GetFileAttributesW(copy.c_str()) == INVALID_FILE_ATTRIBUTES) { // not merely another process first
            why = systemError("cannot name the private copy", error);
            return false;
        }
    }
    return true;
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

std::unique_ptr<Target> loadTarget(const std::wstring& path, std::string& why)
{
    auto target = std::make_unique<Target>();
    target->path = path;
    if (!makePrivateCopy(path, target->loadedAs, why))
        return nullptr;
    // The copy's own folder holds none of the libraries the target may need beside it: lend it the
    // target's folder for this load.
    const std::wstring folder = folderOf(path);
    const DLL_DIRECTORY_COOKIE lent = folder.empty() ? nullptr : AddDllDirectory(folder.c_str());
    const HMODULE module =
        lent ? LoadLibraryExW(target->loadedAs.c_str(), nullptr,
                              LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                  LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)
             : LoadLibraryExW(target->loadedAs.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = GetLastError();
    if (lent)
        RemoveDllDirectory(lent);
    if (!module) {
        why = systemError("cannot load the private copy", error);
        return nullptr;
    }
    target->send = entry<SendScpiCommandEntry>(module, "SendScpiCommand");
    target->read = entry<GetQueryResponseEntry>(module, "GetQueryResponse");
    if (!target->send || !target->read) {
        FreeLibrary(module);
        why = "the loaded target lacks an entry";
        return nullptr;
    }
    target->version = fileVersion(path);
    return target;
}

} // namespace vorntrace
