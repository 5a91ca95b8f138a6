#include "Vxi11Transport.h"

#include "Portmapper.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace lan {

using namespace vxi11;
using std::chrono::milliseconds;

void LinkRegistry::Add(SessionId id, std::string host, std::uint64_t connection)
{
    std::lock_guard lock(mutex_);
    links_[id] = Owner{std::move(host), connection};
}

void LinkRegistry::Remove(SessionId id)
{
    std::lock_guard lock(mutex_);
    links_.erase(id);
}

bool LinkRegistry::Contains(SessionId id) const
{
    std::lock_guard lock(mutex_);
    return links_.count(id) != 0;
}

bool LinkRegistry::MayAbort(SessionId id, const std::string& host, std::uint64_t connection) const
{
    std::lock_guard lock(mutex_);
    const auto at = links_.find(id);
    return at != links_.end() && at->second.host == host && at->second.connection < connection;
}

std::string PeerHost(const std::string& peer)
{
    return peer.substr(0, peer.rfind(':'));
}

namespace {
std::uint32_t ErrorFor(WaitResult result) noexcept
{
    switch (result) {
    case WaitResult::Done: return kNoError;
    case WaitResult::Locked: return kLockedByAnother;
    case WaitResult::TimedOut: return kIoTimeout;
    case WaitResult::Aborted: return kAborted;
    case WaitResult::NoSession: return kInvalidLink;
    case WaitResult::Gone: return kAborted; // no one is there to read it
    }
    return kInvalidLink;
}

// A timeout as the client gave it, up to kMaxTimeout.
milliseconds Clamped(std::uint32_t timeout) noexcept
{
    return std::min(milliseconds(timeout), kMaxTimeout);
}

bool SameDeviceName(std::string_view name) noexcept
{
    const std::string_view wanted = kDeviceName;
    return name.size() == wanted.size() && std::equal(name.begin(), name.end(), wanted.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
           });
}

// Device_GenericParms: link, flags, lock_timeout, io_timeout.
struct GenericParameters {
    SessionId link = 0;
    std::uint32_t flags = 0;
    std::uint32_t lockTimeout = 0;
    std::uint32_t ioTimeout = 0;
};

GenericParameters ReadGeneric(XdrReader& arguments) noexcept
{
    GenericParameters parameters;
    parameters.link = arguments.Uint32();
    parameters.flags = arguments.Uint32();
    parameters.lockTimeout = arguments.Uint32();
    parameters.ioTimeout = arguments.Uint32();
    return parameters;
}
} // namespace

CoreChannel::CoreChannel(Vxi11Context& context, std::string peer)
    : context_(context), peer_(std::move(peer)), connection_(context.links.NextConnection())
{
}

CoreChannel::~CoreChannel()
{
    CloseAll(true);
}

void CoreChannel::CloseAll(bool forGood)
{
    std::vector<SessionId> closing;
    {
        std::lock_guard lock(mutex_);
        closed_ = closed_ || forGood;
        closing.swap(links_);
    }
    for (const SessionId id : closing) {
        context_.links.Remove(id);
        context_.instrument.Close(id);
    }
    // The interrupt channel goes with the connection that asked for it.
    if (forGood)
        interrupts_->Close();
}

WaitResult CoreChannel::Noted(WaitResult result)
{
    if (result == WaitResult::Gone) {
        // Its other links go with it: nothing of a client that left waits for the module.
        CloseAll(true);
    }
    return result;
}

bool CoreChannel::Owns(SessionId id) const
{
    std::lock_guard lock(mutex_);
    return std::find(links_.begin(), links_.end(), id) != links_.end();
}

