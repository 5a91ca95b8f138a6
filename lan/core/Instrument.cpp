#include "Instrument.h"

#include "Log.h"
#include "ModuleLink.h"
#include "MessageRun.h"
#include "SlimSync.h"
#include "Text.h"
#include "TrafficHistory.h"

#include <bcrypt.h>
#include <objbase.h>

#include <algorithm>
#include <deque>
#include <exception>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A message whose caller waits for its record (Execute).
struct Awaited {
    bool done = false;
    MessageRecord record;
};

// A message waiting to run, numbered in the order its session queued it.
struct QueuedMessage {
    std::string message;
    std::uint64_t number = 0;
    std::shared_ptr<Awaited> awaited; // null: the response goes to the session's output
};

struct Session {
    SessionId id = 0;
    ClientInfo client;
    Delivery delivery = Delivery::Stream;
    std::int64_t sinceUnixMillis = 0;
    std::uint64_t opened = 0; // its place among the sessions opened

    std::string input;       // the message being received
    bool discarding = false; // the rest of an over-long message is being dropped
    std::deque<QueuedMessage> queued;
    std::size_t queuedBytes = 0;
    bool running = false;             // one of its messages is running now
    std::uint64_t lastNumber = 0;     // the last message queued
    std::uint64_t discardThrough = 0; // responses of messages numbered up to this are dropped
    std::string output;               // responses not yet taken
    std::uint64_t aborts = 0;
    bool departed = false; // its client has gone: never granted the lock, nothing of it waits for one
    bool closed = false;
    bool requesting = false; // RQS as last noted: a service request is told when it rises

    std::deque<std::string> errors;
    std::uint8_t eventStatus = 0;
    std::uint8_t eventEnable = 0;
    std::uint8_t serviceEnable = 0;
    ServiceRequestHandler serviceRequest;

    std::size_t Pending() const noexcept { return queued.size() + (running ? 1 : 0); }
    bool HasRoom() const noexcept
    {
        return queued.size() < Instrument::kMaxQueuedMessages && queuedBytes < Instrument::kMaxQueuedBytes;
    }
};

struct Job {
    std::shared_ptr<Session> session;
    QueuedMessage message;
};

std::int64_t UnixMillisNow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

ReadResult Outcome(WaitResult status)
{
    ReadResult result;
    result.status = status;
    return result;
}

// The end of a wait of `timeout`; none for the longest one.
std::optional<Clock::time_point> DeadlineAfter(std::chrono::milliseconds timeout)
{
    if (timeout >= std::chrono::milliseconds(std::chrono::hours(24 * 365)))
        return std::nullopt;
    return Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
}

// Session ids: a counter through a keyed permutation of 32 bits (a four-round Feistel network), so an
// id is never repeated while the program runs and one seen tells nothing of the next. The key comes
// from the system's random numbers.
class IdSequence {
public:
    explicit IdSequence(Log& log)
    {
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(keys_), sizeof keys_,
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            // Still unique; guessable only by one who knows when and as which process vornlan started.
            log.Line("no random numbers from the system: link ids are derived from the start time");
            LARGE_INTEGER now{};
            QueryPerformanceCounter(&now);
            const std::uint64_t seed = static_cast<std::uint64_t>(now.QuadPart) ^ (std::uint64_t{GetCurrentProcessId()} << 32);
            for (int round = 0; round < kRounds; ++round)
                keys_[round] = static_cast<std::uint32_t>((seed >> (round * 8)) * 0x9E3779B1u + round);
        }
    }

    SessionId Next() noexcept
    {
        for (;;) {
            const SessionId id = Permute(++counter_);
            if (id != 0)
                return id;
        }
    }

private:
    static constexpr int kRounds = 4;

    static std::uint32_t Round(std::uint32_t half, std::uint32_t key) noexcept
    {
        std::uint32_t x = (half ^ key) * 0x7FEB352Du;
        x ^= x >> 15;
        x *= 0x846CA68Bu;
        x ^= x >> 16;
        return x & 0xFFFFu;
    }

    SessionId Permute(std::uint32_t value) const noexcept
    {
        std::uint32_t left = value >> 16;
        std::uint32_t right = value & 0xFFFFu;
        for (int round = 0; round < kRounds; ++round)
            left = std::exchange(right, left ^ Round(right, keys_[round]));
        return left << 16 | right;
    }

    std::uint32_t keys_[kRounds] = {};
    std::uint32_t counter_ = 0;
};

} // namespace

