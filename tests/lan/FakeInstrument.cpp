#include "FakeInstrument.h"

#include "Log.h"

#include <windows.h>

#include <algorithm>
#include <utility>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

struct FakeInstrumentState {
    struct Session {
        Delivery delivery = Delivery::Stream;
        std::string input;
        std::string responses;
        bool aborted = false;
        bool busy = false; // a BUSY? waits for Release()
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::map<SessionId, Session> sessions;
    std::vector<fake::Event> events;
    SessionId nextId = 1000;
    SessionId lockHolder = 0;
    std::set<SessionId> sharers;
    std::string sharedKey;
    std::map<SessionId, ServiceRequestHandler> serviceRequests;
    int waiting = 0;
    std::uint8_t statusByte = 0;
    std::size_t room = std::string::npos; // bytes an Input takes at most

    // As the instrument: the exclusive holder alone, else the shared lock's holders, else anyone.
    bool LockedAgainst(SessionId id) const
    {
        if (lockHolder != 0)
            return lockHolder != id;
        return !sharers.empty() && !sharers.count(id);
    }

    Session* Find(SessionId id)
    {
        const auto at = sessions.find(id);
        return at == sessions.end() ? nullptr : &at->second;
    }

    // Waits while `blocked` holds, for `timeout` at most, ending early on abort or close, or with Gone
    // when `presence` says so (asked every kPresencePeriod, as the instrument does).
    template <class Blocked>
    WaitResult Wait(std::unique_lock<std::mutex>& lock, SessionId id, std::chrono::milliseconds timeout,
                    Blocked blocked, ClientPresence* presence = nullptr)
    {
        ++waiting;
        events.push_back({"wait", id, std::to_string(timeout.count())});
        changed.notify_all();
        const auto deadline = std::chrono::steady_clock::now() + std::min(timeout, std::chrono::milliseconds(3600000));
        const auto over = [&] {
            Session* session = Find(id);
            return !session || session->aborted || !blocked();
        };
        bool done = false;
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            done = changed.wait_for(lock, std::min<std::chrono::nanoseconds>(deadline - now, kPresencePeriod), over);
            if (done || std::chrono::steady_clock::now() >= deadline)
                break;
            if (!presence)
                continue;
            lock.unlock();
            const bool gone = presence->Gone();
            lock.lock();
            if (gone) {
                --waiting;
                events.push_back({"gone", id, {}});
                return WaitResult::Gone;
            }
        }
        --waiting;
        Session* session = Find(id);
        if (!session)
            return WaitResult::NoSession;
        if (session->aborted) {
            session->aborted = false;
            return WaitResult::Aborted;
        }
        return done ? WaitResult::Done : WaitResult::TimedOut;
    }
};

struct Instrument::State : FakeInstrumentState {};

namespace {
std::map<const Instrument*, FakeInstrumentState*>& Registry()
{
    static std::map<const Instrument*, FakeInstrumentState*> registry;
    return registry;
}
std::mutex registryMutex;

FakeInstrumentState& StateOf(const Instrument& instrument)
{
    std::lock_guard lock(registryMutex);
    return *Registry().at(&instrument);
}

std::mutex logMutex;
std::vector<std::string> logLines;
} // namespace

Instrument::Instrument(Log&, TrafficHistory*) : state_(std::make_unique<State>())
{
    std::lock_guard lock(registryMutex);
    Registry()[this] = state_.get();
}

Instrument::~Instrument()
{
    std::lock_guard lock(registryMutex);
    Registry().erase(this);
}

void Instrument::Start()
{
}
void Instrument::Halt()
{
}
void Instrument::Stop()
{
}

SessionId Instrument::Open(const ClientInfo& client, Delivery delivery)
{
    std::lock_guard lock(state_->mutex);
    const SessionId id = state_->nextId++;
    state_->sessions[id].delivery = delivery;
    state_->events.push_back({"open", id, client.peer});
    return id;
}

void Instrument::Close(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    if (state_->sessions.erase(id) == 0)
        return;
    if (state_->lockHolder == id)
        state_->lockHolder = 0;
    state_->sharers.erase(id);
    state_->serviceRequests.erase(id);
    state_->events.push_back({"close", id, {}});
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
    FakeInstrumentState::Session* session = state_->Find(id);
    if (!session)
        return WaitResult::NoSession;
    session->input.append(bytes);
    for (;;) {
        const auto lineEnd = session->input.find('\n');
        if (lineEnd == std::string::npos && !(end && !session->input.empty()))
            break;
        const std::string message = session->input.substr(0, lineEnd);
        session->input.erase(0, lineEnd == std::string::npos ? std::string::npos : lineEnd + 1);
        state_->events.push_back({"message", id, message});
        if (session->delivery == Delivery::OnRead)
            session->responses.clear();
        if (message == "BUSY?")
            session->busy = true;
        if (!message.empty() && message.back() == '?')
            session->responses += message + "=ok\n";
        if (lineEnd == std::string::npos)
            break;
    }
    state_->changed.notify_all();
    return WaitResult::Done;
}

