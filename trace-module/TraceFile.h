#pragma once
// The trace file, shared by every process that traces into it.
//
// One handle per process, opened for appending. Each record is written with one WriteFile while
// holding a lock shared by the processes writing the file (CrossProcessLock.h), named after the
// file's identity (volume and file index), so every spelling of the path shares it: appends through
// separate handles are atomic on Windows, but not under Wine, where records of two processes
// otherwise overwrite each other.
//
// Before a record would take the file past the size limit it is renamed to "<name>.1" under that
// lock, and the rotation is counted beside the lock word: every other writer sees the count change
// at its next record and reopens the path, so nothing is written into the renamed file after it
// was renamed. The older "<name>.1" goes only once the newer file has taken its name; a rename that
// fails (a reader holding a file without delete sharing) leaves both files as they are, and the
// file grows until a later record's rotation succeeds. A file renamed or deleted by someone else is
// noticed by comparing the identity of the file the path names with the handle's, at the first
// record and then at most every half second, and the path is reopened. Every file starts, for each
// process writing it, with that process's header.
//
// A record that can't be written never fails or stalls a call: a file that can't be opened at all
// stops tracing for this process after one line on the debugger output; a record given up for
// another reason (the lock kept by a live process, the path not yet free again) is counted, and
// the next record written is preceded by a note saying how many are missing and why.

#include "CrossProcessLock.h"
#include "Handles.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace vorntrace {

class TraceFile {
public:
    // The folder of VornTrace.log when VORN_TRACE_LOG names no file; set before the first write.
    void setDefaultFolder(std::wstring folder) { defaultFolder_ = std::move(folder); }

    // The rest of this process's header note (" target=... version=..."), written at the head of
    // every file this process writes into from now on.
    void setHeader(std::string header);

    // Whole lines, appended at once. Opens the file on the first record.
    void write(std::string_view records);
    bool stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }

private:
    struct Current {
        UniqueHandle file;
        std::unique_ptr<CrossProcessLock> lock;
        unsigned long long index = 0; // the file's index on its volume
        LONG rotationsSeen = 0;
        bool checked = false; // the path was seen to name this file while holding the lock
    };

    bool openCurrent();
    bool pathNamesCurrent() const;
    bool rotate();
    void drop(std::string reason);
    std::string notesDue();
    void stop(const wchar_t* what, DWORD error);

    SRWLOCK lock_ = SRWLOCK_INIT; // one writer at a time in this process
    Current current_;
    std::wstring defaultFolder_;
    std::wstring path_;
    unsigned long long limit_ = 0;
    bool openedOnce_ = false;
    std::string header_;
    bool headerDue_ = false;
    ULONGLONG nextPathCheck_ = 0;
    ULONGLONG nextRotation_ = 0;
    DWORD stuckHolder_ = 0;
    unsigned long dropped_ = 0;
    std::string dropReason_;
    bool saidDropped_ = false;
    std::atomic<bool> stopped_{false};
};

} // namespace vorntrace
