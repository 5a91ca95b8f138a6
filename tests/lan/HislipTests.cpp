// HiSLIP over loopback against the stand-in instrument: the handshake and its version, both channels
// tied into one session, Data and DataEND with their message ids, the message size each way, device
// clear, the status byte, the locks, service requests, and bad input of every kind, each harming only
// its own connection.
#include "FakeInstrument.h"
#include "HislipMessage.h"
#include "HislipTransport.h"
#include "RpcTestClient.h"

#include <gtest/gtest.h>

#include <future>
#include <optional>

using namespace lan::hislip;

namespace {

struct Received {
    Header header;
    std::string payload;
    bool Is(Type type) const { return header.Is(type); }
};

// One HiSLIP connection as a client makes it.
class Channel {
public:
    explicit Channel(std::uint16_t port) : client_(port) {}

    bool Send(Type type, std::uint8_t control, std::uint32_t parameter, std::string_view payload = {})
    {
        return client_.Send(Message(type, control, parameter, payload));
    }
    bool SendRaw(std::string_view bytes) { return client_.Send(bytes); }

    // The next message, or nullopt when the connection ended (or nothing came within the read timeout).
    std::optional<Received> Receive()
    {
        std::string header(kHeaderSize, '\0');
        if (!ReceiveExact(header.data(), header.size()))
            return std::nullopt;
        const std::optional<Header> parsed = ParseHeader(header);
        if (!parsed || parsed->length > (64u << 20))
            return std::nullopt;
        Received message{*parsed, std::string(static_cast<std::size_t>(parsed->length), '\0')};
        if (!ReceiveExact(message.payload.data(), message.payload.size()))
            return std::nullopt;
        return message;
    }

    // The next message, which must be of `type`.
    Received Expect(Type type)
    {
        std::optional<Received> message = Receive();
        if (!message) {
            ADD_FAILURE() << "no message; expected type " << static_cast<int>(type);
            return {};
        }
        EXPECT_EQ(message->header.type, static_cast<std::uint8_t>(type)) << "payload: " << message->payload;
        return *message;
    }

    // A whole response: Data messages up to a DataEND, each carrying `messageId`.
    std::string Response(std::uint32_t messageId)
    {
        std::string data;
        for (;;) {
            std::optional<Received> message = Receive();
            if (!message || !(message->Is(Type::Data) || message->Is(Type::DataEnd))) {
                ADD_FAILURE() << "no DataEND; so far: " << data;
                return data;
            }
            EXPECT_EQ(message->header.parameter, messageId);
            data += message->payload;
            if (message->Is(Type::DataEnd))
                return data;
        }
    }

    bool ClosedByServer() { return client_.ClosedByServer(); }
    SOCKET get() const { return client_.get(); }
    void Close() { client_.Close(); }

private:
    bool ReceiveExact(char* buffer, std::size_t size)
    {
        while (size > 0) {
            const int received = lan::ReceiveSome(client_.get(), buffer, size);
            if (received <= 0)
                return false;
            buffer += received;
            size -= static_cast<std::size_t>(received);
        }
        return true;
    }

    test::Client client_;
};

std::uint32_t InitializeParameter(std::uint16_t version)
{
    return static_cast<std::uint32_t>(version) << 16 | 'x' << 8 | 'x';
}

// A client's session: both channels initialized.
struct Client {
    Client(std::uint16_t port, std::uint16_t version = Version(1, 0)) : sync(port), async(port)
    {
        EXPECT_TRUE(sync.Send(Type::Initialize, 0, InitializeParameter(version), "hislip0"));
        const Received init = sync.Expect(Type::InitializeResponse);
        response = init.header;
        id = static_cast<std::uint16_t>(init.header.parameter & 0xFFFF);
        EXPECT_TRUE(async.Send(Type::AsyncInitialize, 0, id));
        async.Expect(Type::AsyncInitializeResponse);
    }

    // Sends a whole message as one DataEND with the next message id and returns its response.
    std::string Query(std::string_view message)
    {
        const std::uint32_t messageId = NextId();
        EXPECT_TRUE(sync.Send(Type::DataEnd, 0, messageId, message));
        return sync.Response(messageId);
    }
    void Write(std::string_view message) { EXPECT_TRUE(sync.Send(Type::DataEnd, 0, NextId(), message)); }
    std::uint32_t NextId() { return std::exchange(messageId, messageId + 2); }

