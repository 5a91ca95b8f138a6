#pragma once
// The trace file, shared by every process that traces into it.
//
// One handle per process, opened for appending. Each record is written with one WriteFile while
// holding a lock shared by the processes writing the file (CrossProcessLock.h): appends through separate
// handles are atomic on Windows, but not under Wine, where records of two processes otherwise
// overwrite each other. Before a record would take the file past the size limit, the file is
// renamed to "<name>.1" (replacing the older one) under the same lock; a process whose handle still
// points at the
// renamed file finds the path already rotated and reopens it. A record that can't be written stops
// tracing for this process after one line on the debugger output: tracing must never fail or stall
// a call.

#include "Handles.h"
#include "CrossProcessLock.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <string_view>
#include <utility>

namespace vorntrace {

class TraceFile {
public:
    // The folder of VornTrace.log when VORN_TRACE_LOG names no file; set before the first write.
    void setDefaultFolder(std::wstring folder) { defaultFolder_ = std::move(folder); }

    // Whole lines, appended at once. Opens the file on the first record.
    void write(std::string_view records);
    bool stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }

private:
    bool open();
    void rotateBefore(std::size_t bytes);
    void stop(const wchar_t* what, DWORD error);

    SRWLOCK lock_ = SRWLOCK_INIT; // one writer at a time in this process
    UniqueHandle file_;
    CrossProcessLock fileLock_;
    std::wstring defaultFolder_;
    std::wstring path_;
    unsigned long long limit_ = 0;
    std::atomic<bool> stopped_{false};
};

} // namespace vorntrace
