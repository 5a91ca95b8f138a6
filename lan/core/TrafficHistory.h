// The program messages vornlan ran lately, for whoever watches the traffic (the web page's live view and
// its console): who sent each, what it was, what became of each unit, what it answered. Held in memory
// only, the newest few hundred; each has a sequence number, so a watcher asks for what is newer than the
// last it saw and may wait for it.
#pragma once

#include "MessageRecord.h"
#include "SlimSync.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct TrafficEntry {
    std::uint64_t sequence = 0;   // from 1, in the order the messages ran
    std::int64_t unixMillis = 0;  // when it ended
    std::uint32_t session = 0;
    std::string client;           // "127.0.0.1:50112"
    std::string transport;        // "raw socket", "VXI-11", "web"
    std::string message;          // as received: the ANSI code page's bytes
    MessageRecord record;
};

class TrafficHistory {
public:
    static constexpr std::size_t kDefaultCapacity = 300;

    explicit TrafficHistory(std::size_t capacity = kDefaultCapacity) : capacity_(capacity ? capacity : 1) {}
    TrafficHistory(const TrafficHistory&) = delete;
    TrafficHistory& operator=(const TrafficHistory&) = delete;

    // The units of one message kept; a message of thousands of units is shown by its first ones.
    static constexpr std::size_t kMaxUnitsKept = 32;

    // Numbers the entry, keeps it (dropping the oldest beyond the capacity) and wakes every watcher. What
    // it keeps is bounded: texts by text::Bounded, units by kMaxUnitsKept (a last one says how many more).
    void Add(TrafficEntry entry);

    // The entries newer than `after`, oldest first, at most `limit` of them.
    std::vector<TrafficEntry> Since(std::uint64_t after, std::size_t limit = SIZE_MAX) const;
    // The sequence number of the newest entry so far (0 before the first).
    std::uint64_t Last() const;

    // Waits until an entry newer than `after` exists, Wake() is called or the time runs out. True when
    // there is a newer entry.
    bool WaitForNewer(std::uint64_t after, std::chrono::milliseconds timeout) const;
    // Ends every wait now (a watcher being stopped).
    void Wake();

private:
    const std::size_t capacity_;
    mutable SlimMutex mutex_;
    mutable SlimCondition changed_;
    std::deque<TrafficEntry> entries_;
    std::uint64_t last_ = 0;
    std::uint64_t wakes_ = 0;
};