struct Instrument::State {
    State(Log& log, TrafficHistory* history, ModuleFactory makeModule)
        : log(log), history(history), makeModule(std::move(makeModule)), ids(log)
    {
    }

    Log& log;
    TrafficHistory* const history;
    const ModuleFactory makeModule;
    mutable SlimMutex mutex;
    SlimCondition changed;
    std::map<SessionId, std::shared_ptr<Session>> sessions;
    // The sessions with messages waiting to run (closed ones too), served in turn by id.
    std::map<SessionId, std::shared_ptr<Session>> waiting;
    SessionId lastServed = 0;
    // Service requests to tell, in the order their sessions' status bytes rose, with the status byte then.
    std::deque<std::pair<std::shared_ptr<Session>, std::uint8_t>> serviceDue;
    SessionId lockHolder = 0;       // the exclusive lock's
    std::set<SessionId> sharers;     // the shared lock's holders
    std::string sharedKey;           // and the key they hold it under
    IdSequence ids;
    std::uint64_t openedCount = 0;
    bool stopping = false;
    std::thread executor;

    // The identity: the last *IDN? reply seen, and when vornlan last asked itself.
    ModuleIdentity identity;
    bool identityAsked = false;
    bool identityAsking = false;
    std::chrono::steady_clock::time_point identityAskedAt;

    std::shared_ptr<Session> Find(SessionId id) const
    {
        const auto it = sessions.find(id);
        return it == sessions.end() ? nullptr : it->second;
    }

    void PushError(Session& session, ScpiError error, std::string_view detail)
    {
        session.eventStatus |= EventBit(error);
        if (session.errors.size() >= kErrorQueueLength) {
            session.errors.back() = ErrorEntry(ScpiError::QueueOverflow, {});
            session.eventStatus |= EventBit(ScpiError::QueueOverflow);
            return;
        }
        session.errors.push_back(ErrorEntry(error, detail));
    }

    static std::uint8_t StatusByte(const Session& session)
    {
        std::uint8_t status = 0;
        if (!session.errors.empty())
            status |= stb::kErrorQueue;
        if (!session.output.empty())
            status |= stb::kMessageAvailable;
        if (session.eventStatus & session.eventEnable)
            status |= stb::kEventStatus;
        if (status & session.serviceEnable)
            status |= stb::kRequestService;
        return status;
    }

    // After the session's status may have changed: a rise of RQS is queued for the executor to tell.
    // A running message's changes are noted once it has run, so that a message is one step.
    void NoteStatus(Session& session)
    {
        if (session.running)
            return;
        const std::uint8_t statusByte = StatusByte(session);
        const bool requesting = (statusByte & stb::kRequestService) != 0;
        if (requesting && !session.requesting && session.serviceRequest && !session.departed) {
            if (const auto shared = Find(session.id)) {
                serviceDue.emplace_back(shared, statusByte);
                changed.notify_all();
            }
        }
        session.requesting = requesting;
    }

    void Queue(Session& session, std::string message, std::shared_ptr<Awaited> awaited = nullptr)
    {
        if (message.empty())
            return;
        if (session.delivery == Delivery::OnRead && !session.output.empty()) {
            session.output.clear();
            PushError(session, ScpiError::QueryInterrupted, "a new message came before the response was read");
        }
        session.queuedBytes += message.size();
        session.queued.push_back(QueuedMessage{std::move(message), ++session.lastNumber, std::move(awaited)});
        waiting.emplace(session.id, sessions.at(session.id));
        changed.notify_all();
    }

    // Takes one byte of a program message; a message it completes is queued.
    void Take(Session& s, char c)
    {
        if (s.discarding) {
            s.discarding = c != '\n';
            return;
        }
        if (c == '\n') {
            std::string message = std::exchange(s.input, std::string());
            if (!message.empty() && message.back() == '\r')
                message.pop_back();
            Queue(s, std::move(message));
            return;
        }
        s.input += c;
        if (s.input.size() > kMaxMessageLength) {
            s.input.clear();
            s.discarding = true;
            PushError(s, ScpiError::TooMuchData, "a message is limited to " + std::to_string(kMaxMessageLength) + " bytes");
        }
    }