    // AsyncLock and its answer.
    std::uint8_t Lock(std::uint32_t timeoutMs, std::string_view key = {})
    {
        EXPECT_TRUE(async.Send(Type::AsyncLock, 1, timeoutMs, key));
        return async.Expect(Type::AsyncLockResponse).header.control;
    }
    std::uint8_t Release()
    {
        EXPECT_TRUE(async.Send(Type::AsyncLock, 0, messageId - 2));
        return async.Expect(Type::AsyncLockResponse).header.control;
    }
    std::uint8_t Status(std::uint8_t rmtDelivered = 0)
    {
        EXPECT_TRUE(async.Send(Type::AsyncStatusQuery, rmtDelivered, messageId));
        return async.Expect(Type::AsyncStatusResponse).header.control;
    }

    Channel sync;
    Channel async;
    Header response;
    std::uint16_t id = 0;
    std::uint32_t messageId = 0xFFFFFF00;
};

class Hislip : public testing::Test {
protected:
    Hislip() : instrument(log), sessions(instrument)
    {
        fake::ClearLog();
        std::string error;
        lan::Socket socket = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
        EXPECT_TRUE(socket) << error;
        port = lan::LocalPort(socket.get());
        listener.Start(std::move(socket));
    }

    std::vector<std::string> Messages()
    {
        std::vector<std::string> messages;
        for (const fake::Event& event : fake::Events(instrument))
            if (event.what == "message")
                messages.push_back(event.detail);
        return messages;
    }
    int Count(const std::string& what)
    {
        int count = 0;
        for (const fake::Event& event : fake::Events(instrument))
            count += event.what == what;
        return count;
    }
    // The instrument session opened last.
    SessionId LastOpened()
    {
        SessionId id = 0;
        for (const fake::Event& event : fake::Events(instrument))
            if (event.what == "open")
                id = event.id;
        return id;
    }
    // Waits (bounded) until the instrument has `count` sessions open and the registry as many.
    bool OpenSessionsBecome(std::size_t count)
    {
        for (int i = 0; i < 500; ++i) {
            if (fake::OpenSessions(instrument) == count && sessions.Size() == count)
                return true;
            Sleep(10);
        }
        return false;
    }
    bool WaitingBecomes(int count)
    {
        for (int i = 0; i < 500 && fake::Waiting(instrument) != count; ++i)
            Sleep(10);
        return fake::Waiting(instrument) == count;
    }

    lan::WinsockSession winsock;
    fake::TestLog log;
    Instrument instrument;
    Registry sessions;
    lan::HislipContext context{log, sessions};
    lan::ConnectionBudget budget{32};
    lan::TcpListener listener{log, "HiSLIP", {}, budget, [this](const std::string& peer) {
                                  return lan::MakeHislipConnection(context, peer);
                              }};
    std::uint16_t port = 0;
};

} // namespace

TEST_F(Hislip, TheHandshakeNegotiatesTheVersionDownAndTiesBothChannelsIntoOneSession)
{
    const struct {
        std::uint16_t proposed;
        std::uint16_t answered;
    } versions[] = {
        {Version(1, 0), Version(1, 0)}, {Version(1, 1), Version(1, 1)}, {Version(2, 0), Version(1, 1)},
        {Version(9, 9), Version(1, 1)}, {Version(0, 9), Version(1, 0)},
    };
    std::vector<std::uint16_t> ids;
    for (const auto& version : versions) {
        Client session(port, version.proposed);
        EXPECT_EQ(session.response.parameter >> 16, version.answered) << std::hex << version.proposed;
        EXPECT_EQ(session.response.control, 0) << "synchronized mode";
        EXPECT_EQ(session.response.length, 0u);
        ids.push_back(session.id);
        // Both channels serve the one instrument session.
        EXPECT_EQ(session.Query("A?"), "A?=ok\n");
        EXPECT_EQ(session.Status(1), 0);
        EXPECT_EQ(fake::OpenSessions(instrument), 1u);
    }
    EXPECT_TRUE(OpenSessionsBecome(0));
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end()) << "session ids are not reused";

    // The vendor id, and the maximum message size each way.
    Client session(port);
    EXPECT_TRUE(session.async.Send(Type::AsyncMaxMsgSize, 0, 0, SizePayload(1u << 16)));
    const Received size = session.async.Expect(Type::AsyncMaxMsgSizeResponse);
    EXPECT_EQ(ParseSize(size.payload), kMaxMessageSize);
}