ProcedureOutcome CoreChannel::Call(std::uint32_t procedure, XdrReader& arguments, XdrWriter& results)
{
    Instrument& instrument = context_.instrument;
    switch (procedure) {
    case kCreateLink: {
        const std::uint32_t error = CreateLink(arguments, results);
        if (!arguments.Ok())
            return ProcedureOutcome::GarbageArguments;
        if (error != kNoError) {
            results = XdrWriter();
            results.Uint32(error);
            results.Uint32(0);
            results.Uint32(context_.abortPort);
            results.Uint32(kMaxRecvSize);
        }
        return ProcedureOutcome::Done;
    }
    case kDeviceWrite:
        Write(arguments, results);
        return arguments.Ok() ? ProcedureOutcome::Done : ProcedureOutcome::GarbageArguments;
    case kDeviceRead:
        Read(arguments, results);
        return arguments.Ok() ? ProcedureOutcome::Done : ProcedureOutcome::GarbageArguments;
    case kDeviceReadStb: {
        const GenericParameters parameters = ReadGeneric(arguments);
        if (!arguments.Ok())
            return ProcedureOutcome::GarbageArguments;
        // Answered at once from the session's status, whatever the module is doing.
        const bool owned = Owns(parameters.link);
        results.Uint32(owned ? kNoError : kInvalidLink);
        results.Uint32(owned ? instrument.StatusByte(parameters.link) : 0);
        return ProcedureOutcome::Done;
    }
    case kDeviceClear: {
        const GenericParameters parameters = ReadGeneric(arguments);
        if (!arguments.Ok())
            return ProcedureOutcome::GarbageArguments;
        if (!Owns(parameters.link)) {
            results.Uint32(kInvalidLink);
            return ProcedureOutcome::Done;
        }
        const WaitResult lock = Noted(instrument.WaitUntilUnlocked(
            parameters.link, (parameters.flags & kWaitLock) != 0, Clamped(parameters.lockTimeout), presence_));
        if (lock == WaitResult::Done)
            instrument.Clear(parameters.link);
        results.Uint32(ErrorFor(lock));
        return ProcedureOutcome::Done;
    }
    case kDeviceTrigger:
    case kDeviceRemote:
    case kDeviceLocal: {
        const GenericParameters parameters = ReadGeneric(arguments);
        if (!arguments.Ok())
            return ProcedureOutcome::GarbageArguments;
        // Remote and local mean nothing to the module: accepted. It has no trigger to send.
        const std::uint32_t accepted = procedure == kDeviceTrigger ? kNotSupported : kNoError;
        results.Uint32(Owns(parameters.link) ? accepted : kInvalidLink);
        return ProcedureOutcome::Done;
    }
    case kDeviceLock: {
        const SessionId link = arguments.Uint32();
        const std::uint32_t flags = arguments.Uint32();
        const std::uint32_t lockTimeout = arguments.Uint32();
        if (!arguments.Ok())
            return ProcedureOutcome::GarbageArguments;
        results.Uint32(Owns(link) ? ErrorFor(Noted(instrument.Lock(link, (flags & kWaitLock) != 0,
                                                                   Clamped(lockTimeout), presence_)))
                                  : kInvalidLink);
        return ProcedureOutcome::Done;
    }
    case kDeviceUnlock: {
        const SessionId link = arguments.Uint32();
        if (!arguments.Ok())
            return ProcedureOutcome::GarbageArguments;
        if (!Owns(link))
            results.Uint32(kInvalidLink);
        else
            results.Uint32(instrument.Unlock(link) ? kNoError : kNoLockHeld);
        return ProcedureOutcome::Done;
    }
    case kDeviceEnableSrq: {
        const SessionId link = arguments.Uint32();
        const bool enable = arguments.Bool();
        const std::string_view handle = arguments.Opaque(kMaxSrqHandle);
        if (!arguments.Ok())
            return ProcedureOutcome::GarbageArguments;
        results.Uint32(EnableServiceRequests(link, enable, handle));
        return ProcedureOutcome::Done;
    }
    case kDeviceDocmd: {
        const GenericParameters parameters = ReadGeneric(arguments);
        arguments.Int32(); // cmd
        arguments.Bool();  // network_order
        arguments.Int32(); // datasize
        arguments.Opaque(kMaxRecord);
        if (!arguments.Ok())
            return ProcedureOutcome::GarbageArguments;
        results.Uint32(Owns(parameters.link) ? kNotSupported : kInvalidLink);
        results.Opaque({});
        return ProcedureOutcome::Done;
    }
    case kDestroyLink: {
        const SessionId link = arguments.Uint32();
        if (!arguments.Ok())
            return ProcedureOutcome::GarbageArguments;
        results.Uint32(DestroyLink(link));
        return ProcedureOutcome::Done;
    }
    case kCreateIntrChan: {
        const std::uint32_t error = CreateInterruptChannel(arguments);
        if (!arguments.Ok())
            return ProcedureOutcome::GarbageArguments;
        results.Uint32(error);
        return ProcedureOutcome::Done;
    }
    case kDestroyIntrChan:
        results.Uint32(interrupts_->Close() ? kNoError : kChannelNotEstablished);
        return ProcedureOutcome::Done;
    default: return ProcedureOutcome::Unavailable;
    }
}

std::uint32_t CoreChannel::CreateInterruptChannel(XdrReader& arguments)
{
    const std::uint32_t address = arguments.Uint32();
    const std::uint32_t port = arguments.Uint32();
    const std::uint32_t program = arguments.Uint32();
    const std::uint32_t version = arguments.Uint32();
    const std::uint32_t family = arguments.Uint32();
    if (!arguments.Ok())
        return kParameterError;
    if (family != kFamilyTcp)
        return kNotSupported;
    // Only to the host that asked: vornlan never connects to a third address on a client's word.
    if (ParseIpv4(PeerHost(peer_)) != address || port == 0 || port > 0xFFFF)
        return kParameterError;
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return kOutOfResources;
    }
    const OneWayCaller::Target target{address, static_cast<std::uint16_t>(port), program, version};
    return interrupts_->Open(context_.log, target) ? kNoError : kChannelAlreadyEstablished;
}