InputResult Instrument::Input(SessionId id, std::string_view bytes, bool end, std::chrono::milliseconds,
                              ClientPresence*)
{
    std::size_t room = 0;
    {
        std::lock_guard lock(state_->mutex);
        room = state_->room;
    }
    const std::string_view taken = bytes.substr(0, room);
    const WaitResult status = Input(id, taken, end && taken.size() == bytes.size());
    if (status != WaitResult::Done)
        return {status, 0};
    return {taken.size() == bytes.size() ? WaitResult::Done : WaitResult::TimedOut, taken.size()};
}

ReadResult Instrument::WaitForResponses(SessionId id, ClientPresence& presence)
{
    std::unique_lock lock(state_->mutex);
    ReadResult result;
    if (!state_->Find(id)) {
        result.status = WaitResult::NoSession;
        return result;
    }
    result.status = state_->Wait(lock, id, std::chrono::hours(1), [&] { return state_->Find(id)->busy; }, &presence);
    if (FakeInstrumentState::Session* now = state_->Find(id)) {
        result.data = std::exchange(now->responses, {});
        result.end = true;
    }
    return result;
}

ReadResult Instrument::WaitForResponses(SessionId id)
{
    return WaitForResponses(id, std::chrono::hours(1));
}

ReadResult Instrument::WaitForResponses(SessionId id, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(state_->mutex);
    ReadResult result;
    FakeInstrumentState::Session* session = state_->Find(id);
    if (!session) {
        result.status = WaitResult::NoSession;
        return result;
    }
    result.status = state_->Wait(lock, id, timeout, [&] { return state_->Find(id)->busy; });
    if (FakeInstrumentState::Session* now = state_->Find(id)) {
        result.data = std::exchange(now->responses, {});
        result.end = true;
    }
    return result;
}

Execution Instrument::Execute(SessionId id, std::string_view message, std::chrono::milliseconds timeout)
{
    const WaitResult taken = Input(id, message, true);
    if (taken != WaitResult::Done)
        return Execution{taken, {}};
    const ReadResult reply = WaitForResponses(id, timeout);
    Execution run{reply.status, {}};
    run.record.response = reply.data;
    return run;
}

ModuleIdentity Instrument::Identity(std::chrono::milliseconds)
{
    return ModuleIdentity{"VORN", "Fake", "0", "1", true};
}

ReadResult Instrument::Read(SessionId id, std::size_t maxBytes, std::chrono::milliseconds timeout, int termChar,
                            ClientPresence* presence)
{
    std::unique_lock lock(state_->mutex);
    ReadResult result;
    FakeInstrumentState::Session* session = state_->Find(id);
    if (!session) {
        result.status = WaitResult::NoSession;
        return result;
    }
    if (session->responses.empty() && !session->busy) {
        result.status = WaitResult::TimedOut;
        return result;
    }
    result.status = state_->Wait(lock, id, timeout, [&] { return state_->Find(id)->busy; }, presence);
    if (result.status != WaitResult::Done)
        return result;
    std::string& responses = state_->Find(id)->responses;
    std::size_t take = std::min(maxBytes, responses.size());
    if (termChar >= 0) {
        const auto at = responses.find(static_cast<char>(termChar));
        if (at != std::string::npos && at < take) {
            take = at + 1;
            result.termCharSeen = true;
        }
    }
    result.data = responses.substr(0, take);
    responses.erase(0, take);
    result.end = responses.empty();
    return result;
}

std::uint8_t Instrument::StatusByte(SessionId)
{
    std::lock_guard lock(state_->mutex);
    return state_->statusByte;
}

void Instrument::Clear(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    if (FakeInstrumentState::Session* session = state_->Find(id)) {
        session->input.clear();
        session->responses.clear();
        state_->events.push_back({"clear", id, {}});
    }
}

WaitResult Instrument::Lock(SessionId id, bool wait, std::chrono::milliseconds timeout, ClientPresence* presence)
{
    std::unique_lock lock(state_->mutex);
    if (!state_->Find(id))
        return WaitResult::NoSession;
    const auto taken = [&] {
        return (state_->lockHolder != 0 && state_->lockHolder != id) ||
               (!state_->sharers.empty() && !state_->sharers.count(id));
    };
    WaitResult result = WaitResult::Done;
    if (taken())
        result = wait ? state_->Wait(lock, id, timeout, taken, presence) : WaitResult::Locked;
    if (result == WaitResult::Done)
        state_->lockHolder = id;
    return result == WaitResult::TimedOut ? WaitResult::Locked : result;
}

bool Instrument::Unlock(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    if (state_->lockHolder != id)
        return false;
    state_->lockHolder = 0;
    state_->changed.notify_all();
    return true;
}

