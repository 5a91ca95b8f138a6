// The module as one network instrument: the clients' sessions (input, responses, error queue, status
// bytes), the lock over the whole module, and the one thread that owns the server object and runs
// program messages in order. Transports only move bytes: they hand a session its input and take its
// responses; none parses SCPI or calls the server.
#pragma once

#include "ClientPresence.h"
#include "MessageRecord.h"
#include "ModuleIdentity.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class Log;
class ModuleLink;
class TrafficHistory;

enum class Transport { RawSocket, Vxi11, Hislip, Web, Internal };

struct ClientInfo {
    std::string peer; // "192.168.7.10:50112"
    Transport transport = Transport::RawSocket;
};

// A session's identifier; doubles as the VXI-11 link identifier. Never 0, never reused while the
// program runs, and not to be guessed from the ids seen before it.
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
    Gone, // the client's presence said it has gone: the session departed (see Close)
};

// A session as the web page lists it.
struct ClientSnapshot {
    SessionId id = 0;
    ClientInfo client;
    std::int64_t sinceUnixMillis = 0;
    bool holdsLock = false;       // the exclusive lock
    bool holdsSharedLock = false; // one of the shared lock's holders
};

// Who holds the module's locks (HiSLIP's AsyncLockInfo).
struct LockSummary {
    bool exclusive = false;  // a session holds the exclusive lock
    std::size_t holders = 0; // sessions holding a lock of either kind
};

// Told on the instrument's thread, without its lock held, each time a session's status byte comes to ask
// for service (the summary of *SRE's bits rises). Capture what it needs by shared ownership: it may be
// called once more while SetServiceRequestHandler or Close replaces it on another thread.
using ServiceRequestHandler = std::function<void(std::uint8_t statusByte)>;

// A message run on behalf of a client that waits for it (the web page's console, the identity).
struct Execution {
    WaitResult status = WaitResult::Done;
    MessageRecord record; // when Done: what became of each unit, and the response
};

struct InputResult {
    WaitResult status = WaitResult::Done;
    std::size_t taken = 0; // bytes taken; all of them when Done
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
    // A session's messages waiting to run: at most this many, and a new one is taken only while those
    // hold fewer bytes than kMaxQueuedBytes. Input beyond waits for room, so that one client can't
    // fill memory or keep the others waiting behind thousands of its messages.
    static constexpr std::size_t kMaxQueuedMessages = 8;
    static constexpr std::size_t kMaxQueuedBytes = 64 * 1024;

    // Makes the module's link on the thread that calls it (inside its COM apartment).
    using ModuleFactory = std::function<std::unique_ptr<ModuleLink>()>;

    // Each message run is added to `history` when one is given. The module is the server object.
    explicit Instrument(Log& log, TrafficHistory* history = nullptr);
    Instrument(Log& log, TrafficHistory* history, ModuleFactory makeModule);
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
    // The client has left: its input and responses are dropped, its lock released, its waits ended. Its
    // messages that another session's lock keeps out are dropped (now, or when another session takes the
    // lock before they run); the others still run, as they would on any instrument, their responses
    // unread. A session whose presence says it has gone departs the same way (and Close()s later).
    void Close(SessionId id);
    bool IsOpen(SessionId id) const;

    // Bytes of program messages. A line feed ends a message (a carriage return before it is dropped);
    // so does `end` (VXI-11's END flag). Complete messages are queued to run in order. Waits as long as
    // it takes for room in the session's queue (see kMaxQueuedMessages).
    WaitResult Input(SessionId id, std::string_view bytes, bool end);
    // The same, waiting up to `roomWait` for room (watching `presence`, when given); what was taken by
    // then stays taken.
    InputResult Input(SessionId id, std::string_view bytes, bool end, std::chrono::milliseconds roomWait,
                      ClientPresence* presence);

    // Stream delivery: waits until every message queued so far has run and returns the responses
    // they produced (possibly none), each ending in a line feed.
    ReadResult WaitForResponses(SessionId id);
    // The same, giving up with TimedOut after `timeout` (the messages stay queued).
    ReadResult WaitForResponses(SessionId id, std::chrono::milliseconds timeout);
    // The same, watching the client: once it has gone the session departs, the wait goes on for its
    // messages that still run, and their responses come with Gone (a half-closed client may still take
    // them).
    ReadResult WaitForResponses(SessionId id, ClientPresence& presence);

    // OnRead delivery: up to `maxBytes` of the current response, waiting up to `timeout` for the
    // messages queued or running to finish. A read with nothing queued and nothing to read is a query
    // unterminated (-420) and returns TimedOut at once. `termChar` < 0: none. A read that times out or
    // is aborted gives up on the responses it waited for: they are dropped when they come.
    ReadResult Read(SessionId id, std::size_t maxBytes, std::chrono::milliseconds timeout, int termChar,
                    ClientPresence* presence = nullptr);

    // IEEE 488.2 status byte (with MAV), without waiting for the module.
    std::uint8_t StatusByte(SessionId id);
    // Who to tell when the session's status byte comes to ask for service; an empty handler: no one.
    void SetServiceRequestHandler(SessionId id, ServiceRequestHandler handler);

    // Device clear: the session's input, queued messages and unread response are dropped.
    void Clear(SessionId id);

    // The lock over the whole module. Waits up to `timeout` when `wait` is set; a client that has gone
    // is never granted it.
    WaitResult Lock(SessionId id, bool wait, std::chrono::milliseconds timeout, ClientPresence* presence = nullptr);
    // False when the session holds no lock.
    bool Unlock(SessionId id);
    // A shared lock: the sessions holding it under one key run together while every other session waits
    // (HiSLIP's shared lock). The exclusive lock (Lock) is granted while no other session holds it and the
    // shared lock is free or held by this session too; it then keeps the other sharers out until released.
    // A shared lock under another key waits for the holders to release theirs. A client that has gone is
    // never granted it.
    WaitResult LockShared(SessionId id, std::string_view key, bool wait, std::chrono::milliseconds timeout,
                          ClientPresence* presence = nullptr);
    // False when the session holds no shared lock.
    bool UnlockShared(SessionId id);
    LockSummary Locks() const;
    // Whether a message from this session could run now as far as the lock goes, waiting up to
    // `timeout` for another holder to release it when `wait` is set.
    WaitResult WaitUntilUnlocked(SessionId id, bool wait, std::chrono::milliseconds timeout,
                                 ClientPresence* presence = nullptr);

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
    case Transport::Hislip: return "HiSLIP";
    case Transport::Web: return "web";
    case Transport::Internal: return "vornlan";
    }
    return "?";
}
