// VXI-11's core and abort channels: each procedure's answers in process, then over loopback the
// things only a connection shows (records, links dropped with it, an abort from another connection, a
// client that leaves while it waits).
#include "FakeInstrument.h"
#include "RpcTestClient.h"
#include "Vxi11Transport.h"

#include <gtest/gtest.h>

#include <future>

using test::Words;
using namespace lan::vxi11;

namespace {
struct LinkReply {
    std::uint32_t error = 99;
    std::uint32_t lid = 0;
    std::uint32_t abortPort = 0;
    std::uint32_t maxRecvSize = 0;
};

struct ReadReply {
    std::uint32_t error = 99;
    std::uint32_t reason = 0;
    std::string data;
};

std::string CreateLinkArguments(std::string_view device, bool lock = false, std::uint32_t lockTimeout = 0)
{
    lan::XdrWriter writer;
    writer.Int32(12345);
    writer.Bool(lock);
    writer.Uint32(lockTimeout);
    writer.Opaque(device);
    return writer.Take();
}

std::string WriteArguments(std::uint32_t lid, std::string_view data, std::uint32_t flags = kEndFlag,
                           std::uint32_t lockTimeout = 0)
{
    lan::XdrWriter writer;
    writer.Uint32(lid);
    writer.Uint32(10000);
    writer.Uint32(lockTimeout);
    writer.Uint32(flags);
    writer.Opaque(data);
    return writer.Take();
}

std::string ReadArguments(std::uint32_t lid, std::uint32_t size, std::uint32_t flags = 0, char termChar = 0,
                          std::uint32_t ioTimeout = 10000)
{
    return Words({lid, size, ioTimeout, 0, flags, static_cast<unsigned char>(termChar)});
}

// Calls the core channel of one connection, in process or over a socket.
class Caller {
public:
    virtual ~Caller() = default;
    virtual std::optional<std::string> Call(std::uint32_t procedure, const std::string& arguments) = 0;

    LinkReply CreateLink(std::string_view device = "inst0", bool lock = false, std::uint32_t lockTimeout = 0)
    {
        LinkReply reply;
        if (const auto results = Call(kCreateLink, CreateLinkArguments(device, lock, lockTimeout))) {
            lan::XdrReader reader(*results);
            reply.error = reader.Uint32();
            reply.lid = reader.Uint32();
            reply.abortPort = reader.Uint32();
            reply.maxRecvSize = reader.Uint32();
            EXPECT_TRUE(reader.Ok() && reader.Remaining() == 0);
        }
        return reply;
    }

    // device_write: error and size.
    std::pair<std::uint32_t, std::uint32_t> Write(std::uint32_t lid, std::string_view data,
                                                  std::uint32_t flags = kEndFlag)
    {
        const auto results = Call(kDeviceWrite, WriteArguments(lid, data, flags));
        if (!results)
            return {99, 0};
        lan::XdrReader reader(*results);
        const std::uint32_t error = reader.Uint32();
        const std::uint32_t size = reader.Uint32();
        EXPECT_TRUE(reader.Ok() && reader.Remaining() == 0);
        return {error, size};
    }

    ReadReply Read(std::uint32_t lid, std::uint32_t size, std::uint32_t flags = 0, char termChar = 0,
                   std::uint32_t ioTimeout = 10000)
    {
        ReadReply reply;
        if (const auto results = Call(kDeviceRead, ReadArguments(lid, size, flags, termChar, ioTimeout))) {
            lan::XdrReader reader(*results);
            reply.error = reader.Uint32();
            reply.reason = reader.Uint32();
            reply.data = reader.Opaque(1 << 20);
            EXPECT_TRUE(reader.Ok() && reader.Remaining() == 0);
        }
        return reply;
    }

    // A procedure whose reply is the error alone (or the error first).
    std::uint32_t Error(std::uint32_t procedure, const std::string& arguments)
    {
        const auto results = Call(procedure, arguments);
        if (!results || results->size() < 4)
            return 99;
        lan::XdrReader reader(*results);
        return reader.Uint32();
    }
};

class InProcess : public Caller {
public:
    explicit InProcess(lan::Vxi11Context& context, const char* peer = "127.0.0.1:5000") : channel_(context, peer) {}
    std::optional<std::string> Call(std::uint32_t procedure, const std::string& arguments) override
    {
        lan::RpcProgram* const programs[] = {&channel_};
        const std::uint32_t xid = ++xid_;
        return test::SuccessResults(
            lan::AnswerCall(test::CallMessage(xid, kCoreProgram, kVersion, procedure, arguments), programs), xid);
    }
    // The reply's accept status, for calls that aren't to succeed.
    std::uint32_t AcceptStatus(std::uint32_t procedure, const std::string& arguments)
    {
        lan::RpcProgram* const programs[] = {&channel_};
        const auto reply =
            lan::AnswerCall(test::CallMessage(++xid_, kCoreProgram, kVersion, procedure, arguments), programs);
        lan::XdrReader reader(reply.value_or(""));
        for (int i = 0; i < 5; ++i)
            reader.Uint32();
        return reader.Ok() ? reader.Uint32() : 99;
    }
    lan::CoreChannel& Channel() { return channel_; }

private:
    lan::CoreChannel channel_;
    std::uint32_t xid_ = 0;
};

class Vxi11 : public testing::Test {
protected:
    Vxi11() : instrument(log), context{instrument, links, 4321, &log}, abortChannel(instrument, links) {}

