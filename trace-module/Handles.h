#pragma once
// Owners for the kernel handles and locks the tracing library keeps.

#include <windows.h>

#include <utility>

namespace vorntrace {

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE adopted) noexcept : value_(adopted == INVALID_HANDLE_VALUE ? nullptr : adopted) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        reset(std::exchange(other.value_, nullptr));
        return *this;
    }
    ~UniqueHandle() { reset(); }

    HANDLE get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != nullptr; }
    void reset(HANDLE adopted = nullptr) noexcept
    {
        if (value_)
            CloseHandle(value_);
        value_ = adopted == INVALID_HANDLE_VALUE ? nullptr : adopted;
    }

private:
    HANDLE value_ = nullptr;
};

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK& lock_;
};

} // namespace vorntrace
