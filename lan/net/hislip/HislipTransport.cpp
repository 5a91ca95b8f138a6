#include "HislipTransport.h"

#include "HislipMessage.h"
#include "Instrument.h"
#include "Log.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <span>
#include <vector>

namespace lan {

using namespace hislip;
using std::chrono::milliseconds;

namespace {

constexpr std::uint8_t kRmtDelivered = 0x01; // control code of Data, DataEND, Trigger, AsyncStatusQuery
constexpr std::uint8_t kMav = 0x10;
constexpr std::uint8_t kSynchronized = 0; // InitializeResponse's and the clear acknowledges' mode bits
// AsyncLock's control codes and the answers to them.
constexpr std::uint8_t kLockRelease = 0;
constexpr std::uint8_t kLockRequest = 1;
constexpr std::uint8_t kLockFailed = 0;
constexpr std::uint8_t kLockSuccess = 1;       // granted; or the exclusive lock released
constexpr std::uint8_t kLockSharedReleased = 2;
constexpr std::uint8_t kLockError = 3;         // asked for one held already, or released none
constexpr std::uint8_t kLastRemoteLocalCode = 6;

class SocketPresence final : public ClientPresence {
public:
    explicit SocketPresence(SOCKET socket) noexcept : socket_(socket) {}
    bool Gone() noexcept override { return PeerGone(socket_); }

private:
    SOCKET socket_;
};

bool SameText(std::string_view text, std::string_view wanted) noexcept
{
    return text.size() == wanted.size() && std::equal(text.begin(), text.end(), wanted.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
           });
}

// A client's text as the log shows it: printable, bounded.
std::string Printable(std::string_view text)
{
    std::string shown;
    for (const char c : text.substr(0, 64))
        shown.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    return shown;
}

class HislipConnection final : public Connection {
public:
    HislipConnection(HislipContext& context, std::string peer) : context_(context), peer_(std::move(peer)) {}

    void Serve(SOCKET socket) override;
    void Interrupt() override;

private:
    using Handler = bool (HislipConnection::*)(const Header&);
    struct Route {
        Type type;
        Handler handler;
    };
    static std::span<const Route> Routes(bool async);

    Instrument& instrument() const noexcept { return context_.sessions.instrument; }
    SessionId Id() const noexcept { return session_->InstrumentSession(); }

    // Reads, through one buffer: a message and the header of the next usually come in one receive.
    // False when the connection has ended (or its framing is lost: a FatalError has been sent).
    bool Fill();
    // Up to `most` bytes of what has come, receiving when nothing has; empty when the connection ended.
    std::string_view Take(std::size_t most);
    bool ReadExact(char* buffer, std::size_t size);
    bool ReadHeader(Header& header);
    bool Discard(std::uint64_t length);
    // The whole payload into `payload` when it is at most kMaxShortPayload; else it is discarded and the
    // client told (`kept` false).
    bool ReadShort(const Header& header, std::string& payload, bool& kept);

    bool Send(std::string_view bytes);
    bool SendError(Error code, std::string_view text);
    void SendFatal(Fatal code, std::string_view text);
    bool Attached(const std::shared_ptr<Session>& session, bool async);

    bool Initialize(const Header& header);
    bool AsyncInitialize(const Header& header);
    // The synchronous channel
    bool Data(const Header& header);
    bool DeviceClearComplete(const Header& header);
    bool Trigger(const Header& header);
    // Sends the responses that the messages taken so far produced, as the answer to `messageId`.
    bool Deliver(std::uint32_t messageId);
    // Both channels
    bool ClientError(const Header& header);
    bool ClientFatalError(const Header& header);
    bool Reinitialize(const Header& header);
    // The asynchronous channel
    bool AsyncLock(const Header& header);
    bool AsyncLockInfo(const Header& header);
    bool AsyncRemoteLocal(const Header& header);
    bool AsyncMaxMessageSize(const Header& header);
    bool AsyncDeviceClear(const Header& header);
    bool AsyncStatusQuery(const Header& header);

    HislipContext& context_;
    const std::string peer_;
    SOCKET socket_ = INVALID_SOCKET;
    std::unique_ptr<SocketPresence> presence_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0; // what has come and isn't taken: buffer_[begin_, end_)
    std::size_t end_ = 0;

