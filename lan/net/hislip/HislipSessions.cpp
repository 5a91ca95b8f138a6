#include "HislipSessions.h"

#include "HislipMessage.h"

#include <random>

namespace lan::hislip {

namespace {
// Whether a send of a few bytes would return at once: the client reads its channel.
bool Writable(SOCKET socket) noexcept
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
    timeval now{0, 0};
    return select(0, nullptr, &writable, nullptr, &now) == 1;
}
} // namespace

bool Session::SendAsync(std::string_view bytes)
{
    bool sent = false;
    {
        std::lock_guard send(sendMutex_);
        sent = async_ != INVALID_SOCKET && SendAll(async_, bytes);
    }
    FlushServiceRequest();
    return sent;
}

void Session::RequestService(std::uint8_t statusByte)
{
    {
        std::lock_guard lock(requestMutex_);
        request_ = statusByte;
    }
    FlushServiceRequest();
}

void Session::FlushServiceRequest()
{
    // Whoever holds the send lock flushes the request after its own send; one set meanwhile is seen
    // when the lock is let go, so none is left behind.
    for (;;) {
        std::unique_lock send(sendMutex_, std::try_to_lock);
        if (!send)
            return;
        std::optional<std::uint8_t> status;
        if (async_ != INVALID_SOCKET && Writable(async_)) {
            std::lock_guard lock(requestMutex_);
            status = std::exchange(request_, std::nullopt);
        }
        if (status) {
            const std::uint8_t mav = responsePending.load() ? 0x10 : 0;
            SendAll(async_, Message(Type::AsyncServiceRequest, static_cast<std::uint8_t>(*status | mav), 0));
        }
        send.unlock();
        std::lock_guard lock(requestMutex_);
        if (!request_ || !status)
            return;
    }
}

void Session::MessageDone(std::uint32_t messageId)
{
    std::lock_guard lock(progressMutex_);
    lastMessage_ = messageId;
}

void Session::Waiting(bool waiting)
{
    bool awaited = false;
    {
        std::lock_guard lock(progressMutex_);
        waiting_ = waiting;
        awaited = awaiting_ > 0;
    }
    // Told only to a release that waits: a query's round trip pays for no wake-up.
    if (waiting && awaited)
        progressed_.notify_all();
}

void Session::ForgetMessages()
{
    std::lock_guard lock(progressMutex_);
    lastMessage_.reset();
}

void Session::AwaitMessage(std::uint32_t messageId, std::chrono::milliseconds most)
{
    // Message ids rise by 2 and wrap around; one far ahead of the last seen names no message in flight.
    constexpr std::int32_t kInFlight = 1 << 20;
    std::unique_lock lock(progressMutex_);
    ++awaiting_;
    progressed_.wait_for(lock, most, [&] {
        if (ended_)
            return true;
        if (!waiting_)
            return false;
        if (!lastMessage_)
            return true;
        const auto ahead = static_cast<std::int32_t>(messageId - *lastMessage_);
        return ahead <= 0 || ahead > kInFlight;
    });
    --awaiting_;
}

Registry::Registry(Instrument& instrument) : instrument(instrument)
{
    // Session ids are not to be guessed from one's own.
    std::random_device random;
    next_ = static_cast<std::uint16_t>(random());
}

std::shared_ptr<Session> Registry::Create(SOCKET sync, const ClientInfo& client, std::uint16_t version)
{
    std::unique_lock lock(mutex_);
    if (sessions_.size() >= 0xFFFF)
        return nullptr;
    while (sessions_.count(next_) != 0)
        ++next_;
    const std::uint16_t id = next_;
    next_ = static_cast<std::uint16_t>(next_ + 0x9E37); // odd: visits every id before it repeats
    lock.unlock();
    auto session = std::make_shared<Session>(id, instrument.Open(client, Delivery::Stream), version);
    session->sync_ = sync;
    lock.lock();
    if (sessions_.count(id) != 0) { // taken meanwhile by another Create
        lock.unlock();
        instrument.Close(session->InstrumentSession());
        return Create(sync, client, version);
    }
    sessions_[id] = session;
    return session;
}

std::shared_ptr<Session> Registry::Attach(std::uint16_t id, SOCKET async)
{
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(mutex_);
        const auto at = sessions_.find(id);
        if (at == sessions_.end() || at->second->paired_.load() || !at->second->registered_)
            return nullptr;
        session = at->second;
        std::lock_guard send(session->sendMutex_);
        session->async_ = async;
        session->paired_ = true;
    }
    // The handler holds the session: the instrument drops it when the session closes.
    instrument.SetServiceRequestHandler(session->InstrumentSession(),
                                        [session](std::uint8_t statusByte) { session->RequestService(statusByte); });
    return session;
}

void Registry::End(Session& session, bool asyncChannel)
{
    {
        std::lock_guard lock(mutex_);
        // A socket is forgotten here by its own connection, before the listener closes it; the other
        // connection only shuts it down, while it is still known.
        if (asyncChannel) {
            std::lock_guard send(session.sendMutex_);
            session.async_ = INVALID_SOCKET;
        } else {
            session.sync_ = INVALID_SOCKET;
        }
        if (session.async_ != INVALID_SOCKET)
            shutdown(session.async_, SD_BOTH);
        if (session.sync_ != INVALID_SOCKET)
            shutdown(session.sync_, SD_BOTH);
        if (!session.registered_)
            return;
        session.registered_ = false;
        const auto at = sessions_.find(session.Id());
        if (at != sessions_.end() && at->second.get() == &session)
            sessions_.erase(at);
    }
    instrument.Close(session.InstrumentSession());
    {
        std::lock_guard lock(session.progressMutex_);
        session.ended_ = true;
    }
    session.progressed_.notify_all();
}

std::size_t Registry::Size() const
{
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

} // namespace lan::hislip
