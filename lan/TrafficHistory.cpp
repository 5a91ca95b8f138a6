#include "TrafficHistory.h"

#include <algorithm>

void TrafficHistory::Add(TrafficEntry entry)
{
    std::lock_guard lock(mutex_);
    entry.sequence = ++last_;
    entries_.push_back(std::move(entry));
    while (entries_.size() > capacity_)
        entries_.pop_front();
    changed_.notify_all();
}

std::vector<TrafficEntry> TrafficHistory::Since(std::uint64_t after) const
{
    std::lock_guard lock(mutex_);
    const auto first = std::find_if(entries_.begin(), entries_.end(),
                                    [after](const TrafficEntry& e) { return e.sequence > after; });
    return {first, entries_.end()};
}

std::uint64_t TrafficHistory::Last() const
{
    std::lock_guard lock(mutex_);
    return last_;
}

bool TrafficHistory::WaitForNewer(std::uint64_t after, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    const std::uint64_t wakes = wakes_;
    changed_.wait_for(lock, timeout, [&] { return last_ > after || wakes_ != wakes; });
    return last_ > after;
}

void TrafficHistory::Wake()
{
    std::lock_guard lock(mutex_);
    ++wakes_;
    changed_.notify_all();
}