    // device_abort over an abort connection from `host` accepted now (after every connection so far).
    std::uint32_t Abort(std::uint32_t lid, const char* host = "127.0.0.1")
    {
        lan::AbortProgram program(abortChannel, host, links.NextConnection());
        return Abort(program, lid);
    }
    std::uint32_t Abort(lan::AbortProgram& program, std::uint32_t lid)
    {
        lan::RpcProgram* const programs[] = {&program};
        const auto results = test::SuccessResults(
            lan::AnswerCall(test::CallMessage(1, kAbortProgram, kVersion, kDeviceAbort, Words({lid})), programs), 1);
        return results ? lan::XdrReader(*results).Uint32() : 99;
    }

    bool Saw(const std::string& what, SessionId id, const std::string& detail = {})
    {
        for (const fake::Event& event : fake::Events(instrument)) {
            if (event.what == what && event.id == id && (detail.empty() || event.detail == detail))
                return true;
        }
        return false;
    }

    lan::WinsockSession winsock;
    fake::TestLog log;
    Instrument instrument;
    lan::LinkRegistry links;
    lan::Vxi11Context context;
    lan::AbortChannel abortChannel;
};
} // namespace

TEST_F(Vxi11, CreateLinkServesInst0Only)
{
    InProcess connection(context);
    const LinkReply link = connection.CreateLink();
    EXPECT_EQ(link.error, kNoError);
    EXPECT_NE(link.lid, 0u);
    EXPECT_EQ(link.abortPort, 4321u);
    EXPECT_EQ(link.maxRecvSize, kMaxRecvSize);
    EXPECT_TRUE(Saw("open", link.lid, "127.0.0.1:5000"));

    EXPECT_EQ(connection.CreateLink("INST0").error, kNoError);
    for (const char* other : {"inst1", "gpib0,5", "", "inst0 ", "hislip0"}) {
        const LinkReply refused = connection.CreateLink(other);
        EXPECT_EQ(refused.error, kDeviceNotAccessible) << other;
        EXPECT_EQ(refused.lid, 0u) << other;
    }
    EXPECT_EQ(fake::OpenSessions(instrument), 2u);
}

TEST_F(Vxi11, LinksPerConnectionAreBounded)
{
    InProcess connection(context);
    for (std::size_t i = 0; i < kMaxLinksPerConnection; ++i)
        ASSERT_EQ(connection.CreateLink().error, kNoError) << i;
    EXPECT_EQ(connection.CreateLink().error, kOutOfResources);
    // Another connection has its own.
    InProcess other(context);
    EXPECT_EQ(other.CreateLink().error, kNoError);
}

TEST_F(Vxi11, WritesAMessageAndReadsItsResponse)
{
    InProcess connection(context);
    const std::uint32_t lid = connection.CreateLink().lid;
    // A message in two writes: END only on the last.
    EXPECT_EQ(connection.Write(lid, "*ID", 0), std::make_pair(kNoError, 3u));
    EXPECT_EQ(connection.Write(lid, "N?", kEndFlag), std::make_pair(kNoError, 2u));
    EXPECT_TRUE(Saw("message", lid, "*IDN?"));
    const ReadReply read = connection.Read(lid, 20480);
    EXPECT_EQ(read.error, kNoError);
    EXPECT_EQ(read.reason, kEndReason);
    EXPECT_EQ(read.data, "*IDN?=ok\n");
}

TEST_F(Vxi11, ReadsALongResponseInPartsWithTheirReasons)
{
    InProcess connection(context);
    const std::uint32_t lid = connection.CreateLink().lid;
    struct Step {
        std::uint32_t size;
        std::uint32_t flags;
        char termChar;
        std::uint32_t reason;
        std::string data;
    };
    // The response is "ABCDEFGH?=ok\n".
    const Step steps[] = {
        {4, 0, 0, kRequestCount, "ABCD"},
        {20, kTermCharSet, '=', kTermCharReason, "EFGH?="},
        {2, kTermCharSet, '\n', kRequestCount, "ok"},
        {2, 0, 0, kRequestCount | kEndReason, "\n"},
    };
    ASSERT_EQ(connection.Write(lid, "ABCDEFGH?\n").first, kNoError);
    for (const Step& step : steps) {
        const ReadReply read = connection.Read(lid, step.size, step.flags, step.termChar);
        EXPECT_EQ(read.error, kNoError) << step.data;
        EXPECT_EQ(read.data, step.data);
        EXPECT_EQ(read.reason, step.reason == (kRequestCount | kEndReason) ? kEndReason : step.reason) << step.data;
    }
    // Without a termchar flag the character is no reason to stop.
    ASSERT_EQ(connection.Write(lid, "Q?\n").first, kNoError);
    const ReadReply whole = connection.Read(lid, 100, 0, '=');
    EXPECT_EQ(whole.data, "Q?=ok\n");
    EXPECT_EQ(whole.reason, kEndReason);
}

