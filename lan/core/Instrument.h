// The module as one network instrument: the clients' sessions (input, responses, error queue, status
// bytes), the lock over the whole module, and the one thread that owns the server object and runs
// program messages in order. Transports only move bytes: they hand a session its input and take its
// responses; none parses SCPI or calls the server.
#pragma once

#include "MessageRecord.h"
#include "ModuleIdentity.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class Log;
class TrafficHistory;

enum class Transport { RawSocket, Vxi11, Web, Internal };

struct ClientInfo {
    std::string peer; // "192.168.7.10:50112"
    Transport transport = Transport::RawSocket;
};

// A session's identifier; doubles as the VXI-11 link identifier. Never 0, never reused while the
// program runs.
using SessionId = std::uint32_t;

// How a session takes its responses.
enum class Delivery {
    Stream, // raw socket: every response is taken as soon as it exists (WaitForResponses)
    OnRead, // VXI-11, web: responses wait for a read; a new message drops an unread one (-410)
};

enum class WaitResult {
    Done,
    Locked,   // another session holds the lock (and the caller didn't wait, or the wait ran out)
    TimedOut, // nothing came within the time asked
    Aborted,  // Abort() or Close() ended the wait
    NoSession,
};

// A session as the web page lists it.
struct ClientSnapshot {
    SessionId id = 0;
    ClientInfo client;
    std::int64_t sinceUnixMillis = 0;
    bool holdsLock = false;
};

// A message run on behalf of a client that waits for it (the web page's console, the identity).
struct Execution {
    WaitResult status = WaitResult::Done;
    MessageRecord record; // when Done: what became of each unit, and the response
};

struct ReadResult {
    WaitResult status = WaitResult::Done;
    std::string data;
    bool end = false;          // the response's last byte is in `data`
    bool termCharSeen = false; // `data` ends at the term character asked for
};

class Instrument {
public:
    // The longest program message kept; the rest of a longer one is dropped with -223.
    static constexpr std::size_t kMaxMessageLength = 64 * 1024;
    // Errors a session's queue holds before the last entry becomes -350.
    static constexpr std::size_t kErrorQueueLength = 32;

    // Each message run is added to `history` when one is given.
    explicit Instrument(Log& log, TrafficHistory* history = nullptr);
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;
    ~Instrument(); // Stop()s if still running

    // Starts the thread that owns the server object; the object is created at the first message.
    void Start();
    // Ends every wait and drops what is queued; the message in progress finishes on its own.
    void Halt();
    // Halt()s, waits for the message in progress and releases the object.
    void Stop();

    SessionId Open(const ClientInfo& client, Delivery delivery);
    // Drops the session's input and responses, releases its lock, ends its waits.
    void Close(SessionId id);
    bool IsOpen(SessionId id) const;

    // Bytes of program messages. A line feed ends a message (a carriage return before it is dropped);
    // so does `end` (VXI-11's END flag). Complete messages are queued to run in order.
    WaitResult Input(SessionId id, std::string_view bytes, bool end);

    // Stream delivery: waits until every message queued so far has run and returns the responses
    // they produced (possibly none), each ending in a line feed.
    ReadResult WaitForResponses(SessionId id);
    // The same, giving up with TimedOut after `timeout` (the messages stay queued).
    ReadResult WaitForResponses(SessionId id, std::chrono::milliseconds timeout);

    // OnRead delivery: up to `maxBytes` of the current response, waiting up to `timeout` for the
    // messages queued or running to finish. A read with nothing queued and nothing to read is a query
    // unterminated (-420) and returns TimedOut at once. `termChar` < 0: none.
    ReadResult Read(SessionId id, std::size_t maxBytes, std::chrono::milliseconds timeout, int termChar);

    // IEEE 488.2 status byte (with MAV), without waiting for the module.
    std::uint8_t StatusByte(SessionId id);

    // Device clear: the session's input, queued messages and unread response are dropped.
    void Clear(SessionId id);

    // The lock over the whole module. Waits up to `timeout` when `wait` is set.
    WaitResult Lock(SessionId id, bool wait, std::chrono::milliseconds timeout);
    // False when the session holds no lock.
    bool Unlock(SessionId id);
    // Whether a message from this session could run now as far as the lock goes, waiting up to
    // `timeout` for another holder to release it when `wait` is set.
    WaitResult WaitUntilUnlocked(SessionId id, bool wait, std::chrono::milliseconds timeout);

    // Runs one whole program message for the session (which takes its response here, not by Read or
    // WaitForResponses) and returns its record, waiting up to `timeout`. TimedOut leaves the message to
    // run; Clear() withdraws it.
    Execution Execute(SessionId id, std::string_view message, std::chrono::milliseconds timeout);

    // The module's identity from the last *IDN? reply any client received. When none has been seen, it is
    // asked for (as a client of its own, waiting up to `wait`), at most once a minute: a module that
    // doesn't answer isn't asked again by every caller.
    ModuleIdentity Identity(std::chrono::milliseconds wait);

    // The sessions open now, in the order they opened.
    std::vector<ClientSnapshot> Clients() const;

    // Ends the session's current Read or Lock wait with Aborted (VXI-11's abort channel).
    void Abort(SessionId id);

    struct State; // the sessions, the queue and the module's thread, in Instrument.cpp

private:
    std::unique_ptr<State> state_;
};

inline const char* TransportName(Transport transport) noexcept
{
    switch (transport) {
    case Transport::RawSocket: return "raw socket";
    case Transport::Vxi11: return "VXI-11";
    case Transport::Web: return "web";
    case Transport::Internal: return "vornlan";
    }
    return "?";
}