    std::mutex mutex_; // session_ as Interrupt() sees it
    std::shared_ptr<Session> session_;
    bool async_ = false;
    bool interrupted_ = false;
};

std::span<const HislipConnection::Route> HislipConnection::Routes(bool async)
{
    static const Route sync[] = {
        {Type::Data, &HislipConnection::Data},
        {Type::DataEnd, &HislipConnection::Data},
        {Type::DeviceClearComplete, &HislipConnection::DeviceClearComplete},
        {Type::Trigger, &HislipConnection::Trigger},
        {Type::Error, &HislipConnection::ClientError},
        {Type::FatalError, &HislipConnection::ClientFatalError},
        {Type::Initialize, &HislipConnection::Reinitialize},
        {Type::AsyncInitialize, &HislipConnection::Reinitialize},
    };
    static const Route asynchronous[] = {
        {Type::AsyncLock, &HislipConnection::AsyncLock},
        {Type::AsyncLockInfo, &HislipConnection::AsyncLockInfo},
        {Type::AsyncRemoteLocalControl, &HislipConnection::AsyncRemoteLocal},
        {Type::AsyncMaxMsgSize, &HislipConnection::AsyncMaxMessageSize},
        {Type::AsyncDeviceClear, &HislipConnection::AsyncDeviceClear},
        {Type::AsyncStatusQuery, &HislipConnection::AsyncStatusQuery},
        {Type::Error, &HislipConnection::ClientError},
        {Type::FatalError, &HislipConnection::ClientFatalError},
        {Type::Initialize, &HislipConnection::Reinitialize},
        {Type::AsyncInitialize, &HislipConnection::Reinitialize},
    };
    if (async)
        return asynchronous;
    return sync;
}

void HislipConnection::Serve(SOCKET socket)
{
    socket_ = socket;
    presence_ = std::make_unique<SocketPresence>(socket);
    buffer_.resize(64 * 1024);
    // The session ends with whichever of its connections ends first, however it ends.
    struct Ending {
        HislipConnection& connection;
        ~Ending()
        {
            if (connection.session_)
                connection.context_.sessions.End(*connection.session_, connection.async_);
        }
    } ending{*this};

    Header header;
    if (!ReadHeader(header))
        return;
    bool serving = false;
    if (header.Is(Type::Initialize))
        serving = Initialize(header);
    else if (header.Is(Type::AsyncInitialize))
        serving = AsyncInitialize(header);
    else
        SendFatal(Fatal::InvalidInitialization, "the first message must be Initialize or AsyncInitialize");

    const std::span<const Route> routes = Routes(async_);
    while (serving) {
        // Nothing unread and every message run: a lock's release needn't wait for this channel.
        if (!async_ && begin_ == end_)
            session_->Waiting(true);
        const bool read = ReadHeader(header);
        if (!async_)
            session_->Waiting(false);
        if (!read)
            break;
        const auto route = std::find_if(routes.begin(), routes.end(),
                                        [&](const Route& r) { return header.Is(r.type); });
        if (route != routes.end()) {
            serving = (this->*route->handler)(header);
        } else {
            const bool vendor = header.type >= kFirstVendorType;
            // Told before its payload is skipped: however long that is, the client knows at once.
            serving = SendError(vendor ? Error::UnrecognizedVendorType : Error::UnrecognizedType,
                                "message type " + std::to_string(header.type) + " is not served on the " +
                                    (async_ ? "asynchronous" : "synchronous") + " channel") &&
                      Discard(header.length);
        }
    }
}

void HislipConnection::Interrupt()
{
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    if (session_)
        instrument().Close(session_->InstrumentSession());
}

bool HislipConnection::Fill()
{
    const int received = ReceiveSome(socket_, buffer_.data(), buffer_.size());
    if (received <= 0)
        return false;
    begin_ = 0;
    end_ = static_cast<std::size_t>(received);
    return true;
}

std::string_view HislipConnection::Take(std::size_t most)
{
    if (begin_ == end_ && most > 0 && !Fill())
        return {};
    const std::size_t size = std::min(most, end_ - begin_);
    const std::string_view taken(buffer_.data() + begin_, size);
    begin_ += size;
    return taken;
}

bool HislipConnection::ReadExact(char* buffer, std::size_t size)
{
    while (size > 0) {
        const std::string_view taken = Take(size);
        if (taken.empty())
            return false;
        std::copy(taken.begin(), taken.end(), buffer);
        buffer += taken.size();
        size -= taken.size();
    }
    return true;
}

bool HislipConnection::ReadHeader(Header& header)
{
    char bytes[kHeaderSize];
    if (!ReadExact(bytes, sizeof bytes))
        return false;
    const std::optional<Header> parsed = ParseHeader(std::string_view(bytes, sizeof bytes));
    if (!parsed) {
        SendFatal(Fatal::PoorlyFormedHeader, "a message must begin with \"HS\"");
        return false;
    }
    header = *parsed;
    return true;
}

bool HislipConnection::Discard(std::uint64_t length)
{
    while (length > 0) {
        const std::string_view taken = Take(static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer_.size())));
        if (taken.empty())
            return false;
        length -= taken.size();
    }
    return true;
}

