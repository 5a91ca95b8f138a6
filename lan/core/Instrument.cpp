#include "Instrument.h"

#include "Log.h"
#include "ModuleLink.h"
#include "MessageRun.h"
#include "SlimSync.h"
#include "Text.h"
#include "TrafficHistory.h"

#include <objbase.h>

#include <algorithm>
#include <deque>
#include <map>
#include <thread>
#include <utility>

namespace {

struct Session {
    SessionId id = 0;
    ClientInfo client;
    Delivery delivery = Delivery::Stream;
    std::int64_t sinceUnixMillis = 0;

    std::string input;       // the message being received
    bool discarding = false; // the rest of an over-long message is being dropped
    size_t pending = 0;      // messages queued or running
    std::string output;      // responses not yet taken
    std::uint64_t aborts = 0;
    std::uint64_t clears = 0; // device clears so far: a response begun before one is dropped
    bool closed = false;

    std::deque<std::string> errors;
    std::uint8_t eventStatus = 0;
    std::uint8_t eventEnable = 0;
    std::uint8_t serviceEnable = 0;
};

// A message whose caller waits for its record (Execute).
struct Awaited {
    bool done = false;
    MessageRecord record;
};

struct Job {
    std::shared_ptr<Session> session;
    std::string message;
    std::shared_ptr<Awaited> awaited; // null: the response goes to the session's output
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

} // namespace

struct Instrument::State {
    State(Log& log, TrafficHistory* history) : log(log), history(history) {}

    Log& log;
    TrafficHistory* const history;
    mutable SlimMutex mutex;
    SlimCondition changed;
    std::map<SessionId, std::shared_ptr<Session>> sessions;
    std::deque<Job> jobs;
    SessionId lockHolder = 0;
    SessionId nextId = 1;
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

    void Queue(Session& session, std::string message, std::shared_ptr<Awaited> awaited = nullptr)
    {
        if (message.empty())
            return;
        if (session.delivery == Delivery::OnRead && !session.output.empty()) {
            session.output.clear();
            PushError(session, ScpiError::QueryInterrupted, "a new message came before the response was read");
        }
        ++session.pending;
        jobs.push_back(Job{sessions.at(session.id), std::move(message), std::move(awaited)});
        changed.notify_all();
    }

    // Drops what the session has queued but not started.
    void DropJobs(SessionId id)
    {
        const auto before = jobs.size();
        std::erase_if(jobs, [id](const Job& job) { return job.session->id == id; });
        if (const auto session = Find(id))
            session->pending -= before - jobs.size();
    }

    bool MayRun(SessionId id) const { return lockHolder == 0 || lockHolder == id; }

