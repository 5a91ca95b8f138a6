// Whether the client behind a session is still there, as its transport can tell. Every wait a client
// causes in the instrument (a lock, room in its queue, a response) asks this every kPresencePeriod, so a
// client that has gone is noticed while it waits, and a quick answer never pays for the question.
#pragma once

#include <chrono>
#include <utility>

class ClientPresence {
public:
    virtual ~ClientPresence() = default;
    // True once the client has gone (closed, reset, or silent past keep-alive). Called on the waiting
    // thread, without the instrument's lock held.
    virtual bool Gone() noexcept = 0;
};

inline constexpr std::chrono::milliseconds kPresencePeriod{100};

// A presence from any callable returning whether the client has gone.
template <typename Probe>
class ProbedPresence final : public ClientPresence {
public:
    explicit ProbedPresence(Probe probe) : probe_(std::move(probe)) {}
    bool Gone() noexcept override { return probe_(); }

private:
    Probe probe_;
};