    // Drops what the session has queued but not started.
    void DropQueued(Session& session)
    {
        session.queued.clear();
        session.queuedBytes = 0;
        waiting.erase(session.id);
        changed.notify_all();
    }

    // The session's responses so far, and those of the messages queued now, are dropped.
    static void GiveUpResponses(Session& session)
    {
        session.output.clear();
        session.discardThrough = session.lastNumber;
    }

    // The exclusive holder alone; else, while the shared lock is held, its holders; else anyone.
    bool MayRun(SessionId id) const
    {
        if (lockHolder != 0)
            return lockHolder == id;
        return sharers.empty() || sharers.count(id) != 0;
    }
    bool ExclusiveFreeFor(SessionId id) const
    {
        return (lockHolder == 0 || lockHolder == id) && (sharers.empty() || sharers.count(id) != 0);
    }
    bool SharedFreeFor(SessionId id, std::string_view key) const
    {
        return (lockHolder == 0 || lockHolder == id) && (sharers.empty() || sharedKey == key);
    }

    // The client has gone: it is never granted the lock, its own is released, and what it queued that
    // another's lock keeps out won't run (the executor drops more, should another take the lock first).
    void Depart(Session& session)
    {
        session.departed = true;
        session.serviceRequest = nullptr;
        if (lockHolder == session.id)
            lockHolder = 0;
        sharers.erase(session.id);
        if (!MayRun(session.id))
            DropQueued(session);
        changed.notify_all();
    }

    void CloseSession(Session& session)
    {
        Depart(session);
        session.closed = true;
        session.input.clear();
        session.output.clear();
        sessions.erase(session.id);
        changed.notify_all();
    }

    // Waits until `ready`, the deadline (none: no end) or the client's departure, asking `presence`
    // (when given) every kPresencePeriod without the lock held. Gone: the session has departed.
    template <typename Ready>
    WaitResult Await(std::unique_lock<SlimMutex>& lock, Session& session, ClientPresence* presence,
                     std::optional<Clock::time_point> deadline, Ready ready)
    {
        auto nextProbe = Clock::now() + kPresencePeriod;
        while (!ready()) {
            const auto now = Clock::now();
            if (deadline && now >= *deadline)
                return WaitResult::TimedOut;
            if (presence && now >= nextProbe) {
                lock.unlock();
                const bool gone = presence->Gone();
                lock.lock();
                if (gone) {
                    Depart(session);
                    return WaitResult::Gone;
                }
                nextProbe = Clock::now() + kPresencePeriod;
                continue;
            }
            auto until = presence ? nextProbe : Clock::time_point::max();
            if (deadline)
                until = std::min(until, *deadline);
            const auto step = until == Clock::time_point::max()
                                  ? std::chrono::milliseconds(std::chrono::hours(24))
                                  : std::chrono::ceil<std::chrono::milliseconds>(until - now);
            changed.wait_for(lock, step, ready);
        }
        return WaitResult::Done;
    }

    // After a wait for the lock: one last look, so a client that left meanwhile isn't served.
    WaitResult StillThere(std::unique_lock<SlimMutex>& lock, Session& session, ClientPresence* presence)
    {
        if (!presence)
            return WaitResult::Done;
        lock.unlock();
        const bool gone = presence->Gone();
        lock.lock();
        if (!gone)
            return WaitResult::Done;
        Depart(session);
        return WaitResult::Gone;
    }

