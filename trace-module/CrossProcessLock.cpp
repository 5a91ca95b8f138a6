#include "CrossProcessLock.h"

namespace vorntrace {
namespace {

bool processRunning(DWORD id) noexcept
{
    const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
    if (!process.valid())
        return GetLastError() != ERROR_INVALID_PARAMETER; // no such process; denied means it runs
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

} // namespace

CrossProcessLock::~CrossProcessLock()
{
    if (page_)
        UnmapViewOfFile(page_);
}

bool CrossProcessLock::open(const std::wstring& name)
{
    mapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Page), name.c_str()));
    if (!mapping_.valid())
        return false;
    page_ = static_cast<Page*>(MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, sizeof(Page)));
    return page_ != nullptr;
}

bool CrossProcessLock::acquire(DWORD waitMs, DWORD stuckHolder, DWORD& holder) noexcept
{
    const LONG self = static_cast<LONG>(GetCurrentProcessId());
    LONG seen = InterlockedCompareExchange(&page_->holder, self, 0);
    if (seen == 0)
        return true;
    // This process takes the file's lock only inside its own in-process lock: a word naming it was
    // left by an ended process whose id it now has.
    if (seen == self)
        return true;
    const ULONGLONG deadline = GetTickCount64() + (static_cast<DWORD>(seen) == stuckHolder ? 0 : waitMs);
    for (unsigned round = 0;; ++round) {
        for (int spin = 0; spin < 64; ++spin) {
            if (page_->holder == 0 && InterlockedCompareExchange(&page_->holder, self, 0) == 0)
                return true;
            YieldProcessor();
        }
        if (GetTickCount64() >= deadline) {
            seen = page_->holder;
            if (seen == 0)
                continue;
            if (processRunning(static_cast<DWORD>(seen))) {
                holder = static_cast<DWORD>(seen);
                return false;
            }
            // Taken over from the ended holder seen, and only from it: of several waiters, one wins.
            if (InterlockedCompareExchange(&page_->holder, self, seen) == seen)
                return true;
            continue;
        }
        if (round < 16)
            SwitchToThread();
        else
            Sleep(1);
    }
}

void CrossProcessLock::release() noexcept
{
    InterlockedCompareExchange(&page_->holder, 0, static_cast<LONG>(GetCurrentProcessId()));
}

} // namespace vorntrace
