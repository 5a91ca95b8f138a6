#include "CrossProcessLock.h"

namespace vorntrace {

CrossProcessLock::~CrossProcessLock()
{
    if (word_)
        UnmapViewOfFile(const_cast<LONG*>(word_));
}

bool CrossProcessLock::open(const std::wstring& name)
{
    mapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG), name.c_str()));
    if (!mapping_.valid())
        return false;
    word_ = static_cast<volatile LONG*>(MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, sizeof(LONG)));
    return word_ != nullptr;
}

void CrossProcessLock::acquire(DWORD waitMs) noexcept
{
    const LONG self = static_cast<LONG>(GetCurrentProcessId());
    if (InterlockedCompareExchange(word_, self, 0) == 0)
        return;
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    for (;;) {
        for (int spin = 0; spin < 64; ++spin) {
            if (*word_ == 0 && InterlockedCompareExchange(word_, self, 0) == 0)
                return;
            YieldProcessor();
        }
        if (GetTickCount64() > deadline) {
            InterlockedExchange(word_, self); // the holder is gone or stuck: take it over
            return;
        }
        SwitchToThread();
    }
}

void CrossProcessLock::release() noexcept
{
    // Only while still the holder: a lock taken over stays with its new holder.
    InterlockedCompareExchange(word_, 0, static_cast<LONG>(GetCurrentProcessId()));
}

} // namespace vorntrace