bool HislipConnection::ReadShort(const Header& header, std::string& payload, bool& kept)
{
    kept = header.length <= kMaxShortPayload;
    if (!kept)
        return SendError(Error::MessageTooLarge, "payload longer than " + std::to_string(kMaxShortPayload)) &&
               Discard(header.length);
    payload.resize(static_cast<std::size_t>(header.length));
    return ReadExact(payload.data(), payload.size());
}

bool HislipConnection::Send(std::string_view bytes)
{
    if (async_ && session_)
        return session_->SendAsync(bytes);
    return SendAll(socket_, bytes);
}

bool HislipConnection::SendError(Error code, std::string_view text)
{
    return Send(Message(Type::Error, static_cast<std::uint8_t>(code), 0, text));
}

void HislipConnection::SendFatal(Fatal code, std::string_view text)
{
    context_.log.Line("HiSLIP client " + peer_ + " dropped: " + std::string(text));
    Send(Message(Type::FatalError, static_cast<std::uint8_t>(code), 0, text));
}

bool HislipConnection::Attached(const std::shared_ptr<Session>& session, bool async)
{
    std::lock_guard lock(mutex_);
    session_ = session;
    async_ = async;
    return !interrupted_;
}

bool HislipConnection::Initialize(const Header& header)
{
    if (header.length > kMaxShortPayload) {
        SendFatal(Fatal::PoorlyFormedHeader, "the sub-address is too long");
        return false;
    }
    std::string subAddress(static_cast<std::size_t>(header.length), '\0');
    if (!ReadExact(subAddress.data(), subAddress.size()))
        return false;
    if (!SameText(subAddress, kSubAddress)) {
        SendFatal(Fatal::InvalidInitialization, "no sub-address \"" + Printable(subAddress) + "\" (only " +
                                                    kSubAddress + ")");
        return false;
    }
    // The client proposes the version it speaks; both speak the older of it and ours.
    const std::uint16_t proposed = static_cast<std::uint16_t>(header.parameter >> 16);
    const std::uint16_t version = std::clamp(proposed, kLowestVersion, kHighestVersion);
    std::shared_ptr<Session> session = context_.sessions.Create(socket_, {peer_, Transport::Hislip}, version);
    if (!session) {
        SendFatal(Fatal::TooManyClients, "every session id is taken");
        return false;
    }
    if (!Attached(session, false))
        return false;
    return SendAll(socket_, Message(Type::InitializeResponse, kSynchronized,
                                    static_cast<std::uint32_t>(version) << 16 | session->Id()));
}

bool HislipConnection::AsyncInitialize(const Header& header)
{
    if (!Discard(header.length))
        return false;
    const std::uint16_t id = static_cast<std::uint16_t>(header.parameter & 0xFFFF);
    std::shared_ptr<Session> session = context_.sessions.Attach(id, socket_);
    if (!session) {
        SendFatal(Fatal::InvalidInitialization,
                  "no session " + std::to_string(id) + " waits for its asynchronous channel");
        return false;
    }
    if (!Attached(session, true))
        return false;
    return session->SendAsync(Message(Type::AsyncInitializeResponse, 0, kVendorId));
}

bool HislipConnection::Reinitialize(const Header& header)
{
    Discard(header.length);
    SendFatal(Fatal::InvalidInitialization, "the channel is initialized already");
    return false;
}