std::uint32_t CoreChannel::EnableServiceRequests(SessionId link, bool enable, std::string_view handle)
{
    if (!Owns(link))
        return kInvalidLink;
    if (!enable) {
        context_.instrument.SetServiceRequestHandler(link, {});
        return kNoError;
    }
    // The handler only queues the call: the instrument's thread never waits for a client's network.
    context_.instrument.SetServiceRequestHandler(
        link, [interrupts = interrupts_, handle = std::string(handle)](std::uint8_t) {
            interrupts->RequestService(handle);
        });
    return kNoError;
}

bool InterruptChannel::Open(Log* log, const OneWayCaller::Target& target)
{
    std::lock_guard lock(mutex_);
    if (caller_)
        return false;
    caller_ = std::make_shared<OneWayCaller>(log, target, kInterruptTimeout);
    return true;
}

bool InterruptChannel::Close()
{
    std::shared_ptr<OneWayCaller> closing;
    {
        std::lock_guard lock(mutex_);
        closing.swap(caller_);
    }
    if (!closing)
        return false;
    closing->Stop();
    return true;
}

void InterruptChannel::RequestService(const std::string& handle)
{
    std::shared_ptr<OneWayCaller> caller;
    {
        std::lock_guard lock(mutex_);
        caller = caller_;
    }
    if (!caller)
        return;
    XdrWriter arguments;
    arguments.Opaque(handle);
    caller->Post(kDeviceIntrSrq, arguments.Take());
}

std::uint32_t CoreChannel::CreateLink(XdrReader& arguments, XdrWriter& results)
{
    arguments.Int32(); // the client's id: nothing depends on it
    const bool lockDevice = arguments.Bool();
    const std::uint32_t lockTimeout = arguments.Uint32();
    const std::string_view device = arguments.Opaque(256);
    if (!arguments.Ok())
        return kParameterError;
    if (!SameDeviceName(device))
        return kDeviceNotAccessible;
    {
        std::lock_guard lock(mutex_);
        if (closed_ || links_.size() >= kMaxLinksPerConnection)
            return kOutOfResources;
    }
    const SessionId id = context_.instrument.Open({peer_, Transport::Vxi11}, Delivery::OnRead);
    {
        std::lock_guard lock(mutex_);
        // Checked again: the connection may have been stopped, or another create_link raced this one.
        if (closed_ || links_.size() >= kMaxLinksPerConnection) {
            context_.instrument.Close(id);
            return kOutOfResources;
        }
        links_.push_back(id);
    }
    context_.links.Add(id, PeerHost(peer_), connection_);
    if (lockDevice) {
        const WaitResult locked = Noted(context_.instrument.Lock(id, true, Clamped(lockTimeout), presence_));
        if (locked != WaitResult::Done) {
            DestroyLink(id);
            return ErrorFor(locked) == kInvalidLink ? kDeviceNotAccessible : ErrorFor(locked);
        }
    }
    results.Uint32(kNoError);
    results.Uint32(id);
    results.Uint32(context_.abortPort);
    results.Uint32(kMaxRecvSize);
    return kNoError;
}

void CoreChannel::Write(XdrReader& arguments, XdrWriter& results)
{
    const SessionId link = arguments.Uint32();
    const std::uint32_t ioTimeout = arguments.Uint32();
    const std::uint32_t lockTimeout = arguments.Uint32();
    const std::uint32_t flags = arguments.Uint32();
    const std::string_view data = arguments.Opaque(kMaxRecord);
    if (!arguments.Ok())
        return;
    const auto answer = [&results](std::uint32_t error, std::size_t size) {
        results.Uint32(error);
        results.Uint32(static_cast<std::uint32_t>(size));
    };
    if (!Owns(link))
        return answer(kInvalidLink, 0);
    if (data.size() > kMaxRecvSize)
        return answer(kParameterError, 0);
    Instrument& instrument = context_.instrument;
    const WaitResult lock =
        Noted(instrument.WaitUntilUnlocked(link, (flags & kWaitLock) != 0, Clamped(lockTimeout), presence_));
    if (lock != WaitResult::Done)
        return answer(ErrorFor(lock), 0);
    // The link's queue takes a few messages: the rest waits for room up to io_timeout, and what didn't
    // fit by then is the client's to send again (error 15 with the count taken).
    const InputResult taken =
        instrument.Input(link, data, (flags & kEndFlag) != 0, Clamped(ioTimeout), presence_);
    answer(ErrorFor(Noted(taken.status)), taken.taken);
}