TEST_F(Vxi11, ReadWithNothingToReadTimesOut)
{
    InProcess connection(context);
    const std::uint32_t lid = connection.CreateLink().lid;
    EXPECT_EQ(connection.Read(lid, 100, 0, 0, 0).error, kIoTimeout);
}

TEST_F(Vxi11, RefusesAWriteOverTheAnnouncedSize)
{
    InProcess connection(context);
    const std::uint32_t lid = connection.CreateLink().lid;
    EXPECT_EQ(connection.Write(lid, std::string(kMaxRecvSize + 1, 'x')), std::make_pair(kParameterError, 0u));
    EXPECT_EQ(connection.Write(lid, std::string(kMaxRecvSize, 'x'), 0).first, kNoError);
}

TEST_F(Vxi11, EveryProcedureRefusesALinkItDoesNotOwn)
{
    InProcess connection(context);
    InProcess other(context);
    const std::uint32_t othersLid = other.CreateLink().lid;
    const std::uint32_t ownLid = connection.CreateLink().lid;
    for (const std::uint32_t lid : {othersLid, 0u, ownLid + 1000}) {
        const std::string generic = Words({lid, 0, 0, 0});
        struct Case {
            const char* name;
            std::uint32_t procedure;
            std::string arguments;
        };
        const Case cases[] = {
            {"write", kDeviceWrite, WriteArguments(lid, "X?\n")},
            {"read", kDeviceRead, ReadArguments(lid, 10)},
            {"readstb", kDeviceReadStb, generic},
            {"trigger", kDeviceTrigger, generic},
            {"clear", kDeviceClear, generic},
            {"remote", kDeviceRemote, generic},
            {"local", kDeviceLocal, generic},
            {"lock", kDeviceLock, Words({lid, 0, 0})},
            {"unlock", kDeviceUnlock, Words({lid})},
            {"enable_srq", kDeviceEnableSrq, Words({lid, 0, 0})},
            {"docmd", kDeviceDocmd, Words({lid, 0, 0, 0, 1, 0, 0, 0})},
            {"destroy_link", kDestroyLink, Words({lid})},
        };
        for (const Case& c : cases)
            EXPECT_EQ(connection.Error(c.procedure, c.arguments), kInvalidLink) << c.name << " lid " << lid;
    }
    // The other connection's link is untouched.
    EXPECT_EQ(other.Write(othersLid, "X?\n").first, kNoError);
}

TEST_F(Vxi11, AnswersTheLesserProceduresPlainly)
{
    InProcess connection(context);
    const std::uint32_t lid = connection.CreateLink().lid;
    const std::string generic = Words({lid, 0, 0, 0});
    fake::SetStatusByte(instrument, 0x50);
    const auto stb = connection.Call(kDeviceReadStb, generic);
    EXPECT_EQ(stb, Words({kNoError, 0x50}));
    struct Case {
        const char* name;
        std::uint32_t procedure;
        std::string arguments;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"remote", kDeviceRemote, generic, kNoError},
        {"local", kDeviceLocal, generic, kNoError},
        {"trigger", kDeviceTrigger, generic, kNotSupported},
        {"enable_srq off", kDeviceEnableSrq, Words({lid, 0, 0}), kNoError},
        {"enable_srq on", kDeviceEnableSrq, Words({lid, 1, 4, 0x41424344}), kNoError},
        {"create_intr_chan to a third address", kCreateIntrChan, Words({0x0A000007, 2000, 0x0607B1, 1, 0}),
         kParameterError},
        {"create_intr_chan over UDP", kCreateIntrChan, Words({0x7F000001, 2000, 0x0607B1, 1, 1}), kNotSupported},
        {"create_intr_chan to port 0", kCreateIntrChan, Words({0x7F000001, 0, 0x0607B1, 1, 0}), kParameterError},
        {"destroy_intr_chan", kDestroyIntrChan, "", kChannelNotEstablished},
    };
    for (const Case& c : cases)
        EXPECT_EQ(connection.Error(c.procedure, c.arguments), c.error) << c.name;
    EXPECT_EQ(connection.Call(kDeviceDocmd, Words({lid, 0, 0, 0, 0x20000, 1, 0, 0})), Words({kNotSupported, 0}));

    ASSERT_EQ(connection.Write(lid, "A?\n").first, kNoError);
    EXPECT_EQ(connection.Error(kDeviceClear, generic), kNoError);
    EXPECT_TRUE(Saw("clear", lid));
    EXPECT_EQ(connection.Read(lid, 100, 0, 0, 0).error, kIoTimeout);

    EXPECT_EQ(connection.Error(kDestroyLink, Words({lid})), kNoError);
    EXPECT_TRUE(Saw("close", lid));
    EXPECT_EQ(connection.Error(kDestroyLink, Words({lid})), kInvalidLink);
}