    // Grants a lock once `free` holds (`take` records it), waiting as Lock() says.
    template <typename Free, typename Take>
    WaitResult Acquire(SessionId id, bool wait, std::chrono::milliseconds timeout, ClientPresence* presence,
                       Free free, Take take)
    {
        std::unique_lock lock(mutex);
        const auto session = Find(id);
        if (!session)
            return WaitResult::NoSession;
        if (session->departed)
            return WaitResult::Gone;
        if (free()) {
            take();
            changed.notify_all();
            return WaitResult::Done;
        }
        if (!wait)
            return WaitResult::Locked;
        const std::uint64_t aborts = session->aborts;
        for (;;) {
            const WaitResult waited = Await(lock, *session, presence, DeadlineAfter(timeout), [&] {
                return free() || session->closed || stopping || session->aborts != aborts;
            });
            if (session->closed || stopping || session->aborts != aborts)
                return WaitResult::Aborted;
            if (waited != WaitResult::Done)
                return waited == WaitResult::TimedOut ? WaitResult::Locked : waited;
            if (const WaitResult there = StillThere(lock, *session, presence); there != WaitResult::Done)
                return there;
            // Another waiter may have taken it while this one looked.
            if (free()) {
                take();
                changed.notify_all();
                return WaitResult::Done;
            }
        }
    }

    std::optional<Job> NextJob();
    void RunMessages();
    // Calls the handler; whatever it throws is logged, never the executor's end.
    void TellServiceRequest(const ServiceRequestHandler& notify, std::uint8_t statusByte) noexcept;
};

namespace {

// Notes the session's status when a call that may have changed it returns (declared after the lock,
// so that it runs with the lock held).
class NoteStatusOnExit {
public:
    NoteStatusOnExit(Instrument::State& state, Session& session) : state_(state), session_(session) {}
    NoteStatusOnExit(const NoteStatusOnExit&) = delete;
    NoteStatusOnExit& operator=(const NoteStatusOnExit&) = delete;
    ~NoteStatusOnExit() { state_.NoteStatus(session_); }

private:
    Instrument::State& state_;
    Session& session_;
};

// The running message's view of its client's status, each step under the instrument's lock.
class LockedStatus final : public ClientStatus {
public:
    LockedStatus(Instrument::State& state, Session& session) : state_(state), session_(session) {}

    void PushError(ScpiError error, std::string_view detail) override
    {
        std::lock_guard lock(state_.mutex);
        state_.PushError(session_, error, detail);
    }
    std::optional<std::string> PopError() override
    {
        std::lock_guard lock(state_.mutex);
        if (session_.errors.empty())
            return std::nullopt;
        std::string entry = std::move(session_.errors.front());
        session_.errors.pop_front();
        return entry;
    }
    void ClearStatus() override
    {
        std::lock_guard lock(state_.mutex);
        session_.errors.clear();
        session_.eventStatus = 0;
    }
    std::uint8_t TakeEventStatus() override
    {
        std::lock_guard lock(state_.mutex);
        return std::exchange(session_.eventStatus, std::uint8_t{0});
    }
    void SetEventEnable(std::uint8_t mask) override
    {
        std::lock_guard lock(state_.mutex);
        session_.eventEnable = mask;
    }
    std::uint8_t EventEnable() override
    {
        std::lock_guard lock(state_.mutex);
        return session_.eventEnable;
    }
    void SetServiceEnable(std::uint8_t mask) override
    {
        std::lock_guard lock(state_.mutex);
        session_.serviceEnable = mask & ~stb::kRequestService;
    }
    std::uint8_t ServiceEnable() override
    {
        std::lock_guard lock(state_.mutex);
        return session_.serviceEnable;
    }
    std::uint8_t StatusByte() override
    {
        std::lock_guard lock(state_.mutex);
        return Instrument::State::StatusByte(session_);
    }
    void OperationComplete() override
    {
        std::lock_guard lock(state_.mutex);
        session_.eventStatus |= esr::kOperationComplete;
    }

private:
    Instrument::State& state_;
    Session& session_;
};

// COM for the thread that owns the server object.
class Apartment {
public:
    Apartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;
    ~Apartment()
    {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }
    HRESULT Result() const noexcept { return result_; }

private:
    HRESULT result_;
};

} // namespace