TEST_F(Hislip, AnotherSubAddressOrAMissingSessionIsAFatalErrorAndTheConnectionEnds)
{
    for (const std::string subAddress : {"hislip1", "inst0", "", "hislip0 "}) {
        Channel sync(port);
        ASSERT_TRUE(sync.Send(Type::Initialize, 0, InitializeParameter(Version(1, 1)), subAddress));
        const Received fatal = sync.Expect(Type::FatalError);
        EXPECT_EQ(fatal.header.control, static_cast<std::uint8_t>(Fatal::InvalidInitialization)) << subAddress;
        EXPECT_TRUE(sync.ClosedByServer()) << subAddress;
    }
    {
        // Case doesn't matter, as in VISA's resource strings.
        Channel sync(port);
        ASSERT_TRUE(sync.Send(Type::Initialize, 0, InitializeParameter(Version(1, 1)), "HiSLIP0"));
        sync.Expect(Type::InitializeResponse);
    }
    // An asynchronous channel for no session, or for one that has its own already.
    Client session(port);
    for (const std::uint32_t id : {static_cast<std::uint32_t>(session.id + 1) & 0xFFFF, std::uint32_t{session.id}}) {
        Channel async(port);
        ASSERT_TRUE(async.Send(Type::AsyncInitialize, 0, id));
        EXPECT_EQ(async.Expect(Type::FatalError).header.control, static_cast<std::uint8_t>(Fatal::InvalidInitialization));
        EXPECT_TRUE(async.ClosedByServer());
    }
    // A first message that initializes nothing.
    Channel stray(port);
    ASSERT_TRUE(stray.Send(Type::DataEnd, 0, 0, "A?"));
    EXPECT_EQ(stray.Expect(Type::FatalError).header.control, static_cast<std::uint8_t>(Fatal::InvalidInitialization));
    EXPECT_TRUE(stray.ClosedByServer());
    // Data before the asynchronous channel came.
    Channel lone(port);
    ASSERT_TRUE(lone.Send(Type::Initialize, 0, InitializeParameter(Version(1, 0)), "hislip0"));
    lone.Expect(Type::InitializeResponse);
    ASSERT_TRUE(lone.Send(Type::DataEnd, 0, 0, "A?"));
    EXPECT_EQ(lone.Expect(Type::FatalError).header.control, static_cast<std::uint8_t>(Fatal::ChannelsNotEstablished));
    EXPECT_TRUE(lone.ClosedByServer());
    // None of it touched the session that was there.
    EXPECT_EQ(session.Query("STILL?"), "STILL?=ok\n");
    EXPECT_EQ(Messages(), std::vector<std::string>{"STILL?"});
}

TEST_F(Hislip, DataAndDataEndCarryMessagesAndResponsesTheirIds)
{
    Client session(port);
    // A line ended inside a Data message is a message of its own; its response names that Data's id.
    ASSERT_TRUE(session.sync.Send(Type::Data, 0, 0xFFFFFF00, "A?\nB"));
    EXPECT_EQ(session.sync.Response(0xFFFFFF00), "A?=ok\n");
    ASSERT_TRUE(session.sync.Send(Type::Data, 0, 0xFFFFFF02, "C"));
    ASSERT_TRUE(session.sync.Send(Type::DataEnd, 0, 0xFFFFFF04, "D?"));
    EXPECT_EQ(session.sync.Response(0xFFFFFF04), "BCD?=ok\n");
    // A write has no response; the query after it answers with its own id (the ids wrap around).
    ASSERT_TRUE(session.sync.Send(Type::DataEnd, 0, 0xFFFFFFFE, "E 1"));
    ASSERT_TRUE(session.sync.Send(Type::DataEnd, 0, 0x00000000, "F?"));
    EXPECT_EQ(session.sync.Response(0), "F?=ok\n");
    // Several messages in one DataEND answer together.
    ASSERT_TRUE(session.sync.Send(Type::DataEnd, 0, 2, "G?\nH?\n"));
    EXPECT_EQ(session.sync.Response(2), "G?=ok\nH?=ok\n");
    EXPECT_EQ(Messages(), (std::vector<std::string>{"A?", "BCD?", "E 1", "F?", "G?", "H?"}));
}