TEST_F(Vxi11, MalformedArgumentsAreGarbageAndLeaveTheLinkAlone)
{
    InProcess connection(context);
    const std::uint32_t lid = connection.CreateLink().lid;
    struct Case {
        const char* name;
        std::uint32_t procedure;
        std::string arguments;
    };
    const Case cases[] = {
        {"create_link cut", kCreateLink, Words({1, 0, 0})},
        {"create_link bool 2", kCreateLink, Words({1, 2, 0, 0})},
        {"device name too long", kCreateLink, CreateLinkArguments(std::string(300, 'i'))},
        {"write cut in its data", kDeviceWrite, WriteArguments(lid, "abcdef").substr(0, 24)},
        {"write data counted past the record", kDeviceWrite, Words({lid, 0, 0, 8, 0x7FFFFFFF})},
        {"read cut", kDeviceRead, Words({lid, 10, 0})},
        {"readstb cut", kDeviceReadStb, Words({lid})},
        {"lock cut", kDeviceLock, Words({lid, 0})},
        {"unlock empty", kDeviceUnlock, ""},
        {"docmd cut", kDeviceDocmd, Words({lid, 0, 0, 0, 1, 0, 0, 9})},
        {"destroy_link empty", kDestroyLink, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(connection.AcceptStatus(c.procedure, c.arguments), lan::rpc::kGarbageArguments) << c.name;
    EXPECT_EQ(connection.AcceptStatus(21, Words({lid})), lan::rpc::kProcedureUnavailable);
    EXPECT_EQ(connection.AcceptStatus(kDeviceAbort, Words({lid})), lan::rpc::kProcedureUnavailable);
    EXPECT_EQ(connection.Write(lid, "A?\n").first, kNoError);
    EXPECT_EQ(fake::OpenSessions(instrument), 1u);
}

TEST_F(Vxi11, TheLockKeepsOtherLinksOutUntilReleased)
{
    InProcess first(context);
    InProcess second(context);
    const std::uint32_t holder = first.CreateLink().lid;
    const std::uint32_t other = second.CreateLink().lid;
    EXPECT_EQ(second.Error(kDeviceUnlock, Words({other})), kNoLockHeld);
    EXPECT_EQ(first.Error(kDeviceLock, Words({holder, 0, 0})), kNoError);

    // Without waitlock, at once; with it, once the wait runs out.
    for (const std::uint32_t flags : {0u, kWaitLock}) {
        EXPECT_EQ(second.Error(kDeviceLock, Words({other, flags, 0})), kLockedByAnother) << flags;
        EXPECT_EQ(second.Call(kDeviceWrite, WriteArguments(other, "A?\n", kEndFlag | flags, 0)),
                  Words({kLockedByAnother, 0}))
            << flags;
        EXPECT_EQ(second.Error(kDeviceRead, Words({other, 10, 0, 0, flags, 0})), kLockedByAnother) << flags;
        EXPECT_EQ(second.Error(kDeviceClear, Words({other, flags, 0, 0})), kLockedByAnother) << flags;
    }
    EXPECT_EQ(second.Error(kDeviceUnlock, Words({other})), kNoLockHeld);
    EXPECT_FALSE(Saw("message", other));
    // The status byte doesn't wait for the lock.
    EXPECT_EQ(second.Error(kDeviceReadStb, Words({other, 0, 0, 0})), kNoError);

    EXPECT_EQ(first.Error(kDeviceUnlock, Words({holder})), kNoError);
    EXPECT_EQ(second.Error(kDeviceLock, Words({other, 0, 0})), kNoError);
    // create_link asking for the lock gets it, or error 11 and no link.
    InProcess third(context);
    const LinkReply refused = third.CreateLink("inst0", true, 0);
    EXPECT_EQ(refused.error, kLockedByAnother);
    EXPECT_EQ(refused.lid, 0u);
    EXPECT_EQ(second.Error(kDestroyLink, Words({other})), kNoError);
    const LinkReply locked = third.CreateLink("inst0", true, 0);
    EXPECT_EQ(locked.error, kNoError);
    EXPECT_EQ(first.Error(kDeviceLock, Words({holder, 0, 0})), kLockedByAnother);
}

TEST_F(Vxi11, ADroppedConnectionFreesItsLinksAndLock)
{
    InProcess waiting(context);
    const std::uint32_t waiter = waiting.CreateLink().lid;
    std::uint32_t holder = 0;
    {
        InProcess dropped(context);
        holder = dropped.CreateLink().lid;
        dropped.CreateLink();
        ASSERT_EQ(dropped.Error(kDeviceLock, Words({holder, 0, 0})), kNoError);
        EXPECT_EQ(fake::OpenSessions(instrument), 3u);
    }
    EXPECT_EQ(fake::OpenSessions(instrument), 1u);
    EXPECT_EQ(waiting.Error(kDeviceLock, Words({waiter, 0, 0})), kNoError);
    EXPECT_EQ(Abort(holder), kInvalidLink);
}

// A read of a message the stand-in keeps busy, returned once the read is waiting in it.
template <typename Connection>
auto ReadWhileBusy(Connection& connection, std::uint32_t lid, Instrument& instrument)
{
    EXPECT_EQ(connection.Write(lid, "BUSY?\n").first, kNoError);
    auto read = std::async(std::launch::async, [&connection, lid] { return connection.Read(lid, 100, 0, 0, 600000); });
    for (int i = 0; i < 1000 && fake::Waiting(instrument) == 0; ++i)
        Sleep(10);
    return read;
}

TEST_F(Vxi11, AbortEndsAWaitOfItsOwnClientsLinkOnly)
{
    // An abort connection accepted before the link's core connection, another host's, and a stranger's
    // link id: refused alike, the read waits on.
    lan::AbortProgram early(abortChannel, "127.0.0.1", links.NextConnection());
    InProcess connection(context);
    const std::uint32_t lid = connection.CreateLink().lid;
    InProcess neighbour(context, "127.0.0.2:6000");
    const std::uint32_t neighboursLid = neighbour.CreateLink().lid;
    auto read = ReadWhileBusy(connection, lid, instrument);
    EXPECT_EQ(Abort(early, lid), kInvalidLink);
    EXPECT_EQ(Abort(lid, "127.0.0.2"), kInvalidLink);
    EXPECT_EQ(Abort(lid + 1), kInvalidLink);
    EXPECT_EQ(Abort(neighboursLid), kInvalidLink);
    EXPECT_FALSE(Saw("abort", lid));
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    // Its own: from its host, after its core connection.
    EXPECT_EQ(Abort(lid), kNoError);
    EXPECT_EQ(read.get().error, kAborted);
    EXPECT_TRUE(Saw("abort", lid));
    EXPECT_EQ(Abort(neighboursLid, "127.0.0.2"), kNoError);
}

TEST_F(Vxi11, AWriteWaitsForRoomUpToItsIoTimeoutAndTellsWhatItTook)
{
    InProcess connection(context);
    const std::uint32_t lid = connection.CreateLink().lid;
    fake::SetRoom(instrument, 5);
    EXPECT_EQ(connection.Write(lid, "ABCDEFGH?"), std::make_pair(kIoTimeout, 5u));
    EXPECT_FALSE(Saw("message", lid, "ABCDE")) << "the END flag went with a part of the data";
    fake::SetRoom(instrument, std::string::npos);
    EXPECT_EQ(connection.Write(lid, "FGH?"), std::make_pair(kNoError, 4u));
    EXPECT_TRUE(Saw("message", lid, "ABCDEFGH?"));
}

TEST_F(Vxi11, StoppingAConnectionEndsItsWaitsAndRefusesNewLinks)
{
    InProcess connection(context);
    const std::uint32_t lid = connection.CreateLink().lid;
    auto read = ReadWhileBusy(connection, lid, instrument);
    connection.Channel().CloseAll(true);
    const std::uint32_t error = read.get().error;
    EXPECT_TRUE(error == kInvalidLink || error == kAborted) << error;
    EXPECT_EQ(connection.CreateLink().error, kOutOfResources);
    EXPECT_EQ(fake::OpenSessions(instrument), 0u);
}

namespace {
class OverSocket : public Caller {
public:
    explicit OverSocket(std::uint16_t port) : client(port) {}
    std::optional<std::string> Call(std::uint32_t procedure, const std::string& arguments) override
    {
        return client.Call(kCoreProgram, kVersion, procedure, arguments);
    }
    test::Client client;
};

class Vxi11OverLoopback : public Vxi11 {
protected:
    void SetUp() override
    {
        fake::ClearLog();
        std::string error;
        lan::Socket abortSocket = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
        ASSERT_TRUE(abortSocket) << error;
        abortPort = lan::LocalPort(abortSocket.get());
        context.abortPort = abortPort;
        abortListener.Start(std::move(abortSocket));
        lan::Socket coreSocket = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
        ASSERT_TRUE(coreSocket) << error;
        corePort = lan::LocalPort(coreSocket.get());
        coreListener.Start(std::move(coreSocket));
    }

    lan::ConnectionBudget budget{8};
    lan::TcpListener coreListener{
        log, "VXI-11", {}, budget, [this](const std::string& peer) { return lan::MakeCoreConnection(context, peer); }};
    lan::TcpListener abortListener{
        log, "VXI-11 abort", {}, budget, [this](const std::string&) { return lan::MakeAbortConnection(abortChannel); }};
    std::uint16_t corePort = 0;
    std::uint16_t abortPort = 0;
};
} // namespace

TEST_F(Vxi11OverLoopback, ServesACallSentInFragmentsByteByByte)
{
    OverSocket connection(corePort);
    const LinkReply link = connection.CreateLink();
    ASSERT_EQ(link.error, kNoError);
    EXPECT_EQ(link.abortPort, abortPort);

    const std::string call =
        test::CallMessage(500, kCoreProgram, kVersion, kDeviceWrite, WriteArguments(link.lid, "*IDN?\n"));
    std::string stream;
    for (const auto& [from, length, last] : {std::tuple{0u, 7u, false}, {7u, 30u, false}, {37u, 0u, false}}) {
        lan::XdrWriter header;
        header.Uint32((last ? 0x80000000u : 0) | length);
        stream += header.Bytes() + call.substr(from, length);
    }
    stream += lan::FrameRecord(call.substr(37));
    for (const char byte : stream)
        ASSERT_TRUE(connection.client.Send(std::string_view(&byte, 1)));
    EXPECT_EQ(test::SuccessResults(connection.client.ReceiveRecord(), 500), Words({kNoError, 6}));
    EXPECT_EQ(connection.Read(link.lid, 20480).data, "*IDN?=ok\n");
}

TEST_F(Vxi11OverLoopback, ARecordOverTheBoundDropsTheConnectionAndItsLinks)
{
    OverSocket connection(corePort);
    ASSERT_EQ(connection.CreateLink().error, kNoError);
    ASSERT_TRUE(connection.client.Send(Words({0x80000000u | static_cast<std::uint32_t>(kMaxRecord + 1)})));
    EXPECT_TRUE(connection.client.ClosedByServer());
    EXPECT_TRUE(fake::WaitForLogLine("dropped: a record over"));
    EXPECT_TRUE(fake::WaitForLogLine("left (VXI-11)"));
    EXPECT_EQ(fake::OpenSessions(instrument), 0u);

    // The listener serves the next client.
    OverSocket next(corePort);
    EXPECT_EQ(next.CreateLink().error, kNoError);
}

TEST_F(Vxi11OverLoopback, GarbageAndHalfMessagesAffectTheirConnectionOnly)
{
    OverSocket good(corePort);
    const std::uint32_t lid = good.CreateLink().lid;
    {
        // A well-formed record that is no call: no reply, the connection stays.
        test::Client garbage(corePort);
        ASSERT_TRUE(garbage.Send(lan::FrameRecord("not a call at all")));
        ASSERT_TRUE(garbage.Send(lan::FrameRecord(test::CallMessage(9, kCoreProgram, kVersion, 0))));
        EXPECT_EQ(test::SuccessResults(garbage.ReceiveRecord(), 9), "");
        // Half a record, then silence while others are served.
        ASSERT_TRUE(garbage.Send(Words({0x80000000u | 100}) + "half"));
        EXPECT_EQ(good.Write(lid, "A?\n").first, kNoError);
        EXPECT_EQ(good.Read(lid, 100).data, "A?=ok\n");
    }
    EXPECT_TRUE(fake::WaitForLogLine("left (VXI-11)"));
    EXPECT_EQ(good.Write(lid, "B?\n").first, kNoError);
}

TEST_F(Vxi11OverLoopback, TheAbortChannelEndsAReadWaitingOnTheCoreChannel)
{
    OverSocket connection(corePort);
    const std::uint32_t lid = connection.CreateLink().lid;
    auto read = ReadWhileBusy(connection, lid, instrument);
    // While the core connection waits, a second one is served, status byte included.
    OverSocket second(corePort);
    const std::uint32_t secondLid = second.CreateLink().lid;
    EXPECT_EQ(second.Error(kDeviceReadStb, Words({secondLid, 0, 0, 0})), kNoError);

    test::Client abort(abortPort);
    EXPECT_EQ(abort.Call(kAbortProgram, kVersion, kDeviceAbort, Words({lid + 1000})), Words({kInvalidLink}));
    EXPECT_EQ(abort.Call(kAbortProgram, kVersion, kDeviceAbort, Words({lid})), Words({kNoError}));
    EXPECT_EQ(read.get().error, kAborted);
}

TEST_F(Vxi11OverLoopback, AnAbortConnectionMadeBeforeTheLinksOwnCannotAbortIt)
{
    test::Client early(abortPort);
    ASSERT_TRUE(early.Connected());
    // The abort connection is numbered when accepted: make sure it was before the core connection.
    ASSERT_EQ(early.Call(kAbortProgram, kVersion, kDeviceAbort, Words({1})), Words({kInvalidLink}));
    OverSocket connection(corePort);
    const std::uint32_t lid = connection.CreateLink().lid;
    auto read = ReadWhileBusy(connection, lid, instrument);
    EXPECT_EQ(early.Call(kAbortProgram, kVersion, kDeviceAbort, Words({lid})), Words({kInvalidLink}));
    test::Client own(abortPort);
    EXPECT_EQ(own.Call(kAbortProgram, kVersion, kDeviceAbort, Words({lid})), Words({kNoError}));
    EXPECT_EQ(read.get().error, kAborted);
}

TEST_F(Vxi11OverLoopback, AClientThatLeavesWhileWaitingForTheLockIsDroppedAtOnce)
{
    OverSocket holding(corePort);
    const std::uint32_t holder = holding.CreateLink().lid;
    ASSERT_EQ(holding.Error(kDeviceLock, Words({holder, 0, 0})), kNoError);
    std::uint32_t waiter = 0;
    {
        OverSocket waiting(corePort);
        waiter = waiting.CreateLink().lid;
        // device_lock with waitlock and a lock_timeout of 49 days, its reply never read.
        ASSERT_TRUE(waiting.client.Send(lan::FrameRecord(test::CallMessage(
            700, kCoreProgram, kVersion, kDeviceLock, Words({waiter, kWaitLock, 0xFFFFFFFFu})))));
        for (int i = 0; i < 1000 && fake::Waiting(instrument) == 0; ++i)
            Sleep(10);
        ASSERT_EQ(fake::Waiting(instrument), 1);
        EXPECT_TRUE(Saw("wait", waiter, "600000")) << "the lock_timeout was taken as given";
        ASSERT_EQ(budget.InUse(), 2);
    }
    // Gone within a look or two at its socket, not after its timeout: its link, its wait and its slot.
    for (int i = 0; i < 500 && !(Saw("close", waiter) && budget.InUse() == 1); ++i)
        Sleep(10);
    EXPECT_TRUE(Saw("gone", waiter));
    EXPECT_TRUE(Saw("close", waiter));
    EXPECT_EQ(fake::Waiting(instrument), 0);
    EXPECT_EQ(budget.InUse(), 1);
    EXPECT_TRUE(fake::WaitForLogLine("left (VXI-11)"));
    EXPECT_EQ(holding.Error(kDeviceReadStb, Words({holder, 0, 0, 0})), kNoError);
}

TEST_F(Vxi11OverLoopback, StopEndsAConnectionWaitingInARead)
{
    OverSocket connection(corePort);
    const std::uint32_t lid = connection.CreateLink().lid;
    ASSERT_EQ(connection.Write(lid, "BUSY?\n").first, kNoError);
    ASSERT_TRUE(connection.client.Send(lan::FrameRecord(
        test::CallMessage(600, kCoreProgram, kVersion, kDeviceRead, ReadArguments(lid, 100, 0, 0, 600000)))));
    for (int i = 0; i < 1000 && fake::Waiting(instrument) == 0; ++i)
        Sleep(10);
    ASSERT_EQ(fake::Waiting(instrument), 1);
    coreListener.Stop();
    abortListener.Stop();
    EXPECT_EQ(fake::OpenSessions(instrument), 0u);
    EXPECT_EQ(budget.InUse(), 0);
    // The read's reply, if it made it out before the connection closed, says the wait was cut short.
    if (const auto reply = connection.client.ReceiveRecord()) {
        const auto results = test::SuccessResults(reply, 600);
        ASSERT_TRUE(results);
        const std::uint32_t error = lan::XdrReader(*results).Uint32();
        EXPECT_TRUE(error == kInvalidLink || error == kAborted) << error;
    }
    EXPECT_TRUE(connection.client.ClosedByServer());
}

namespace {
std::string IntrChanArguments(std::uint16_t port, std::uint32_t address = 0x7F000001)
{
    return Words({address, port, kInterruptProgram, kVersion, kFamilyTcp});
}

std::string EnableSrqArguments(std::uint32_t lid, bool enable, std::string_view handle)
{
    lan::XdrWriter writer;
    writer.Uint32(lid);
    writer.Bool(enable);
    writer.Opaque(handle);
    return writer.Take();
}

// device_intr_srq's argument: the handle as opaque<40>.
std::string SrqHandleArgument(std::string_view handle)
{
    lan::XdrWriter writer;
    writer.Opaque(handle);
    return writer.Take();
}
} // namespace

TEST_F(Vxi11, TheInterruptChannelCarriesEachLinksServiceRequestWithItsHandle)
{
    test::InterruptServer server;
    InProcess connection(context);
    const std::uint32_t first = connection.CreateLink().lid;
    const std::uint32_t second = connection.CreateLink().lid;
    // A handle over 40 bytes is garbage; one enabled before the channel exists is kept.
    EXPECT_EQ(connection.AcceptStatus(kDeviceEnableSrq, EnableSrqArguments(first, true, std::string(41, 'h'))),
              lan::rpc::kGarbageArguments);
    ASSERT_EQ(connection.Error(kDeviceEnableSrq, EnableSrqArguments(first, true, "first link")), kNoError);
    ASSERT_EQ(connection.Error(kCreateIntrChan, IntrChanArguments(server.Port())), kNoError);
    EXPECT_EQ(connection.Error(kCreateIntrChan, IntrChanArguments(server.Port())), kChannelAlreadyEstablished);
    const std::string longest(kMaxSrqHandle, 'x');
    ASSERT_EQ(connection.Error(kDeviceEnableSrq, EnableSrqArguments(second, true, longest)), kNoError);

    ASSERT_TRUE(fake::RequestService(instrument, first, 0x60));
    ASSERT_TRUE(fake::RequestService(instrument, second, 0x50));
    ASSERT_TRUE(server.WaitForCalls(2));
    const auto calls = server.Calls();
    for (const auto& call : calls) {
        EXPECT_EQ(call.program, kInterruptProgram);
        EXPECT_EQ(call.version, kVersion);
        EXPECT_EQ(call.procedure, kDeviceIntrSrq);
    }
    EXPECT_EQ(calls[0].arguments, SrqHandleArgument("first link"));
    EXPECT_EQ(calls[1].arguments, SrqHandleArgument(longest));
    EXPECT_EQ(server.Accepted(), 1u) << "one connection carries every request";

    // Disabled: no one to tell. Destroyed: the connection ends and nothing more is sent.
    ASSERT_EQ(connection.Error(kDeviceEnableSrq, EnableSrqArguments(first, false, "")), kNoError);
    EXPECT_FALSE(fake::RequestService(instrument, first, 0x60));
    EXPECT_EQ(connection.Error(kDestroyIntrChan, ""), kNoError);
    EXPECT_TRUE(server.WaitForEnded(1));
    EXPECT_EQ(connection.Error(kDestroyIntrChan, ""), kChannelNotEstablished);
    ASSERT_TRUE(fake::RequestService(instrument, second, 0x50));
    EXPECT_FALSE(server.WaitForCalls(3, 300));
    EXPECT_EQ(server.Accepted(), 1u);

    // Made again, it goes when the core connection does.
    ASSERT_EQ(connection.Error(kCreateIntrChan, IntrChanArguments(server.Port())), kNoError);
    ASSERT_TRUE(fake::RequestService(instrument, second, 0x50));
    ASSERT_TRUE(server.WaitForCalls(3));
    connection.Channel().CloseAll(true);
    EXPECT_TRUE(server.WaitForEnded(2));
    EXPECT_FALSE(fake::RequestService(instrument, second, 0x50)) << "a closed link's handler was kept";
}

TEST_F(Vxi11, AnInterruptServerThatIsGoneHoldsNothing)
{
    fake::ClearLog();
    InProcess connection(context);
    const std::uint32_t lid = connection.CreateLink().lid;
    std::uint16_t port = 0;
    {
        test::InterruptServer gone;
        port = gone.Port();
    }
    // Nothing listens there now: the request is dropped and said in the log; no call waits for it.
    ASSERT_EQ(connection.Error(kCreateIntrChan, IntrChanArguments(port)), kNoError);
    ASSERT_EQ(connection.Error(kDeviceEnableSrq, EnableSrqArguments(lid, true, "h")), kNoError);
    auto requests = std::async(std::launch::async, [&] {
        for (int i = 0; i < 100; ++i)
            fake::RequestService(instrument, lid, 0x60);
    });
    ASSERT_EQ(requests.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(fake::WaitForLogLine("interrupt channel to 127.0.0.1:" + std::to_string(port)));
    EXPECT_EQ(connection.Write(lid, "A?\n").first, kNoError);
    EXPECT_EQ(connection.Read(lid, 100).data, "A?=ok\n");
    EXPECT_EQ(connection.Error(kDestroyIntrChan, ""), kNoError);

    // A server that went after the channel was made: the next request finds it closed.
    test::InterruptServer leaving;
    ASSERT_EQ(connection.Error(kCreateIntrChan, IntrChanArguments(leaving.Port())), kNoError);
    ASSERT_TRUE(fake::RequestService(instrument, lid, 0x60));
    ASSERT_TRUE(leaving.WaitForCalls(1));
    leaving.Stop();
    fake::ClearLog();
    ASSERT_TRUE(fake::RequestService(instrument, lid, 0x60));
    EXPECT_TRUE(fake::WaitForLogLine("closed by the client"));
    EXPECT_EQ(connection.Error(kDestroyIntrChan, ""), kNoError);
}

TEST_F(Vxi11OverLoopback, TheInterruptChannelGoesWithItsCoreConnection)
{
    test::InterruptServer server;
    {
        OverSocket connection(corePort);
        const std::uint32_t lid = connection.CreateLink().lid;
        // A client on 127.0.0.1 can't send vornlan's interrupts to another host.
        EXPECT_EQ(connection.Error(kCreateIntrChan, IntrChanArguments(server.Port(), 0x7F000002)), kParameterError);
        ASSERT_EQ(connection.Error(kCreateIntrChan, IntrChanArguments(server.Port())), kNoError);
        ASSERT_EQ(connection.Error(kDeviceEnableSrq, EnableSrqArguments(lid, true, "loopback")), kNoError);
        ASSERT_TRUE(fake::RequestService(instrument, lid, 0x60));
        ASSERT_TRUE(server.WaitForCalls(1));
        EXPECT_EQ(server.Calls()[0].arguments, SrqHandleArgument("loopback"));
    }
    EXPECT_TRUE(server.WaitForEnded(1)) << "the interrupt channel outlived its core connection";
    EXPECT_EQ(fake::OpenSessions(instrument), 0u);
    EXPECT_EQ(server.Accepted(), 1u);
}