void CoreChannel::Read(XdrReader& arguments, XdrWriter& results)
{
    const SessionId link = arguments.Uint32();
    const std::uint32_t requestSize = arguments.Uint32();
    const std::uint32_t ioTimeout = arguments.Uint32();
    const std::uint32_t lockTimeout = arguments.Uint32();
    const std::uint32_t flags = arguments.Uint32();
    const std::uint32_t termChar = arguments.Uint32();
    if (!arguments.Ok())
        return;
    const auto answer = [&results](std::uint32_t error, std::uint32_t reason, std::string_view data) {
        results.Uint32(error);
        results.Uint32(reason);
        results.Opaque(data);
    };
    if (!Owns(link))
        return answer(kInvalidLink, 0, {});
    Instrument& instrument = context_.instrument;
    const WaitResult lock =
        Noted(instrument.WaitUntilUnlocked(link, (flags & kWaitLock) != 0, Clamped(lockTimeout), presence_));
    if (lock != WaitResult::Done)
        return answer(ErrorFor(lock), 0, {});
    const int wantedTermChar = (flags & kTermCharSet) != 0 ? static_cast<int>(termChar & 0xFF) : -1;
    const ReadResult read = instrument.Read(link, std::min<std::size_t>(requestSize, kMaxReadSize),
                                           Clamped(ioTimeout), wantedTermChar, presence_);
    if (Noted(read.status) != WaitResult::Done)
        return answer(ErrorFor(read.status), 0, {});
    std::uint32_t reason = 0;
    if (read.end)
        reason |= kEndReason;
    if (read.termCharSeen)
        reason |= kTermCharReason;
    if (read.data.size() >= requestSize)
        reason |= kRequestCount;
    answer(kNoError, reason, read.data);
}

std::uint32_t CoreChannel::DestroyLink(SessionId id)
{
    {
        std::lock_guard lock(mutex_);
        const auto at = std::find(links_.begin(), links_.end(), id);
        if (at == links_.end())
            return kInvalidLink;
        links_.erase(at);
    }
    context_.links.Remove(id);
    context_.instrument.Close(id);
    return kNoError;
}

std::uint32_t AbortChannel::Abort(SessionId link, const std::string& host, std::uint64_t connection)
{
    // Any other link is a stranger's: the same answer whether or not it exists, so ids can't be probed.
    if (!links_.MayAbort(link, host, connection))
        return kInvalidLink;
    instrument_.Abort(link);
    return kNoError;
}

ProcedureOutcome AbortProgram::Call(std::uint32_t procedure, XdrReader& arguments, XdrWriter& results)
{
    if (procedure != kDeviceAbort)
        return ProcedureOutcome::Unavailable;
    const SessionId link = arguments.Uint32();
    if (!arguments.Ok())
        return ProcedureOutcome::GarbageArguments;
    results.Uint32(channel_.Abort(link, host_, connection_));
    return ProcedureOutcome::Done;
}

namespace {
class CoreConnection : public Connection {
public:
    CoreConnection(Vxi11Context& context, const std::string& peer) : channel_(context, peer) {}

    void Serve(SOCKET socket) override
    {
        ProbedPresence presence([socket] { return PeerGone(socket); });
        channel_.Watch(&presence);
        RpcProgram* const programs[] = {&channel_};
        try {
            ServeRecords(socket, kMaxRecord, programs);
        } catch (...) {
            channel_.CloseAll(true);
            throw;
        }
        channel_.CloseAll(true);
    }

    void Interrupt() override { channel_.CloseAll(true); }

private:
    CoreChannel channel_;
};

class AbortConnection : public Connection {
public:
    // Numbered when accepted, like the core connections, so that an abort connection made before a
    // link's own can't abort it.
    explicit AbortConnection(AbortChannel& channel) : channel_(channel), connection_(channel.Links().NextConnection()) {}

    void Serve(SOCKET socket) override
    {
        sockaddr_in peer{};
        int length = sizeof peer;
        if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == SOCKET_ERROR)
            throw std::runtime_error("the abort channel's peer is unknown: " + ErrorText(WSAGetLastError()));
        AbortProgram program(channel_, PeerHost(PeerText(peer)), connection_);
        RpcProgram* const programs[] = {&program};
        // Abort calls are a few words.
        ServeRecords(socket, 1024, programs);
    }

    // Its only wait is for the socket, which the listener's shutdown ends.
    void Interrupt() override {}

private:
    AbortChannel& channel_;
    const std::uint64_t connection_;
};

} // namespace

std::unique_ptr<Connection> MakeCoreConnection(Vxi11Context& context, const std::string& peer)
{
    return std::make_unique<CoreConnection>(context, peer);
}

std::unique_ptr<Connection> MakeAbortConnection(AbortChannel& channel)
{
    return std::make_unique<AbortConnection>(channel);
}

} // namespace lan