TEST_F(Hislip, LongWritesAreStreamedWholeAndResponsesCutToTheClientsMaximum)
{
    Client session(port);
    // 2.5 MiB in Data messages of the largest size taken: one message for the instrument, whole.
    const std::string message = std::string(5 * kMaxMessageSize / 2, 'x') + "?";
    std::uint32_t messageId = 0;
    for (std::size_t at = 0; at < message.size(); at += kMaxMessageSize) {
        const bool last = at + kMaxMessageSize >= message.size();
        messageId = session.NextId();
        ASSERT_TRUE(session.sync.Send(last ? Type::DataEnd : Type::Data, 0, messageId,
                                      std::string_view(message).substr(at, kMaxMessageSize)));
    }
    EXPECT_EQ(session.sync.Response(messageId), message + "=ok\n");
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0], message);

    // One byte over the size is refused with Error, its payload skipped; the session goes on.
    ASSERT_TRUE(session.sync.Send(Type::DataEnd, 0, session.NextId(), std::string(kMaxMessageSize + 1, 'y')));
    EXPECT_EQ(session.sync.Expect(Type::Error).header.control, static_cast<std::uint8_t>(Error::MessageTooLarge));
    EXPECT_EQ(session.Query("NEXT?"), "NEXT?=ok\n");
    EXPECT_EQ(Messages().size(), 2u);

    // A client that takes 300-byte messages (header included) gets its response in pieces of 284.
    ASSERT_TRUE(session.async.Send(Type::AsyncMaxMsgSize, 0, 0, SizePayload(300)));
    session.async.Expect(Type::AsyncMaxMsgSizeResponse);
    const std::string query = std::string(700, 'q') + "?";
    const std::uint32_t id = session.NextId();
    ASSERT_TRUE(session.sync.Send(Type::DataEnd, 0, id, query));
    std::string response;
    std::vector<std::size_t> pieces;
    for (;;) {
        const std::optional<Received> piece = session.sync.Receive();
        ASSERT_TRUE(piece);
        EXPECT_EQ(piece->header.parameter, id);
        pieces.push_back(piece->payload.size());
        response += piece->payload;
        if (piece->Is(Type::DataEnd))
            break;
        ASSERT_TRUE(piece->Is(Type::Data));
    }
    EXPECT_EQ(response, query + "=ok\n");
    EXPECT_EQ(pieces, (std::vector<std::size_t>{284, 284, 137}));
    // A size the client can't mean is refused.
    ASSERT_TRUE(session.async.Send(Type::AsyncMaxMsgSize, 0, 0, "1234"));
    EXPECT_EQ(session.async.Expect(Type::Error).header.control, static_cast<std::uint8_t>(Error::Unidentified));
}

TEST_F(Hislip, DeviceClearDropsWhatWaitsAndWhatComesUntilItCompletes)
{
    Client session(port);
    session.Write("BUSY?");
    ASSERT_TRUE(WaitingBecomes(1));
    ASSERT_TRUE(session.async.Send(Type::AsyncDeviceClear, 0, 0));
    EXPECT_EQ(session.async.Expect(Type::AsyncDeviceClearAcknowledge).header.control, 0);
    EXPECT_EQ(Count("clear"), 1);
    // Sent before the clear completes: dropped, never run, never answered.
    session.Write("LOST?");
    fake::Release(instrument);
    // The client asks for overlapped mode; the answer is the synchronized mode served.
    ASSERT_TRUE(session.sync.Send(Type::DeviceClearComplete, 1, 0));
    EXPECT_EQ(session.sync.Expect(Type::DeviceClearAcknowledge).header.control, 0);
    EXPECT_EQ(Count("clear"), 2);
    session.messageId = 0xFFFFFF00;
    EXPECT_EQ(session.Query("AFTER?"), "AFTER?=ok\n");
    EXPECT_EQ(Messages(), (std::vector<std::string>{"BUSY?", "AFTER?"}));
}

