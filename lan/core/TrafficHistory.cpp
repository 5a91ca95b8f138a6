#include "TrafficHistory.h"

#include "Text.h"

#include <algorithm>

void TrafficHistory::Add(TrafficEntry entry)
{
    entry.message = text::Bounded(entry.message);
    entry.record.response = text::Bounded(entry.record.response);
    std::vector<UnitRecord>& units = entry.record.units;
    if (units.size() > kMaxUnitsKept) {
        const std::size_t more = units.size() - kMaxUnitsKept;
        units.resize(kMaxUnitsKept);
        units.push_back({"... and " + std::to_string(more) + " more units", UnitRecord::Outcome::Answered, {}});
    }
    std::lock_guard lock(mutex_);
    entry.sequence = ++last_;
    entries_.push_back(std::move(entry));
    while (entries_.size() > capacity_)
        entries_.pop_front();
    changed_.notify_all();
}

std::vector<TrafficEntry> TrafficHistory::Since(std::uint64_t after, std::size_t limit) const
{
    std::lock_guard lock(mutex_);
    const auto first = std::find_if(entries_.begin(), entries_.end(),
                                    [after](const TrafficEntry& e) { return e.sequence > after; });
    const auto count = std::min<std::size_t>(limit, static_cast<std::size_t>(entries_.end() - first));
    return {first, first + static_cast<std::ptrdiff_t>(count)};
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