// The sessions take turns: the next message is the first one that may run of the session after the
// last one served (by id, round the ring), so a client's message waits at most one message of each
// other client however many they queued. A departed session's messages that another's lock keeps out
// are dropped on the way.
std::optional<Job> Instrument::State::NextJob()
{
    if (waiting.empty())
        return std::nullopt;
    std::vector<std::shared_ptr<Session>> turn;
    turn.reserve(waiting.size());
    for (auto at = waiting.upper_bound(lastServed); at != waiting.end(); ++at)
        turn.push_back(at->second);
    for (auto at = waiting.begin(); at != waiting.end() && at->first <= lastServed; ++at)
        turn.push_back(at->second);
    for (const std::shared_ptr<Session>& session : turn) {
        if (!MayRun(session->id)) {
            if (session->departed)
                DropQueued(*session);
            continue;
        }
        Job job{session, std::move(session->queued.front())};
        session->queued.pop_front();
        session->queuedBytes -= job.message.message.size();
        if (session->queued.empty())
            waiting.erase(session->id);
        lastServed = session->id;
        return job;
    }
    return std::nullopt;
}

void Instrument::State::TellServiceRequest(const ServiceRequestHandler& notify, std::uint8_t statusByte) noexcept
{
    std::string why;
    try {
        notify(statusByte);
        return;
    } catch (const std::exception& e) {
        why = e.what();
    } catch (...) {
        why = "an unknown exception";
    }
    try {
        log.Line("a service request could not be sent: " + why);
    } catch (...) {
        // Nowhere to say it: the request is lost, the executor goes on.
    }
}

void Instrument::State::RunMessages()
{
    const Apartment apartment;
    if (FAILED(apartment.Result()))
        log.Line("COM could not be started for the module's thread; every message will fail");
    const std::unique_ptr<ModuleLink> module = makeModule();
    std::unique_lock lock(mutex);
    while (!stopping) {
        if (!serviceDue.empty()) {
            auto [session, statusByte] = std::move(serviceDue.front());
            serviceDue.pop_front();
            // Copied now: a session closed since it rose tells no one.
            ServiceRequestHandler notify = session->departed ? nullptr : session->serviceRequest;
            session.reset();
            if (notify) {
                lock.unlock();
                TellServiceRequest(notify, statusByte);
                notify = nullptr; // what it captured goes without the lock held
                lock.lock();
            }
            continue;
        }
        std::optional<Job> job = NextJob();
        if (!job) {
            changed.wait(lock);
            continue;
        }
        Session& session = *job->session;
        session.running = true;
        changed.notify_all(); // room in its queue
        lock.unlock();

        // Whatever a message throws ends that message with an execution error, never the thread: the
        // module and every other client go on.
        MessageRecord record;
        std::optional<std::string> failure;
        try {
            LockedStatus status(*this, session);
            record = RunProgramMessage(job->message.message, status, *module);
            if (history)
                history->Add(TrafficEntry{0, UnixMillisNow(), session.id, session.client.peer,
                                          TransportName(session.client.transport),
                                          text::Bounded(job->message.message), record});
        } catch (const std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "an unknown exception";
        }

        lock.lock();
        session.running = false;
        if (failure) {
            try {
                log.Line("client " + session.client.peer + ": a message failed: " + *failure);
                PushError(session, ScpiError::ExecutionError, "vornlan could not run the message: " + *failure);
                record = MessageRecord();
            } catch (...) {
                // Not even the error could be kept: the client's connection ends instead.
                if (!session.closed)
                    CloseSession(session);
            }
        }
        if (record.identityReply)
            if (auto seen = ParseIdentity(*record.identityReply))
                identity = std::move(*seen);
        if (const auto& awaited = job->message.awaited) {
            awaited->done = true;
            awaited->record = std::move(record);
        } else if (!session.closed && job->message.number > session.discardThrough && !record.response.empty()) {
            if (session.delivery == Delivery::OnRead && !session.output.empty())
                PushError(session, ScpiError::QueryInterrupted, "a new response came before the last was read");
            if (session.delivery == Delivery::OnRead)
                session.output = std::move(record.response);
            else
                session.output += record.response;
        }
        // A service request when the message made the status byte ask for one (IEEE 488.2's rising RQS).
        NoteStatus(session);
        job.reset();
        changed.notify_all();
    }
    lock.unlock();
    module->Release();
}

Instrument::Instrument(Log& log, TrafficHistory* history)
    : Instrument(log, history, [] { return std::make_unique<ComModuleLink>(); })
{
}