WaitResult Instrument::LockShared(SessionId id, std::string_view key, bool wait, std::chrono::milliseconds timeout,
                                  ClientPresence* presence)
{
    std::unique_lock lock(state_->mutex);
    if (!state_->Find(id))
        return WaitResult::NoSession;
    const auto taken = [&] {
        return (state_->lockHolder != 0 && state_->lockHolder != id) ||
               (!state_->sharers.empty() && state_->sharedKey != key);
    };
    WaitResult result = WaitResult::Done;
    if (taken())
        result = wait ? state_->Wait(lock, id, timeout, taken, presence) : WaitResult::Locked;
    if (result == WaitResult::Done) {
        state_->sharedKey = std::string(key);
        state_->sharers.insert(id);
        state_->events.push_back({"shared lock", id, std::string(key)});
    }
    return result == WaitResult::TimedOut ? WaitResult::Locked : result;
}

bool Instrument::UnlockShared(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    if (!state_->sharers.erase(id))
        return false;
    state_->changed.notify_all();
    return true;
}

LockSummary Instrument::Locks() const
{
    std::lock_guard lock(state_->mutex);
    std::set<SessionId> holders = state_->sharers;
    if (state_->lockHolder != 0)
        holders.insert(state_->lockHolder);
    return {state_->lockHolder != 0, holders.size()};
}

void Instrument::SetServiceRequestHandler(SessionId id, ServiceRequestHandler handler)
{
    std::lock_guard lock(state_->mutex);
    if (handler)
        state_->serviceRequests[id] = std::move(handler);
    else
        state_->serviceRequests.erase(id);
}

WaitResult Instrument::WaitUntilUnlocked(SessionId id, bool wait, std::chrono::milliseconds timeout,
                                         ClientPresence* presence)
{
    std::unique_lock lock(state_->mutex);
    if (!state_->Find(id))
        return WaitResult::NoSession;
    const auto lockedByAnother = [&] { return state_->LockedAgainst(id); };
    if (!lockedByAnother())
        return WaitResult::Done;
    if (!wait)
        return WaitResult::Locked;
    const WaitResult result = state_->Wait(lock, id, timeout, lockedByAnother, presence);
    return result == WaitResult::TimedOut ? WaitResult::Locked : result;
}

std::vector<ClientSnapshot> Instrument::Clients() const
{
    std::lock_guard lock(state_->mutex);
    std::vector<ClientSnapshot> clients;
    for (const auto& [id, session] : state_->sessions)
        clients.push_back({id, {}, 0, state_->lockHolder == id, state_->sharers.count(id) != 0});
    return clients;
}

void Instrument::Abort(SessionId id)
{
    std::lock_guard lock(state_->mutex);
    if (FakeInstrumentState::Session* session = state_->Find(id)) {
        session->aborted = true;
        state_->events.push_back({"abort", id, {}});
        state_->changed.notify_all();
    }
}

namespace fake {

std::vector<Event> Events(const Instrument& instrument)
{
    FakeInstrumentState& state = StateOf(instrument);
    std::lock_guard lock(state.mutex);
    return state.events;
}

std::size_t OpenSessions(const Instrument& instrument)
{
    FakeInstrumentState& state = StateOf(instrument);
    std::lock_guard lock(state.mutex);
    return state.sessions.size();
}

int Waiting(const Instrument& instrument)
{
    FakeInstrumentState& state = StateOf(instrument);
    std::lock_guard lock(state.mutex);
    return state.waiting;
}

void Release(Instrument& instrument)
{
    FakeInstrumentState& state = StateOf(instrument);
    std::lock_guard lock(state.mutex);
    for (auto& [id, session] : state.sessions)
        session.busy = false;
    state.changed.notify_all();
}

void SetRoom(Instrument& instrument, std::size_t bytes)
{
    FakeInstrumentState& state = StateOf(instrument);
    std::lock_guard lock(state.mutex);
    state.room = bytes;
}

void SetStatusByte(Instrument& instrument, std::uint8_t value)
{
    FakeInstrumentState& state = StateOf(instrument);
    std::lock_guard lock(state.mutex);
    state.statusByte = value;
}

bool RequestService(Instrument& instrument, SessionId id, std::uint8_t statusByte)
{
    FakeInstrumentState& state = StateOf(instrument);
    ServiceRequestHandler handler;
    {
        std::lock_guard lock(state.mutex);
        const auto at = state.serviceRequests.find(id);
        if (at == state.serviceRequests.end())
            return false;
        handler = at->second;
    }
    handler(statusByte);
    return true;
}

std::vector<std::string> LogLines()
{
    std::lock_guard lock(logMutex);
    return logLines;
}

void ClearLog()
{
    std::lock_guard lock(logMutex);
    logLines.clear();
}

bool WaitForLogLine(const std::string& text)
{
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard lock(logMutex);
            for (const std::string& line : logLines) {
                if (line.find(text) != std::string::npos)
                    return true;
            }
        }
        Sleep(10);
    }
    return false;
}

} // namespace fake

void fake::TestLog::Line(std::string_view text)
{
    std::lock_guard lock(logMutex);
    logLines.emplace_back(text);
}