TEST_F(Hislip, TheStatusQueryAnswersTheSessionsStatusByteWithMavUntilTheResponseIsDelivered)
{
    Client session(port);
    fake::SetStatusByte(instrument, 0x04);
    EXPECT_EQ(session.Status(), 0x04);
    session.Write("A?");
    const std::optional<Received> response = session.sync.Receive();
    ASSERT_TRUE(response && response->Is(Type::DataEnd));
    // Sent, but the client hasn't said it read it all (RMT-delivered).
    EXPECT_EQ(session.Status(), 0x14);
    EXPECT_EQ(session.Status(1), 0x04);
    EXPECT_EQ(session.Status(), 0x04);
    // RMT-delivered on the next Data message does the same.
    session.Write("B?");
    session.sync.Expect(Type::DataEnd);
    EXPECT_EQ(session.Status(), 0x14);
    ASSERT_TRUE(session.sync.Send(Type::DataEnd, 1, session.NextId(), "C"));
    EXPECT_EQ(session.Query("D?"), "D?=ok\n"); // C has run by now
    EXPECT_EQ(session.Status(1), 0x04);
    // Remote/local control is answered (the module has no front panel); an unknown code is an error.
    for (std::uint8_t code = 0; code <= 6; ++code) {
        ASSERT_TRUE(session.async.Send(Type::AsyncRemoteLocalControl, code, 0));
        session.async.Expect(Type::AsyncRemoteLocalResponse);
    }
    ASSERT_TRUE(session.async.Send(Type::AsyncRemoteLocalControl, 7, 0));
    EXPECT_EQ(session.async.Expect(Type::Error).header.control,
              static_cast<std::uint8_t>(Error::UnrecognizedControlCode));
}

TEST_F(Hislip, ExclusiveAndSharedLocksWithTheirTimeoutsAndLockInfo)
{
    Client a(port);
    Client b(port);
    const auto lockInfo = [&](Client& session) {
        EXPECT_TRUE(session.async.Send(Type::AsyncLockInfo, 0, 0));
        const Received info = session.async.Expect(Type::AsyncLockInfoResponse);
        return std::make_pair(info.header.control, info.header.parameter);
    };
    EXPECT_EQ(lockInfo(b), std::make_pair(std::uint8_t{0}, 0u));
    EXPECT_EQ(a.Release(), 3) << "none held";
    EXPECT_EQ(a.Lock(0), 1);
    EXPECT_EQ(a.Lock(0), 3) << "held already";
    EXPECT_EQ(lockInfo(b), std::make_pair(std::uint8_t{1}, 1u));
    EXPECT_EQ(b.Lock(0), 0);
    EXPECT_EQ(b.Lock(0, "key"), 0);
    // A timeout is waited for as asked, then fails.
    EXPECT_EQ(b.Lock(250), 0);
    bool waited = false;
    for (const fake::Event& event : fake::Events(instrument))
        waited = waited || (event.what == "wait" && event.detail == "250");
    EXPECT_TRUE(waited);
    // A wait that the holder's release ends is granted.
    auto granted = std::async(std::launch::async, [&] { return b.Lock(20000); });
    ASSERT_TRUE(WaitingBecomes(1));
    EXPECT_EQ(a.Release(), 1);
    EXPECT_EQ(granted.get(), 1);
    EXPECT_EQ(b.Release(), 1);

    // Shared: the holders of one key together, another key kept out, the exclusive lock on top.
    EXPECT_EQ(a.Lock(0, "bench"), 1);
    EXPECT_EQ(b.Lock(0, "bench"), 1);
    EXPECT_EQ(b.Lock(0, "bench"), 3) << "held already";
    EXPECT_EQ(lockInfo(a), std::make_pair(std::uint8_t{0}, 2u));
    Client c(port);
    EXPECT_EQ(c.Lock(0, "other"), 0);
    EXPECT_EQ(c.Lock(0), 0);
    EXPECT_EQ(a.Lock(0), 1) << "a sharer may take the exclusive lock on top";
    EXPECT_EQ(lockInfo(c), std::make_pair(std::uint8_t{1}, 2u));
    EXPECT_EQ(b.Lock(0), 0) << "which keeps the other sharers out";
    EXPECT_EQ(a.Release(), 1) << "the exclusive one first";
    EXPECT_EQ(a.Release(), 2);
    EXPECT_EQ(a.Release(), 3);
    EXPECT_EQ(b.Release(), 2);
    EXPECT_EQ(lockInfo(c), std::make_pair(std::uint8_t{0}, 0u));
    // An unknown control code, and a key longer than any client means.
    ASSERT_TRUE(a.async.Send(Type::AsyncLock, 2, 0));
    EXPECT_EQ(a.async.Expect(Type::Error).header.control, static_cast<std::uint8_t>(Error::UnrecognizedControlCode));
    ASSERT_TRUE(a.async.Send(Type::AsyncLock, 1, 0, std::string(kMaxShortPayload + 1, 'k')));
    EXPECT_EQ(a.async.Expect(Type::Error).header.control, static_cast<std::uint8_t>(Error::MessageTooLarge));
    EXPECT_EQ(a.Lock(0), 1) << "the channel goes on";
}