Instrument::Instrument(Log& log, TrafficHistory* history, ModuleFactory makeModule)
    : state_(std::make_unique<State>(log, history, std::move(makeModule)))
{
}

Instrument::~Instrument()
{
    Stop();
}

void Instrument::Start()
{
    std::lock_guard lock(state_->mutex);
    if (state_->executor.joinable())
        return;
    state_->stopping = false;
    state_->executor = std::thread([state = state_.get()] { state->RunMessages(); });
}

void Instrument::Halt()
{
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    for (const auto& [id, session] : state_->waiting) {
        session->queued.clear();
        session->queuedBytes = 0;
    }
    state_->waiting.clear();
    state_->serviceDue.clear();
    state_->lockHolder = 0;
    state_->sharers.clear();
    state_->changed.notify_all();
}

void Instrument::Stop()
{
    Halt();
    if (state_->executor.joinable())
        state_->executor.join();
}

SessionId Instrument::Open(const ClientInfo& client, Delivery delivery)
{
    std::lock_guard lock(state_->mutex);
    auto session = std::make_shared<Session>();
    session->id = state_->ids.Next();
    session->client = client;
    session->delivery = delivery;
    session->sinceUnixMillis = UnixMillisNow();
    session->opened = ++state_->openedCount;
    state_->sessions.emplace(session->id, session);
    return session->id;
}

void Instrument::Close(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    if (const auto session = state_->Find(id))
        state_->CloseSession(*session);
}

bool Instrument::IsOpen(SessionId id) const
{
    std::lock_guard lock(state_->mutex);
    return state_->Find(id) != nullptr;
}

WaitResult Instrument::Input(SessionId id, std::string_view bytes, bool end)
{
    return Input(id, bytes, end, std::chrono::milliseconds::max(), nullptr).status;
}

InputResult Instrument::Input(SessionId id, std::string_view bytes, bool end, std::chrono::milliseconds roomWait,
                              ClientPresence* presence)
{
    std::unique_lock lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return {WaitResult::NoSession, 0};
    Session& s = *session;
    const NoteStatusOnExit note(*state_, s);
    const auto deadline = DeadlineAfter(roomWait);
    std::size_t taken = 0;
    for (;;) {
        if (s.closed || state_->stopping)
            return {WaitResult::Aborted, taken};
        if (s.departed)
            return {WaitResult::Gone, taken};
        // END on a message being dropped for its length ends the dropping; nothing is queued.
        const bool endsMessage = end && taken == bytes.size() && !s.discarding && !s.input.empty();
        if (taken == bytes.size() && !endsMessage)
            break;
        if (!s.HasRoom()) {
            const WaitResult room = state_->Await(lock, s, presence, deadline, [&] {
                return s.HasRoom() || s.closed || s.departed || state_->stopping;
            });
            if (room != WaitResult::Done)
                return {room, taken};
            continue;
        }
        while (taken < bytes.size() && s.HasRoom())
            state_->Take(s, bytes[taken++]);
        if (endsMessage)
            state_->Queue(s, std::exchange(s.input, std::string()));
    }
    if (end)
        s.discarding = false;
    return {WaitResult::Done, taken};
}

ReadResult Instrument::WaitForResponses(SessionId id)
{
    return WaitForResponses(id, std::chrono::milliseconds::max());
}

ReadResult Instrument::WaitForResponses(SessionId id, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return Outcome(WaitResult::NoSession);
    const NoteStatusOnExit note(*state_, *session);
    const std::uint64_t aborts = session->aborts;
    const WaitResult waited = state_->Await(lock, *session, nullptr, DeadlineAfter(timeout), [&] {
        return session->Pending() == 0 || session->closed || state_->stopping || session->aborts != aborts;
    });
    if (waited == WaitResult::TimedOut)
        return Outcome(WaitResult::TimedOut);
    if (session->closed || state_->stopping)
        return Outcome(WaitResult::Aborted);
    ReadResult result;
    result.data = std::exchange(session->output, std::string());
    result.end = true;
    return result;
}