    void RunMessages();
};

namespace {

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

void Instrument::State::RunMessages()
{
    const Apartment apartment;
    if (FAILED(apartment.Result()))
        log.Line("COM could not be started for the module's thread; every message will fail");
    ModuleLink module;
    std::unique_lock lock(mutex);
    while (!stopping) {
        const auto job = std::find_if(jobs.begin(), jobs.end(), [this](const Job& j) { return MayRun(j.session->id); });
        if (job == jobs.end()) {
            changed.wait(lock);
            continue;
        }
        const std::shared_ptr<Session> session = job->session;
        const std::string message = std::move(job->message);
        const std::shared_ptr<Awaited> awaited = std::move(job->awaited);
        const std::uint64_t clears = session->clears;
        jobs.erase(job);
        lock.unlock();

        LockedStatus status(*this, *session);
        MessageRecord record = RunProgramMessage(message, status, module);
        if (history)
            history->Add(TrafficEntry{0, UnixMillisNow(), session->id, session->client.peer,
                                      TransportName(session->client.transport), text::Bounded(message), record});

        lock.lock();
        --session->pending;
        if (record.identityReply)
            if (auto seen = ParseIdentity(*record.identityReply))
                identity = std::move(*seen);
        if (awaited) {
            awaited->done = true;
            awaited->record = std::move(record);
        } else if (!session->closed && session->clears == clears && !record.response.empty()) {
            if (session->delivery == Delivery::OnRead && !session->output.empty())
                PushError(*session, ScpiError::QueryInterrupted, "a new response came before the last was read");
            if (session->delivery == Delivery::OnRead)
                session->output = std::move(record.response);
            else
                session->output += record.response;
        }
        changed.notify_all();
    }
    lock.unlock();
    module.Release();
}

Instrument::Instrument(Log& log, TrafficHistory* history) : state_(std::make_unique<State>(log, history)) {}

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
    for (const Job& job : state_->jobs)
        --job.session->pending;
    state_->jobs.clear();
    state_->lockHolder = 0;
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
    session->id = state_->nextId++;
    session->client = client;
    session->delivery = delivery;
    session->sinceUnixMillis = UnixMillisNow();
    state_->sessions.emplace(session->id, session);
    return session->id;
}

void Instrument::Close(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return;
    state_->DropJobs(id);
    session->closed = true;
    session->output.clear();
    if (state_->lockHolder == id)
        state_->lockHolder = 0;
    state_->sessions.erase(id);
    state_->changed.notify_all();
}

bool Instrument::IsOpen(SessionId id) const
{
    std::lock_guard lock(state_->mutex);
    return state_->Find(id) != nullptr;
}

WaitResult Instrument::Input(SessionId id, std::string_view bytes, bool end)
{
    std::lock_guard lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return WaitResult::NoSession;
    Session& s = *session;
    for (const char c : bytes) {
        if (s.discarding) {
            s.discarding = c != '\n';
            continue;
        }
        if (c == '\n') {
            std::string message = std::move(s.input);
            s.input.clear();
            if (!message.empty() && message.back() == '\r')
                message.pop_back();
            state_->Queue(s, std::move(message));
            continue;
        }
        s.input += c;
        if (s.input.size() > kMaxMessageLength) {
            s.input.clear();
            s.discarding = true;
            state_->PushError(s, ScpiError::TooMuchData,
                              "a message is limited to " + std::to_string(kMaxMessageLength) + " bytes");
        }
    }
    if (end) {
        if (s.discarding)
            s.discarding = false;
        else
            state_->Queue(s, std::exchange(s.input, std::string()));
    }
    return WaitResult::Done;
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
    const std::uint64_t aborts = session->aborts;
    const auto done = [&] {
        return session->pending == 0 || session->closed || state_->stopping || session->aborts != aborts;
    };
    if (timeout == std::chrono::milliseconds::max())
        state_->changed.wait(lock, done);
    else if (!state_->changed.wait_for(lock, timeout, done))
        return Outcome(WaitResult::TimedOut);
    if (session->closed || state_->stopping)
        return Outcome(WaitResult::Aborted);
    ReadResult result;
    result.data = std::exchange(session->output, std::string());
    result.end = true;
    return result;
}

ReadResult Instrument::Read(SessionId id, std::size_t maxBytes, std::chrono::milliseconds timeout, int termChar)
{
    std::unique_lock lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return Outcome(WaitResult::NoSession);
    if (session->output.empty() && session->pending == 0) {
        state_->PushError(*session, ScpiError::QueryUnterminated, "read with no response to come");
        return Outcome(WaitResult::TimedOut);
    }
    // A read answers once every message written before it has run: the response is the last one's,
    // and one it replaced unread was reported as interrupted (-410) whatever the timing.
    const std::uint64_t aborts = session->aborts;
    const bool ready = state_->changed.wait_for(lock, timeout, [&] {
        return session->pending == 0 || session->closed || state_->stopping || session->aborts != aborts;
    });
    if (session->closed || state_->stopping || session->aborts != aborts)
        return Outcome(WaitResult::Aborted);
    if (!ready)
        return Outcome(WaitResult::TimedOut);
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

void Instrument::Clear(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return;
    state_->DropJobs(id);
    session->input.clear();
    session->discarding = false;
    session->output.clear();
    ++session->clears;
    state_->changed.notify_all();
}

WaitResult Instrument::Lock(SessionId id, bool wait, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(state_->mutex);
    const WaitResult free = [&] {
        const auto session = state_->Find(id);
        if (!session)
            return WaitResult::NoSession;
        if (state_->lockHolder == 0 || state_->lockHolder == id)
            return WaitResult::Done;
        if (!wait)
            return WaitResult::Locked;
        const std::uint64_t aborts = session->aborts;
        const bool got = state_->changed.wait_for(lock, timeout, [&] {
            return state_->lockHolder == 0 || session->closed || state_->stopping || session->aborts != aborts;
        });
        if (session->closed || state_->stopping || session->aborts != aborts)
            return WaitResult::Aborted;
        return got ? WaitResult::Done : WaitResult::Locked;
    }();
    if (free == WaitResult::Done)
        state_->lockHolder = id;
    return free;
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

WaitResult Instrument::WaitUntilUnlocked(SessionId id, bool wait, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return WaitResult::NoSession;
    if (state_->MayRun(id))
        return WaitResult::Done;
    if (!wait)
        return WaitResult::Locked;
    const std::uint64_t aborts = session->aborts;
    const bool free = state_->changed.wait_for(lock, timeout, [&] {
        return state_->MayRun(id) || session->closed || state_->stopping || session->aborts != aborts;
    });
    if (session->closed || state_->stopping || session->aborts != aborts)
        return WaitResult::Aborted;
    return free ? WaitResult::Done : WaitResult::Locked;
}

Execution Instrument::Execute(SessionId id, std::string_view message, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(state_->mutex);
    const auto session = state_->Find(id);
    if (!session)
        return Execution{WaitResult::NoSession, {}};
    auto awaited = std::make_shared<Awaited>();
    state_->Queue(*session, std::string(message), awaited);
    if (message.empty())
        return Execution{};
    const std::uint64_t aborts = session->aborts;
    const bool done = state_->changed.wait_for(lock, timeout, [&] {
        return awaited->done || session->closed || state_->stopping || session->aborts != aborts;
    });
    if (awaited->done)
        return Execution{WaitResult::Done, std::move(awaited->record)};
    return Execution{done ? WaitResult::Aborted : WaitResult::TimedOut, {}};
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
    std::vector<ClientSnapshot> clients;
    for (const auto& [id, session] : state_->sessions)
        clients.push_back({id, session->client, session->sinceUnixMillis, state_->lockHolder == id});
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