TEST_F(Hislip, AReleaseLetsTheLockGoOnlyOnceTheMessagesSentBeforeItHaveRun)
{
    Client holder(port);
    Client other(port);
    ASSERT_EQ(holder.Lock(0), 1);
    auto granted = std::async(std::launch::async, [&] { return other.Lock(20000); });
    ASSERT_TRUE(WaitingBecomes(1));
    // The holder's last message still runs when its release (naming that message) comes.
    holder.Write("BUSY?");
    ASSERT_TRUE(WaitingBecomes(2));
    ASSERT_TRUE(holder.async.Send(Type::AsyncLock, 0, holder.messageId - 2));
    EXPECT_EQ(granted.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout)
        << "the lock went while the holder's message ran";
    fake::Release(instrument);
    EXPECT_EQ(holder.async.Expect(Type::AsyncLockResponse).header.control, 1);
    EXPECT_EQ(granted.get(), 1);
    EXPECT_EQ(holder.sync.Response(holder.messageId - 2), "BUSY?=ok\n");
    // A release naming a message that never came (or none) doesn't wait.
    ASSERT_EQ(other.Release(), 1);
    ASSERT_EQ(holder.Lock(0), 1);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(holder.async.Send(Type::AsyncLock, 0, 0x12345678));
    EXPECT_EQ(holder.async.Expect(Type::AsyncLockResponse).header.control, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST_F(Hislip, EitherChannelDroppingEndsTheSessionAndFreesItsLock)
{
    for (const bool dropAsync : {false, true}) {
        Client holder(port);
        Client other(port);
        ASSERT_EQ(holder.Lock(0), 1);
        // A waiter too: its wait ends when the holder goes.
        auto granted = std::async(std::launch::async, [&] { return other.Lock(20000); });
        ASSERT_TRUE(WaitingBecomes(1));
        (dropAsync ? holder.async : holder.sync).Close();
        EXPECT_EQ(granted.get(), 1) << "async dropped " << dropAsync;
        // The other channel is shut down by the server.
        EXPECT_TRUE((dropAsync ? holder.sync : holder.async).ClosedByServer());
        EXPECT_EQ(other.Release(), 1);
    }
    EXPECT_TRUE(OpenSessionsBecome(0));
}

TEST_F(Hislip, AServiceRequestGoesOutOnTheAsynchronousChannel)
{
    Client session(port);
    const SessionId id = LastOpened();
    ASSERT_TRUE(fake::RequestService(instrument, id, 0x60));
    EXPECT_EQ(session.async.Expect(Type::AsyncServiceRequest).header.control, 0x60);
    // The channel's own answers still come in order around it.
    EXPECT_EQ(session.Status(), 0);
    ASSERT_TRUE(fake::RequestService(instrument, id, 0x41));
    EXPECT_EQ(session.async.Expect(Type::AsyncServiceRequest).header.control, 0x41);
    // Another session hears nothing of it.
    Client other(port);
    ASSERT_TRUE(fake::RequestService(instrument, id, 0x42));
    EXPECT_EQ(session.async.Expect(Type::AsyncServiceRequest).header.control, 0x42);
    EXPECT_EQ(other.Status(), 0);
    // Once the session has ended no one is told.
    session.sync.Close();
    EXPECT_TRUE(session.async.ClosedByServer());
    ASSERT_TRUE(OpenSessionsBecome(1));
    EXPECT_FALSE(fake::RequestService(instrument, id, 0x40));
}

TEST_F(Hislip, BadInputHarmsOnlyItsOwnConnection)
{
    Client bystander(port);
    const auto header = [](std::string_view prologue, std::uint8_t type, std::uint64_t length) {
        std::string bytes(prologue);
        bytes.push_back(static_cast<char>(type));
        bytes.append(5, '\0');
        for (int shift = 56; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<char>(length >> shift & 0xFF));
        return bytes;
    };
    const struct {
        const char* name;
        bool established; // sent after both channels are up, on the synchronous channel
        std::string bytes;
        std::optional<Type> answer;
        std::uint8_t code;
        bool closes;
        bool goesOn = false; // the session still answers afterwards
    } cases[] = {
        {"truncated header", false, "HS\x00\x00\x01", std::nullopt, 0, false},
        {"truncated header, established", true, "HS\x06\x00", std::nullopt, 0, false},
        {"wrong prologue", false, header("XS", 0, 7) + "hislip0", Type::FatalError, 1, true},
        {"wrong prologue, established", true, header("hs", 7, 0), Type::FatalError, 1, true},
        {"huge sub-address", false, header("HS", 0, 1ull << 62), Type::FatalError, 1, true},
        {"unknown type", true, header("HS", 60, 3) + "abc", Type::Error, 1, false, true},
        {"vendor type", true, header("HS", 200, 0), Type::Error, 3, false, true},
        {"an asynchronous message on the synchronous channel", true, header("HS", 21, 0), Type::Error, 1, false, true},
        {"huge data", true, header("HS", 7, 1ull << 62) + "A?", Type::Error, 4, false},
        {"initialize again", true, header("HS", 0, 7) + "hislip0", Type::FatalError, 3, true},
    };
    for (const auto& test : cases) {
        std::optional<Client> session;
        std::optional<Channel> channel;
        if (test.established)
            session.emplace(port);
        Channel& sync = test.established ? session->sync : channel.emplace(port);
        ASSERT_TRUE(sync.SendRaw(test.bytes)) << test.name;
        if (test.answer) {
            const std::optional<Received> answer = sync.Receive();
            ASSERT_TRUE(answer) << test.name;
            EXPECT_TRUE(answer->Is(*test.answer)) << test.name << ": type " << int(answer->header.type);
            EXPECT_EQ(answer->header.control, test.code) << test.name;
        }
        if (test.closes) {
            EXPECT_TRUE(sync.ClosedByServer()) << test.name;
        }
        if (test.goesOn) {
            EXPECT_EQ(session->Query("OK?"), "OK?=ok\n") << test.name;
        }
        // Whatever it was, the bystander is served, and nothing is left once the client goes.
        EXPECT_EQ(bystander.Query("B?"), "B?=ok\n") << test.name;
        session.reset();
        channel.reset();
        EXPECT_TRUE(OpenSessionsBecome(1)) << test.name;
    }
    for (int i = 0; i < 100 && budget.InUse() != 2; ++i)
        Sleep(10);
    EXPECT_EQ(budget.InUse(), 2);
}

TEST_F(Hislip, AFloodOfMessagesNeverReadKeepsOnlyItsOwnSessionBusy)
{
    Client bystander(port);
    {
        Client flood(port);
        // Status queries and queries it never reads the answers to, until the server stops reading.
        const std::string query = Message(Type::AsyncStatusQuery, 0, 0);
        std::string burst;
        for (int i = 0; i < 4096; ++i)
            burst += query;
        const std::string data = Message(Type::DataEnd, 0, 0, std::string(1000, 'f') + "?");
        std::string dataBurst;
        for (int i = 0; i < 256; ++i)
            dataBurst += data;
        u_long nonBlocking = 1;
        ioctlsocket(flood.async.get(), FIONBIO, &nonBlocking);
        ioctlsocket(flood.sync.get(), FIONBIO, &nonBlocking);
        for (int i = 0; i < 64; ++i) {
            send(flood.async.get(), burst.data(), static_cast<int>(burst.size()), 0);
            send(flood.sync.get(), dataBurst.data(), static_cast<int>(dataBurst.size()), 0);
            EXPECT_EQ(bystander.Query("B?"), "B?=ok\n");
        }
        EXPECT_EQ(bystander.Status(1), 0);
    }
    EXPECT_TRUE(OpenSessionsBecome(1));
    EXPECT_EQ(bystander.Query("B?"), "B?=ok\n");
}