ReadResult Instrument::WaitForResponses(SessionId id, ClientPresence& presence)
{
    std::unique_lock lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return Outcome(WaitResult::NoSession);
    const NoteStatusOnExit note(*state_, *session);
    const std::uint64_t aborts = session->aborts;
    const auto finished = [&] {
        return session->Pending() == 0 || session->closed || state_->stopping || session->aborts != aborts;
    };
    WaitResult waited = session->departed ? WaitResult::Gone
                                          : state_->Await(lock, *session, &presence, std::nullopt, finished);
    if (waited == WaitResult::Gone) {
        // What still runs is what the client sent while it could: its responses may yet reach it.
        state_->Await(lock, *session, nullptr, std::nullopt, finished);
    }
    if (session->closed || state_->stopping)
        return Outcome(WaitResult::Aborted);
    ReadResult result;
    result.status = waited;
    result.data = std::exchange(session->output, std::string());
    result.end = true;
    return result;
}

ReadResult Instrument::Read(SessionId id, std::size_t maxBytes, std::chrono::milliseconds timeout, int termChar,
                            ClientPresence* presence)
{
    std::unique_lock lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return Outcome(WaitResult::NoSession);
    const NoteStatusOnExit note(*state_, *session);
    if (session->output.empty() && session->Pending() == 0) {
        state_->PushError(*session, ScpiError::QueryUnterminated, "read with no response to come");
        return Outcome(WaitResult::TimedOut);
    }
    // A read answers once every message written before it has run: the response is the last one's,
    // and one it replaced unread was reported as interrupted (-410) whatever the timing.
    const std::uint64_t aborts = session->aborts;
    const WaitResult waited = state_->Await(lock, *session, presence, DeadlineAfter(timeout), [&] {
        return session->Pending() == 0 || session->closed || state_->stopping || session->aborts != aborts;
    });
    if (session->closed || state_->stopping)
        return Outcome(WaitResult::Aborted);
    if (waited == WaitResult::Gone)
        return Outcome(WaitResult::Gone);
    if (session->aborts != aborts || waited == WaitResult::TimedOut) {
        // The client gave up on these responses: left behind, they would end its next message in -410.
        State::GiveUpResponses(*session);
        return Outcome(session->aborts != aborts ? WaitResult::Aborted : WaitResult::TimedOut);
    }
    if (session->output.empty()) {
        // The message ran and answered nothing.
        state_->PushError(*session, ScpiError::QueryUnterminated, "read with no response to come");
        return Outcome(WaitResult::TimedOut);
    }
    ReadResult result;
    size_t count = std::min(maxBytes, session->output.size());
    if (termChar >= 0) {
        const size_t at = session->output.find(static_cast<char>(termChar));
        if (at != std::string::npos && at < count) {
            count = at + 1;
            result.termCharSeen = true;
        }
    }
    result.data = session->output.substr(0, count);
    session->output.erase(0, count);
    result.end = session->output.empty();
    state_->changed.notify_all();
    return result;
}

std::uint8_t Instrument::StatusByte(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    const auto session = state_->Find(id);
    return session ? State::StatusByte(*session) : 0;
}

void Instrument::SetServiceRequestHandler(SessionId id, ServiceRequestHandler handler)
{
    std::lock_guard lock(state_->mutex);
    if (const auto session = state_->Find(id); session && !session->departed)
        session->serviceRequest = std::move(handler);
}

void Instrument::Clear(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return;
    const NoteStatusOnExit note(*state_, *session);
    state_->DropQueued(*session);
    session->input.clear();
    session->discarding = false;
    State::GiveUpResponses(*session);
    state_->changed.notify_all();
}

WaitResult Instrument::Lock(SessionId id, bool wait, std::chrono::milliseconds timeout, ClientPresence* presence)
{
    State& s = *state_;
    return s.Acquire(id, wait, timeout, presence, [&s, id] { return s.ExclusiveFreeFor(id); },
                     [&s, id] { s.lockHolder = id; });
}

bool Instrument::Unlock(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    if (state_->lockHolder != id || id == 0)
        return false;
    state_->lockHolder = 0;
    state_->changed.notify_all();
    return true;
}