bool HislipConnection::ClientError(const Header& header)
{
    std::string text;
    bool kept = false;
    if (!ReadShort(header, text, kept))
        return false;
    context_.log.Line("HiSLIP client " + peer_ + " reports error " + std::to_string(header.control) + ": " +
                      Printable(text));
    return true;
}

bool HislipConnection::ClientFatalError(const Header& header)
{
    std::string text;
    bool kept = false;
    if (ReadShort(header, text, kept))
        context_.log.Line("HiSLIP client " + peer_ + " ends with fatal error " + std::to_string(header.control) +
                          ": " + Printable(text));
    return false;
}

bool HislipConnection::Data(const Header& header)
{
    if (!session_->Paired()) {
        SendFatal(Fatal::ChannelsNotEstablished, "data before the asynchronous channel was initialized");
        return false;
    }
    if ((header.control & kRmtDelivered) != 0)
        session_->responsePending = false;
    if (header.length > kMaxMessageSize) {
        if (!SendError(Error::MessageTooLarge,
                       "a message takes at most " + std::to_string(kMaxMessageSize) + " bytes (AsyncMaxMsgSize)") ||
            !Discard(header.length))
            return false;
        session_->MessageDone(header.parameter);
        return true;
    }
    const bool end = header.Is(Type::DataEnd);
    // The payload goes to the instrument as it arrives: a message of any length costs one buffer.
    std::uint64_t left = header.length;
    do {
        std::string_view bytes = Take(static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer_.size())));
        if (bytes.empty() && left > 0)
            return false;
        left -= bytes.size();
        bool clearing = false;
        {
            std::lock_guard lock(session_->clearMutex);
            clearing = session_->clearing;
        }
        if (clearing)
            continue; // dropped until DeviceClearComplete
        for (;;) {
            const InputResult taken =
                instrument().Input(Id(), bytes, end && left == 0, milliseconds(0), nullptr);
            if (taken.status != WaitResult::Done && taken.status != WaitResult::TimedOut)
                return false;
            bytes.remove_prefix(taken.taken);
            if (bytes.empty())
                break;
            // No room yet: room comes as the session's messages run; what they answer goes out meanwhile.
            if (!Deliver(header.parameter))
                return false;
        }
    } while (left > 0);
    if (!Deliver(header.parameter))
        return false;
    session_->MessageDone(header.parameter);
    return true;
}

bool HislipConnection::Deliver(std::uint32_t messageId)
{
    const ReadResult responses = instrument().WaitForResponses(Id(), *presence_);
    if (responses.status == WaitResult::NoSession || responses.status == WaitResult::Aborted)
        return false;
    if (!responses.data.empty()) {
        // Cut to what the client takes in one message (its size counts the header, as clients count it).
        const std::uint64_t limit =
            std::max(session_->clientMaxMessage.load(), kMinClientMessage) - kHeaderSize;
        std::string out;
        std::string_view rest = responses.data;
        while (!rest.empty()) {
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(rest.size(), limit));
            AppendMessage(out, piece == rest.size() ? Type::DataEnd : Type::Data, 0, messageId,
                          rest.substr(0, piece));
            rest.remove_prefix(piece);
        }
        std::lock_guard lock(session_->clearMutex);
        if (!session_->clearing) {
            session_->responsePending = true;
            if (!SendAll(socket_, out))
                return false;
        }
    }
    // A client that only closed its side has had its answers.
    return responses.status != WaitResult::Gone;
}

bool HislipConnection::DeviceClearComplete(const Header& header)
{
    if (!Discard(header.length))
        return false;
    // Whatever came between the asynchronous clear and this is dropped too (a message already half read
    // when the clear came).
    instrument().Clear(Id());
    {
        std::lock_guard lock(session_->clearMutex);
        session_->clearing = false;
    }
    session_->responsePending = false;
    session_->ForgetMessages();
    // Overlapped mode, if the client asked for it, is refused: the answer names the mode used.
    return SendAll(socket_, Message(Type::DeviceClearAcknowledge, kSynchronized, 0));
}

bool HislipConnection::Trigger(const Header& header)
{
    // The module has no trigger to send it to; the message still says whether a response was delivered.
    if ((header.control & kRmtDelivered) != 0)
        session_->responsePending = false;
    session_->MessageDone(header.parameter);
    return Discard(header.length);
}

