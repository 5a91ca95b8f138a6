#include "TraceFile.h"

#include "SystemText.h"
#include "TraceLine.h"

#include <cwchar>

namespace vorntrace {
namespace {

constexpr unsigned long long defaultLimitKb = 16 * 1024;
constexpr DWORD fileLockWaitMs = 200; // held for one write or a rename; never wait long for another's
constexpr ULONGLONG pathCheckMs = 500; // opening the path costs a few hundred µs under Wine: not per record

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

// The file's index on its volume. Through NtQueryInformationFile: GetFileInformationByHandle also
// asks for the volume, which takes about a millisecond under Wine.
bool fileIndex(HANDLE file, unsigned long long& index)
{
    struct IoStatus {
        union {
            LONG status;
            void* pointer;
        };
        ULONG_PTR information;
    };
    using Query = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
    constexpr int fileInternalInformation = 6;
    static const Query query = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll ? reinterpret_cast<Query>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQueryInformationFile")))
                     : nullptr;
    }();
    if (query) {
        IoStatus status{};
        LARGE_INTEGER value{};
        if (query(file, &status, &value, sizeof value, fileInternalInformation) >= 0) {
            index = static_cast<unsigned long long>(value.QuadPart);
            return true;
        }
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return false;
    index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

unsigned long long limitBytes()
{
    constexpr unsigned long long largestKb = ~0ull / 1024; // beyond it the size in bytes would wrap
    const std::wstring text = environment(L"VORN_TRACE_MAX_KB");
    wchar_t* end = nullptr;
    unsigned long long kb = text.empty() ? 0 : std::wcstoull(text.c_str(), &end, 10);
    if (kb == 0 || *end != L'\0')
        kb = defaultLimitKb;
    return (kb > largestKb ? largestKb : kb) * 1024;
}

} // namespace

void TraceFile::setHeader(std::string header)
{
    const ExclusiveLock inProcess(lock_);
    header_ = std::move(header);
}

bool TraceFile::openCurrent()
{
    if (path_.empty()) {
        path_ = environment(L"VORN_TRACE_LOG");
        if (path_.empty())
            path_ = defaultFolder_ + L"VornTrace.log";
        limit_ = limitBytes();
    }
    Current opened;
    opened.file = openForAppending(path_);
    if (!opened.file.valid()) {
        const DWORD error = GetLastError();
        if (!openedOnce_) {
            stop(L"cannot open", error);
        } else {
            // Written before: the name may still be held by a deleted file that other processes keep
            // open. Records wait for it to be free.
            drop("the file could not be opened again after it was renamed or deleted (error " +
                 std::to_string(error) + ")");
        }
        return false;
    }
    // The lock of this file, whatever the path's spelling: named after its volume and index.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(opened.file.get(), &info) || !fileIndex(opened.file.get(), opened.index)) {
        stop(L"cannot identify", GetLastError());
        return false;
    }
    wchar_t name[64];
    swprintf(name, 64, L"Local\\VornTrace.%08lX.%016llX", info.dwVolumeSerialNumber, opened.index);
    opened.lock = std::make_unique<CrossProcessLock>();
    if (!opened.lock->open(name)) {
        stop(L"cannot share the lock of", GetLastError());
        return false;
    }
    current_ = std::move(opened);
    openedOnce_ = true;
    headerDue_ = true;
    return true;
}

bool TraceFile::pathNamesCurrent() const
{
    FILE_STANDARD_INFO standard{};
    if (GetFileInformationByHandleEx(current_.file.get(), FileStandardInfo, &standard, sizeof standard) &&
        standard.DeletePending)
        return false;
    const UniqueHandle named(CreateFileW(path_.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    unsigned long long index = 0;
    return named.valid() && fileIndex(named.get(), index) && index == current_.index;
}

// Renames the file to "<name>.1". The older "<name>.1" is moved aside first and deleted only once
// the rename has succeeded; if it fails, both files stay as they were.
bool TraceFile::rotate()
{
    const std::wstring old = path_ + L".1";
    wchar_t suffix[64];
    swprintf(suffix, 64, L".%lu-%llu.old", GetCurrentProcessId(), GetTickCount64());
    const std::wstring aside = old + suffix;
    const bool hadOld = MoveFileExW(old.c_str(), aside.c_str(), 0);
    if (!hadOld && GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;
    if (!MoveFileExW(path_.c_str(), old.c_str(), 0)) {
        if (hadOld)
            MoveFileExW(aside.c_str(), old.c_str(), 0);
        return false;
    }
    current_.lock->noteRotation();
    if (hadOld)
        DeleteFileW(aside.c_str());
    return true;
}

void TraceFile::drop(std::string reason)
{
    if (dropped_++ == 0)
        dropReason_ = std::move(reason);
    if (!saidDropped_) {
        saidDropped_ = true;
        wchar_t message[96];
        swprintf(message, 96, L"VornTrace: process %lu gives up records it can't write now into ", GetCurrentProcessId());
        OutputDebugStringW((message + path_ + L": " + std::wstring(dropReason_.begin(), dropReason_.end()) + L"\n").c_str());
    }
}

std::string TraceFile::notesDue()
{
    std::string notes;
    if (dropped_ > 0)
        notes = noteStart() + " records missing here: " + std::to_string(dropped_) + "; " + dropReason_ + '\n';
    if (headerDue_ && !header_.empty())
        notes += noteStart() + header_ + '\n';
    return notes;
}

void TraceFile::write(std::string_view records)
{
    if (stopped())
        return;
    const ExclusiveLock inProcess(lock_);
    // A few tries: each failed one follows a rotation or a change of the file at the path.
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (!current_.file.valid() && !openCurrent())
            return;
        bool reopen = false;
        bool whole = false;
        DWORD error = 0;
        {
            const CrossProcessHold hold(*current_.lock, fileLockWaitMs, stuckHolder_);
            if (!hold.held()) {
                stuckHolder_ = hold.holder();
                drop("the file's lock was kept by process " + std::to_string(hold.holder()) + " for over " +
                     std::to_string(fileLockWaitMs) + " ms");
                return;
            }
            stuckHolder_ = 0;
            const ULONGLONG now = GetTickCount64();
            bool recount = false; // take the size from the file itself, not from the writers' count
            if (!current_.checked) {
                current_.checked = true;
                current_.rotationsSeen = current_.lock->rotations();
                nextPathCheck_ = now + pathCheckMs;
                reopen = !pathNamesCurrent();
                recount = true;
            } else if (current_.lock->rotations() != current_.rotationsSeen) {
                reopen = true;
            } else if (now >= nextPathCheck_) {
                nextPathCheck_ = now + pathCheckMs;
                reopen = !pathNamesCurrent();
                recount = true;
            }
            if (!reopen) {
                // The writers count what they append, so a record's size check is a read of the
                // shared page, not a query of the file (a few µs under Wine). The count is taken
                // from the file when this process starts on it, at each look at the path (someone
                // else may have written to or cut the file), and before renaming it.
                CrossProcessLock& shared = *current_.lock;
                if (recount)
                    shared.setSize(sizeOf(current_.file.get()));
                // One WriteFile per record, with the notes due in front of it (copied only then).
                std::string withNotes = notesDue();
                std::string_view text = records;
                if (!withNotes.empty())
                    text = withNotes += records;
                const std::size_t bytes = text.size();
                unsigned long long size = shared.size();
                if (size > 0 && size + bytes > limit_ && now >= nextRotation_) {
                    size = sizeOf(current_.file.get());
                    shared.setSize(size);
                    if (size > 0 && size + bytes > limit_) {
                        reopen = rotate();
                        if (!reopen)
                            nextRotation_ = now + pathCheckMs; // held by a reader: keep writing, try later
                    }
                }
                if (!reopen) {
                    DWORD written = 0;
                    whole = WriteFile(current_.file.get(), text.data(), static_cast<DWORD>(bytes), &written, nullptr) &&
                            written == bytes;
                    error = GetLastError();
                    if (whole) {
                        shared.setSize(size + bytes);
                        headerDue_ = headerDue_ && header_.empty();
                        dropped_ = 0;
                    }
                }
            }
        }
        if (!reopen) {
            if (!whole)
                stop(L"cannot write to", error);
            return;
        }
        current_ = Current{};
    }
    drop("the path named another file at every try");
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