WaitResult Instrument::LockShared(SessionId id, std::string_view key, bool wait, std::chrono::milliseconds timeout,
                                  ClientPresence* presence)
{
    State& s = *state_;
    return s.Acquire(id, wait, timeout, presence, [&s, id, key] { return s.SharedFreeFor(id, key); },
                     [&s, id, key] {
                         s.sharedKey = std::string(key);
                         s.sharers.insert(id);
                     });
}

bool Instrument::UnlockShared(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    if (state_->sharers.erase(id) == 0)
        return false;
    state_->changed.notify_all();
    return true;
}

LockSummary Instrument::Locks() const
{
    std::lock_guard lock(state_->mutex);
    std::size_t holders = state_->sharers.size();
    if (state_->lockHolder != 0 && state_->sharers.count(state_->lockHolder) == 0)
        ++holders;
    return {state_->lockHolder != 0, holders};
}

WaitResult Instrument::WaitUntilUnlocked(SessionId id, bool wait, std::chrono::milliseconds timeout,
                                         ClientPresence* presence)
{
    std::unique_lock lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return WaitResult::NoSession;
    if (session->departed)
        return WaitResult::Gone;
    if (state_->MayRun(id))
        return WaitResult::Done;
    if (!wait)
        return WaitResult::Locked;
    const std::uint64_t aborts = session->aborts;
    const WaitResult waited = state_->Await(lock, *session, presence, DeadlineAfter(timeout), [&] {
        return state_->MayRun(id) || session->closed || state_->stopping || session->aborts != aborts;
    });
    if (session->closed || state_->stopping || session->aborts != aborts)
        return WaitResult::Aborted;
    if (waited != WaitResult::Done)
        return waited == WaitResult::TimedOut ? WaitResult::Locked : waited;
    return state_->StillThere(lock, *session, presence);
}

Execution Instrument::Execute(SessionId id, std::string_view message, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return Execution{WaitResult::NoSession, {}};
    if (message.empty())
        return Execution{};
    auto awaited = std::make_shared<Awaited>();
    // One message a caller waits for: it needs no room of the queue's.
    state_->Queue(*session, std::string(message), awaited);
    const std::uint64_t aborts = session->aborts;
    const WaitResult waited = state_->Await(lock, *session, nullptr, DeadlineAfter(timeout), [&] {
        return awaited->done || session->closed || state_->stopping || session->aborts != aborts;
    });
    if (awaited->done)
        return Execution{WaitResult::Done, std::move(awaited->record)};
    return Execution{waited == WaitResult::TimedOut ? WaitResult::TimedOut : WaitResult::Aborted, {}};
}

ModuleIdentity Instrument::Identity(std::chrono::milliseconds wait)
{
    constexpr auto kAskAgainAfter = std::chrono::minutes(1);
    {
        std::lock_guard lock(state_->mutex);
        const auto now = std::chrono::steady_clock::now();
        if (state_->identity.known || state_->identityAsking ||
            (state_->identityAsked && now - state_->identityAskedAt < kAskAgainAfter))
            return state_->identity;
        state_->identityAsking = true;
        state_->identityAsked = true;
        state_->identityAskedAt = now;
    }
    // Asked as a client of its own; a module locked by another client or too busy to answer in time
    // leaves nothing known, and the next question waits a minute.
    const SessionId session = Open({"identity question", Transport::Internal}, Delivery::Stream);
    Execute(session, "*IDN?", wait);
    Close(session);
    std::lock_guard lock(state_->mutex);
    state_->identityAsking = false;
    return state_->identity;
}

std::vector<ClientSnapshot> Instrument::Clients() const
{
    std::lock_guard lock(state_->mutex);
    // In the order they opened: ids don't tell it.
    std::vector<const Session*> open;
    for (const auto& [id, session] : state_->sessions)
        open.push_back(session.get());
    std::sort(open.begin(), open.end(), [](const Session* a, const Session* b) { return a->opened < b->opened; });
    std::vector<ClientSnapshot> clients;
    for (const Session* session : open)
        clients.push_back({session->id, session->client, session->sinceUnixMillis, state_->lockHolder == session->id,
                           state_->sharers.count(session->id) != 0});
    return clients;
}

void Instrument::Abort(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    if (const auto session = state_->Find(id)) {
        ++session->aborts;
        state_->changed.notify_all();
    }
}
