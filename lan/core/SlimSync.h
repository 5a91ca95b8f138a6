// A lock and a condition variable on the system's slim primitives. Every query crosses threads twice
// (connection -> the module's thread -> connection); Wine serves SRW locks and condition variables in
// process, while the runtime's std::condition_variable waits on kernel objects through its server, which
// costs tens of microseconds a wake-up there.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <mutex>

class SlimMutex {
public:
    SlimMutex() noexcept = default;
    SlimMutex(const SlimMutex&) = delete;
    SlimMutex& operator=(const SlimMutex&) = delete;
    void lock() noexcept { AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK* native() noexcept { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class SlimCondition {
public:
    SlimCondition() noexcept = default;
    SlimCondition(const SlimCondition&) = delete;
    SlimCondition& operator=(const SlimCondition&) = delete;

    void notify_all() noexcept { WakeAllConditionVariable(&condition_); }

    void wait(std::unique_lock<SlimMutex>& lock) { Sleep(lock, INFINITE); }

    template <typename Predicate>
    void wait(std::unique_lock<SlimMutex>& lock, Predicate ready)
    {
        while (!ready())
            Sleep(lock, INFINITE);
    }

    // False when the time ran out with `ready` still false.
    template <typename Predicate>
    bool wait_for(std::unique_lock<SlimMutex>& lock, std::chrono::milliseconds timeout, Predicate ready)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!ready()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return ready();
            Sleep(lock, static_cast<DWORD>(std::min<long long>(left.count(), INFINITE - 1)));
        }
        return true;
    }

private:
    void Sleep(std::unique_lock<SlimMutex>& lock, DWORD milliseconds)
    {
        SleepConditionVariableSRW(&condition_, lock.mutex()->native(), milliseconds, 0);
    }

    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};
