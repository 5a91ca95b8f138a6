// HiSLIP sessions: a synchronous and an asynchronous connection tied together by the 16-bit session id
// the server gave the first in its InitializeResponse. Each session is one session of the instrument
// (its own error queue and status), and ends, with its lock, when either connection does: the one that
// ends first shuts the other down.
#pragma once

#include "Instrument.h"
#include "Sockets.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

namespace lan::hislip {

class Session {
public:
    Session(std::uint16_t id, SessionId instrumentSession, std::uint16_t version)
        : id_(id), instrumentSession_(instrumentSession), version_(version)
    {
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::uint16_t Id() const noexcept { return id_; }
    SessionId InstrumentSession() const noexcept { return instrumentSession_; }
    std::uint16_t Version() const noexcept { return version_; }
    bool Paired() const noexcept { return paired_.load(); }

    // Sends on the asynchronous channel (its responses and service requests come from two threads).
    // False when the channel has gone or the send failed.
    bool SendAsync(std::string_view bytes);
    // An AsyncServiceRequest carrying `statusByte`, sent without ever blocking the caller (the
    // instrument's thread): when the channel is busy sending, its sender passes it on; when the client
    // reads nothing, it waits for room to come.
    void RequestService(std::uint8_t statusByte);

    // A response has gone out as DataEND and the client hasn't said it was delivered (RMT-delivered):
    // the status byte shows MAV meanwhile.
    std::atomic<bool> responsePending{false};
    // The largest message the client takes (AsyncMaxMsgSize); until it says, what VISA assumes.
    std::atomic<std::uint64_t> clientMaxMessage{1u << 20};

    // The synchronous channel's progress, for a lock's release: the client names the last message it sent
    // before it, and the lock is let go once that message has run. The synchronous channel tells when a
    // message has run (MessageDone) and when it waits for the next with nothing unread (Waiting).
    void MessageDone(std::uint32_t messageId);
    void Waiting(bool waiting);
    void ForgetMessages(); // device clear: the client numbers its messages anew
    // Waits, up to `most`, until the synchronous channel waits for a message, having run `messageId` (or
    // any, when the id names none it has seen).
    void AwaitMessage(std::uint32_t messageId, std::chrono::milliseconds most);

    // Between AsyncDeviceClear and DeviceClearComplete the synchronous channel discards what it gets
    // and sends no response. Responses are sent holding `clearMutex`, so none follows the clear.
    std::mutex clearMutex;
    bool clearing = false; // guarded by clearMutex

private:
    friend class Registry;
    void FlushServiceRequest();

    const std::uint16_t id_;
    const SessionId instrumentSession_;
    const std::uint16_t version_;
    std::atomic<bool> paired_{false};

    // The channels' sockets while their connections serve them, guarded by the registry's mutex; the
    // asynchronous one also by sendMutex_, held while sending on it.
    SOCKET sync_ = INVALID_SOCKET;
    SOCKET async_ = INVALID_SOCKET;
    bool registered_ = true;
    std::mutex sendMutex_;
    std::mutex requestMutex_;
    std::optional<std::uint8_t> request_; // a service request waiting to be sent

    std::mutex progressMutex_;
    std::condition_variable progressed_;
    bool waiting_ = false;
    bool ended_ = false;
    int awaiting_ = 0; // releases waiting
    std::optional<std::uint32_t> lastMessage_;
};

class Registry {
public:
    explicit Registry(Instrument& instrument);

    // A new session for a synchronous connection that sent Initialize: its instrument session opened for
    // `client`. Null when every session id is taken.
    std::shared_ptr<Session> Create(SOCKET sync, const ClientInfo& client, std::uint16_t version);
    // Ties an asynchronous connection to the session `id`. Null when there is no such session or it has
    // its asynchronous channel already.
    std::shared_ptr<Session> Attach(std::uint16_t id, SOCKET async);
    // A connection of the session ends (called by it before its socket is closed): the session leaves
    // the registry, its instrument session closes, the other connection is shut down.
    void End(Session& session, bool asyncChannel);
    std::size_t Size() const;

    Instrument& instrument;

private:
    mutable std::mutex mutex_;
    std::map<std::uint16_t, std::shared_ptr<Session>> sessions_;
    std::uint16_t next_;
};

} // namespace lan::hislip
