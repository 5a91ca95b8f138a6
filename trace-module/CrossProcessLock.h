#pragma once
// A lock shared by every process writing one trace file: a word in a named page of shared memory,
// taken with an interlocked exchange. Free, it costs no call into the kernel (under Wine, no trip to
// wineserver, where a named mutex costs about 8 µs per record). It is held for one write, so waiting
// is rare and short; a holder that doesn't let go within the wait (a process killed while writing)
// loses the lock to the waiter.

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
    bool valid() const noexcept { return word_ != nullptr; }

    void acquire(DWORD waitMs) noexcept;
    void release() noexcept;

private:
    UniqueHandle mapping_;
    volatile LONG* word_ = nullptr; // holder's process id, 0 when free
};

// Holds a CrossProcessLock (when it is valid) for a scope.
class CrossProcessHold {
public:
    CrossProcessHold(CrossProcessLock& lock, DWORD waitMs) noexcept : lock_(lock)
    {
        if (lock_.valid())
            lock_.acquire(waitMs);
    }
    CrossProcessHold(const CrossProcessHold&) = delete;
    CrossProcessHold& operator=(const CrossProcessHold&) = delete;
    ~CrossProcessHold()
    {
        if (lock_.valid())
            lock_.release();
    }

private:
    CrossProcessLock& lock_;
};

} // namespace vorntrace
