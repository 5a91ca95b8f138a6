#include "TraceFile.h"

#include "SystemText.h"

#include <cwctype>

namespace vorntrace {
namespace {

constexpr unsigned long long defaultLimitKb = 16 * 1024;
constexpr DWORD fileLockWaitMs = 200; // held for one write or a rename; never wait long for another's

UniqueHandle openForAppending(const std::wstring& path)
{
    return UniqueHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

unsigned long long sizeOf(HANDLE file)
{
    LARGE_INTEGER size{};
    return GetFileSizeEx(file, &size) ? static_cast<unsigned long long>(size.QuadPart) : 0;
}

// The same lock for every process tracing into the same file, however its path is spelled in case.
std::wstring fileLockName(const std::wstring& path)
{
    unsigned long long hash = 14695981039346656037ull; // FNV-1a
    for (const wchar_t c : path) {
        hash ^= static_cast<unsigned long long>(std::towupper(c));
        hash *= 1099511628211ull;
    }
    wchar_t name[64];
    swprintf(name, 64, L"Local\\VornTrace.%016llX", hash);
    return name;
}

unsigned long long limitBytes()
{
    const std::wstring text = environment(L"VORN_TRACE_MAX_KB");
    wchar_t* end = nullptr;
    const unsigned long long kb = text.empty() ? 0 : std::wcstoull(text.c_str(), &end, 10);
    return (kb == 0 || *end != L'\0' ? defaultLimitKb : kb) * 1024;
}

} // namespace

bool TraceFile::open()
{
    path_ = environment(L"VORN_TRACE_LOG");
    if (path_.empty())
        path_ = defaultFolder_ + L"VornTrace.log";
    limit_ = limitBytes();
    file_ = openForAppending(path_);
    if (!file_.valid()) {
        stop(L"cannot open", GetLastError());
        return false;
    }
    fileLock_.open(fileLockName(path_));
    return true;
}

void TraceFile::write(std::string_view records)
{
    if (stopped())
        return;
    const ExclusiveLock inProcess(lock_);
    if (!file_.valid() && (stopped() || !open()))
        return;
    bool whole = false;
    DWORD error = 0;
    {
        const CrossProcessHold hold(fileLock_, fileLockWaitMs);
        rotateBefore(records.size());
        DWORD written = 0;
        whole = file_.valid() &&
                WriteFile(file_.get(), records.data(), static_cast<DWORD>(records.size()), &written, nullptr) &&
                written == records.size();
        error = GetLastError();
    }
    if (!whole)
        stop(L"cannot write to", error);
}

void TraceFile::rotateBefore(std::size_t bytes)
{
    if (!file_.valid())
        return;
    if (sizeOf(file_.get()) + bytes <= limit_)
        return;
    // This handle may point at a file another process has already renamed: then the path names a
    // new, smaller file, and reopening is all it takes.
    WIN32_FILE_ATTRIBUTE_DATA current{};
    if (GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &current) &&
        ((static_cast<unsigned long long>(current.nFileSizeHigh) << 32) | current.nFileSizeLow) > 0 &&
        ((static_cast<unsigned long long>(current.nFileSizeHigh) << 32) | current.nFileSizeLow) + bytes > limit_) {
        file_.reset();
        const std::wstring old = path_ + L".1";
        if (!MoveFileExW(path_.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            // The old file is still open in a process that hasn't noticed the last rotation, which
            // forbids replacing it: move it aside and delete it (it goes when that handle closes).
            const std::wstring aside = old + L"." + std::to_wstring(GetCurrentProcessId()) + L".deleted";
            if (MoveFileExW(old.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING))
                DeleteFileW(aside.c_str());
            MoveFileExW(path_.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
    }
    file_ = openForAppending(path_);
}

void TraceFile::stop(const wchar_t* what, DWORD error)
{
    if (stopped_.exchange(true))
        return;
    wchar_t message[64];
    swprintf(message, 64, L" (error %lu); tracing stopped for process %lu\n", error, GetCurrentProcessId());
    OutputDebugStringW((L"VornTrace: " + std::wstring(what) + L" the trace file " +
                        (path_.empty() ? std::wstring(L"?") : path_) + message)
                           .c_str());
}

} // namespace vorntrace
