#pragma once
// A lock shared by every process writing one trace file: a word in a named page of shared memory,
// taken with an interlocked compare-exchange. Free, it costs no call into the kernel (under Wine,
// no trip to wineserver, where a named mutex costs about 8 µs per record). It is held for one write,
// so waiting is rare and short. A holder that doesn't let go within the wait is taken over only when
// its process has ended (killed while writing); a live holder, merely slow or stopped in a debugger,
// keeps it, and the waiter gives up that record instead of writing beside it.
//
// Beside the word, a count of the times the file was renamed away (rotated): read under the lock,
// it tells a process whose handle still points at the renamed file to reopen the path. And the
// file's size as its writers have counted it, so a record's size check asks nothing of the kernel.

#include "Handles.h"

#include <windows.h>

#include <string>

namespace vorntrace {

class CrossProcessLock {
public:
    CrossProcessLock() = default;
    CrossProcessLock(const CrossProcessLock&) = delete;
    CrossProcessLock& operator=(const CrossProcessLock&) = delete;
    ~CrossProcessLock();

    // Every process naming the same object shares the lock. False when the page can't be made.
    bool open(const std::wstring& name);
    bool valid() const noexcept { return page_ != nullptr; }

    // True once held. False after `waitMs` while a live process holds it (its id in `holder`); at
    // once when that process is `stuckHolder`, which already kept it from an earlier record.
    bool acquire(DWORD waitMs, DWORD stuckHolder, DWORD& holder) noexcept;
    void release() noexcept;

    // Only while holding the lock.
    LONG rotations() const noexcept { return page_->rotations; }
    void noteRotation() noexcept { InterlockedIncrement(&page_->rotations); }
    unsigned long long size() const noexcept { return page_->size; }
    void setSize(unsigned long long size) noexcept { page_->size = size; }

private:
    struct Page {
        volatile LONG holder;            // the holder's process id, 0 when free
        volatile LONG rotations;         // times the file has been renamed away
        volatile unsigned long long size; // the file's size after the last record written
    };
    UniqueHandle mapping_;
    Page* page_ = nullptr;
};

// Holds a CrossProcessLock for a scope, when it can be had.
class CrossProcessHold {
public:
    CrossProcessHold(CrossProcessLock& lock, DWORD waitMs, DWORD stuckHolder) noexcept
        : lock_(lock), held_(lock.valid() && lock.acquire(waitMs, stuckHolder, holder_))
    {
    }
    CrossProcessHold(const CrossProcessHold&) = delete;
    CrossProcessHold& operator=(const CrossProcessHold&) = delete;
    ~CrossProcessHold()
    {
        if (held_)
            lock_.release();
    }
    bool held() const noexcept { return held_; }
    DWORD holder() const noexcept { return holder_; } // who kept it, when not held

private:
    CrossProcessLock& lock_;
    DWORD holder_ = 0;
    bool held_;
};

} // namespace vorntrace
