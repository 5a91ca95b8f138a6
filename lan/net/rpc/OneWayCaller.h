// One-way ONC RPC calls to a client's own server over a TCP connection vornlan makes (VXI-11's
// interrupt channel). Callers only queue a call; a thread of the caller's own connects and sends, so a
// peer that has gone or stopped reading holds no one else. Each connect and send is bounded in time; a
// call that can't be sent is dropped and logged, and the next one connects afresh.
#pragma once

#include "Sockets.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

class Log;

namespace lan {

// A call message (record marking aside): AUTH_NONE credential and verifier, then the arguments.
std::string CallMessage(std::uint32_t xid, std::uint32_t program, std::uint32_t version, std::uint32_t procedure,
                        std::string_view arguments);

class OneWayCaller {
public:
    struct Target {
        std::uint32_t address = 0; // host byte order
        std::uint16_t port = 0;
        std::uint32_t program = 0;
        std::uint32_t version = 0;
    };
    // Calls waiting to be sent at most; more are dropped (the peer is too slow to take them).
    static constexpr std::size_t kMaxQueued = 16;

    // Starts the thread, which connects at once. `log` may be null.
    OneWayCaller(Log* log, Target target, std::chrono::milliseconds timeout);
    OneWayCaller(const OneWayCaller&) = delete;
    OneWayCaller& operator=(const OneWayCaller&) = delete;
    ~OneWayCaller(); // Stop()s

    // Queues a call; false when it was dropped (stopped, or too many wait).
    bool Post(std::uint32_t procedure, std::string arguments);
    // Drops what waits, closes the connection and ends the thread, within a step of the connect or send
    // in progress.
    void Stop();

private:
    void Run();
    // Connected (or false, with the reason), giving up after the timeout or at Stop().
    bool Connect(std::string& error);
    void Note(const std::string& what);

    Log* const log_;
    const Target target_;
    const std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<std::uint32_t, std::string>> queued_;
    bool stopping_ = false;
    Socket connection_; // the thread's own
    std::uint32_t xid_ = 0;
    std::thread thread_;
};

} // namespace lan