bool HislipConnection::AsyncLock(const Header& header)
{
    std::string key;
    bool kept = false;
    if (!ReadShort(header, key, kept))
        return false;
    if (!kept)
        return true;
    std::uint8_t answer = kLockError;
    if (header.control == kLockRelease) {
        // What the client sent before releasing runs under the lock: the release waits for its last
        // message (named by the parameter), as long as a client would wait for the answer.
        session_->AwaitMessage(header.parameter, kReleaseWait);
        // The exclusive lock first: a client holding both gave that one last.
        if (instrument().Unlock(Id()))
            answer = kLockSuccess;
        else if (instrument().UnlockShared(Id()))
            answer = kLockSharedReleased;
    } else if (header.control == kLockRequest) {
        bool held = false;
        for (const ClientSnapshot& client : instrument().Clients()) {
            if (client.id == Id())
                held = key.empty() ? client.holdsLock : client.holdsSharedLock;
        }
        if (!held) {
            const milliseconds timeout = std::min(milliseconds(header.parameter), kMaxLockTimeout);
            const bool wait = timeout.count() > 0;
            const WaitResult result = key.empty() ? instrument().Lock(Id(), wait, timeout, presence_.get())
                                                  : instrument().LockShared(Id(), key, wait, timeout, presence_.get());
            if (result == WaitResult::Gone || result == WaitResult::NoSession || result == WaitResult::Aborted)
                return false;
            answer = result == WaitResult::Done ? kLockSuccess : kLockFailed;
        }
    } else {
        return SendError(Error::UnrecognizedControlCode, "AsyncLock takes 0 (release) or 1 (request)");
    }
    return Send(Message(Type::AsyncLockResponse, answer, 0));
}

bool HislipConnection::AsyncLockInfo(const Header& header)
{
    if (!Discard(header.length))
        return false;
    const LockSummary locks = instrument().Locks();
    return Send(Message(Type::AsyncLockInfoResponse, locks.exclusive ? 1 : 0,
                        static_cast<std::uint32_t>(locks.holders)));
}

bool HislipConnection::AsyncRemoteLocal(const Header& header)
{
    if (!Discard(header.length))
        return false;
    if (header.control > kLastRemoteLocalCode)
        return SendError(Error::UnrecognizedControlCode, "AsyncRemoteLocalControl takes 0 to 6");
    // The module has no front panel: remote and local are the same to it.
    return Send(Message(Type::AsyncRemoteLocalResponse, 0, 0));
}

bool HislipConnection::AsyncMaxMessageSize(const Header& header)
{
    std::string payload;
    bool kept = false;
    if (!ReadShort(header, payload, kept))
        return false;
    if (!kept)
        return true;
    const std::optional<std::uint64_t> size = ParseSize(payload);
    if (!size)
        return SendError(Error::Unidentified, "AsyncMaxMsgSize carries the size in 8 bytes");
    session_->clientMaxMessage = *size;
    return Send(Message(Type::AsyncMaxMsgSizeResponse, 0, 0, SizePayload(kMaxMessageSize)));
}

bool HislipConnection::AsyncDeviceClear(const Header& header)
{
    if (!Discard(header.length))
        return false;
    {
        std::lock_guard lock(session_->clearMutex);
        session_->clearing = true;
    }
    instrument().Clear(Id());
    return Send(Message(Type::AsyncDeviceClearAcknowledge, kSynchronized, 0));
}

bool HislipConnection::AsyncStatusQuery(const Header& header)
{
    if (!Discard(header.length))
        return false;
    if ((header.control & kRmtDelivered) != 0)
        session_->responsePending = false;
    const std::uint8_t status = instrument().StatusByte(Id()) | (session_->responsePending.load() ? kMav : 0);
    return Send(Message(Type::AsyncStatusResponse, status, 0));
}

} // namespace

std::unique_ptr<Connection> MakeHislipConnection(HislipContext& context, const std::string& peer)
{
    return std::make_unique<HislipConnection>(context, peer);
}

std::string HislipResource(const std::string& host, std::uint16_t port)
{
    std::string resource = "TCPIP::" + host + "::" + kSubAddress;
    if (port != kStandardPort)
        resource += ',' + std::to_string(port);
    return resource + "::INSTR";
}

} // namespace lan
