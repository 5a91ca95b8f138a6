// Calls dispatched to the programs served, and every kind of reply; the portmapper in process and
// over loopback UDP and TCP.
#include "FakeInstrument.h"
#include "FakeInstrument.h"
#include "OncRpc.h"
#include "Portmapper.h"
#include "RpcTestClient.h"

#include <gtest/gtest.h>

using namespace std::string_literals;
using lan::PortmapperProgram;
using lan::PortMapping;
using test::CallMessage;
using test::Words;
namespace portmap = lan::portmap;

namespace {
// A program 0x20000001 version 3: procedure 1 adds two words; others aren't there.
class Adder : public lan::RpcProgram {
public:
    std::uint32_t Program() const noexcept override { return 0x20000001; }
    std::uint32_t Version() const noexcept override { return 3; }
    lan::ProcedureOutcome Call(std::uint32_t procedure, lan::XdrReader& arguments, lan::XdrWriter& results) override
    {
        if (procedure == 9)
            return lan::ProcedureOutcome::SystemError;
        if (procedure != 1)
            return lan::ProcedureOutcome::Unavailable;
        const std::uint32_t a = arguments.Uint32();
        const std::uint32_t b = arguments.Uint32();
        if (!arguments.Ok())
            return lan::ProcedureOutcome::GarbageArguments;
        results.Uint32(a + b);
        return lan::ProcedureOutcome::Done;
    }
};

// A second version of the same program, to see the range PROG_MISMATCH reports.
class AdderVersion5 : public Adder {
public:
    std::uint32_t Version() const noexcept override { return 5; }
};

std::string WithRpcVersion(std::string call, char version)
{
    call[11] = version;
    return call;
}
} // namespace

TEST(RpcDispatch, AnswersEachKindOfCallAsItDeserves)
{
    Adder adder;
    AdderVersion5 adder5;
    lan::RpcProgram* const programs[] = {&adder, &adder5};
    struct Case {
        const char* name;
        std::string call;
        std::optional<std::string> reply;
    };
    const Case cases[] = {
        {"success", CallMessage(7, 0x20000001, 3, 1, Words({2, 3})),
         lan::AcceptedReply(7, lan::rpc::kSuccess, Words({5}))},
        {"AUTH_SYS credential", CallMessage(7, 0x20000001, 3, 1, Words({2, 3}), 1, "stamp,machine,uid"),
         lan::AcceptedReply(7, lan::rpc::kSuccess, Words({5}))},
        {"NULL procedure", CallMessage(8, 0x20000001, 5, 0), lan::AcceptedReply(8, lan::rpc::kSuccess)},
        {"unknown program", CallMessage(9, 0x20000002, 3, 1), lan::AcceptedReply(9, lan::rpc::kProgramUnavailable)},
        {"unknown version", CallMessage(10, 0x20000001, 4, 1), lan::ProgramMismatchReply(10, 3, 5)},
        {"unknown procedure", CallMessage(11, 0x20000001, 3, 2),
         lan::AcceptedReply(11, lan::rpc::kProcedureUnavailable)},
        {"arguments cut short", CallMessage(12, 0x20000001, 3, 1, Words({2})),
         lan::AcceptedReply(12, lan::rpc::kGarbageArguments)},
        {"procedure failing", CallMessage(13, 0x20000001, 3, 9), lan::AcceptedReply(13, lan::rpc::kSystemError)},
        {"RPC version 3", WithRpcVersion(CallMessage(14, 0x20000001, 3, 1, Words({2, 3})), 3),
         lan::RpcMismatchReply(14)},
        {"credential over 400 bytes", CallMessage(15, 0x20000001, 3, 1, Words({2, 3}), 1, std::string(401, 'c')),
         lan::AuthErrorReply(15, lan::rpc::kBadCredential)},
        {"header cut in the credential", CallMessage(16, 0x20000001, 3, 1).substr(0, 30),
         lan::AuthErrorReply(16, lan::rpc::kBadCredential)},
        {"unknown credential flavor", CallMessage(17, 0x20000001, 3, 1, Words({2, 3}), 6, "gss"),
         lan::AuthErrorReply(17, lan::rpc::kRejectedCredential)},
        {"a reply, not a call", Words({18, 1, 0, 0, 0, 0}), std::nullopt},
        {"only a transaction id", Words({19}), std::nullopt},
        {"nothing", "", std::nullopt},
        {"cut in the RPC version", Words({20, 0}) + "\0\0"s, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(lan::AnswerCall(c.call, programs), c.reply) << c.name;
}

TEST(RpcDispatch, RepliesHaveTheLayoutClientsDecode)
{
    // xid, REPLY, MSG_ACCEPTED, verifier AUTH_NONE with no body, status, then results.
    EXPECT_EQ(lan::AcceptedReply(0x01020304, lan::rpc::kSuccess, Words({9})), Words({0x01020304, 1, 0, 0, 0, 0, 9}));
    EXPECT_EQ(lan::ProgramMismatchReply(5, 1, 2), Words({5, 1, 0, 0, 0, 2, 1, 2}));
    // MSG_DENIED: RPC_MISMATCH with the versions served, or AUTH_ERROR with its reason.
    EXPECT_EQ(lan::RpcMismatchReply(6), Words({6, 1, 1, 0, 2, 2}));
    EXPECT_EQ(lan::AuthErrorReply(7, lan::rpc::kBadCredential), Words({7, 1, 1, 1, 1}));
}

namespace {
PortmapperProgram MakePortmapper()
{
    return PortmapperProgram({
        {portmap::kProgram, portmap::kVersion, portmap::kTcp, 111},
        {portmap::kProgram, portmap::kVersion, portmap::kUdp, 111},
        {0x0607AF, 1, portmap::kTcp, 1024},
        {0x0607B0, 1, portmap::kTcp, 1025},
    });
}

std::optional<std::string> AskPortmapper(lan::RpcProgram& portmapper, std::uint32_t procedure,
                                         const std::string& arguments, std::uint32_t version = 2)
{
    lan::RpcProgram* const programs[] = {&portmapper};
    return test::SuccessResults(
        lan::AnswerCall(CallMessage(42, portmap::kProgram, version, procedure, arguments), programs), 42);
}
} // namespace

TEST(Portmapper, GetPortAnswersForTheProgramsServedAndZeroOtherwise)
{
    PortmapperProgram portmapper = MakePortmapper();
    struct Case {
        std::uint32_t program, version, protocol, port;
    };
    const Case cases[] = {
        {0x0607AF, 1, portmap::kTcp, 1024}, {0x0607B0, 1, portmap::kTcp, 1025},
        {0x0607AF, 1, portmap::kUdp, 0},    {0x0607AF, 2, portmap::kTcp, 0},
        {0x0607B1, 1, portmap::kTcp, 0},    {portmap::kProgram, 2, portmap::kUdp, 111},
    };
    for (const Case& c : cases) {
        // The port in the arguments means nothing to GETPORT.
        EXPECT_EQ(AskPortmapper(portmapper, portmap::kGetPort, Words({c.program, c.version, c.protocol, 77})),
                  Words({c.port}))
            << std::hex << c.program << " v" << c.version << " protocol " << std::dec << c.protocol;
    }
}

TEST(Portmapper, DumpListsEveryMapping)
{
    PortmapperProgram portmapper = MakePortmapper();
    EXPECT_EQ(AskPortmapper(portmapper, portmap::kDump, ""),
              Words({1, portmap::kProgram, 2, 6, 111,  1, portmap::kProgram, 2, 17, 111, 1, 0x0607AF, 1, 6, 1024,
                     1, 0x0607B0,          1, 6, 1025, 0}));
}

TEST(Portmapper, RefusesRegistrationsAndMalformedCalls)
{
    PortmapperProgram portmapper = MakePortmapper();
    EXPECT_EQ(AskPortmapper(portmapper, portmap::kSet, Words({0x0607AF, 1, 6, 2000})), Words({0}));
    EXPECT_EQ(AskPortmapper(portmapper, portmap::kUnset, Words({0x0607AF, 1, 6, 0})), Words({0}));
    // Still mapped as before.
    EXPECT_EQ(AskPortmapper(portmapper, portmap::kGetPort, Words({0x0607AF, 1, 6, 0})), Words({1024}));

    lan::RpcProgram* const programs[] = {&portmapper};
    const auto answer = [&](std::uint32_t version, std::uint32_t procedure, const std::string& arguments) {
        return lan::AnswerCall(CallMessage(43, portmap::kProgram, version, procedure, arguments), programs);
    };
    EXPECT_EQ(answer(2, portmap::kGetPort, Words({0x0607AF, 1, 6})),
              lan::AcceptedReply(43, lan::rpc::kGarbageArguments));
    EXPECT_EQ(answer(2, portmap::kCallIt, Words({0x0607AF, 1, 0, 0})),
              lan::AcceptedReply(43, lan::rpc::kProcedureUnavailable));
    // rpcbind's versions: the client falls back to 2.
    EXPECT_EQ(answer(4, 3, ""), lan::ProgramMismatchReply(43, 2, 2));
    EXPECT_EQ(answer(3, 3, ""), lan::ProgramMismatchReply(43, 2, 2));
}

namespace {
// A UDP socket of the test's, on loopback, that gives up on a read after a while.
lan::Socket UdpClient()
{
    lan::Socket socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    const DWORD timeout = 20000;
    setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    return socket;
}

sockaddr_in Loopback(std::uint16_t port, std::uint32_t address = INADDR_LOOPBACK)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(port);
    return to;
}

class Network : public testing::Test {
protected:
    lan::WinsockSession winsock;
    fake::TestLog log;
};
} // namespace

// The server on an ephemeral loopback port, told in `port`.
void StartOnLoopback(lan::UdpRpcServer& server, std::uint16_t& port)
{
    std::string error;
    lan::Socket bound = lan::BindUdp(INADDR_LOOPBACK, 0, error);
    ASSERT_TRUE(bound) << error;
    port = lan::LocalPort(bound.get());
    server.Start(std::move(bound));
}

TEST_F(Network, PortmapperOverUdpAnswersEachDatagramAndSkipsGarbage)
{
    PortmapperProgram portmapper = MakePortmapper();
    lan::UdpRpcServer server(log, {}, portmapper);
    std::uint16_t port = 0;
    ASSERT_NO_FATAL_FAILURE(StartOnLoopback(server, port));

    lan::Socket client = UdpClient();
    const sockaddr_in to = Loopback(port);
    const auto send = [&](const std::string& datagram) {
        return sendto(client.get(), datagram.data(), static_cast<int>(datagram.size()), 0,
                      reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    // Garbage, a reply, an oversized datagram: no answer, and the server goes on.
    ASSERT_NE(send("garbage"), SOCKET_ERROR);
    ASSERT_NE(send(Words({1, 1, 0, 0, 0, 0})), SOCKET_ERROR);
    ASSERT_NE(send(std::string(4000, 'x')), SOCKET_ERROR);
    ASSERT_NE(send(CallMessage(77, portmap::kProgram, 2, portmap::kGetPort, Words({0x0607AF, 1, 6, 0}))), SOCKET_ERROR);
    char buffer[512];
    const int received = recv(client.get(), buffer, sizeof buffer, 0);
    ASSERT_GT(received, 0) << WSAGetLastError();
    EXPECT_EQ(test::SuccessResults(std::string(buffer, static_cast<std::size_t>(received)), 77), Words({1024}));
    server.Stop();
}

TEST_F(Network, PortmapperOverUdpDropsDatagramsFromOutsideTheAllowedNetworks)
{
    fake::ClearLog();
    PortmapperProgram portmapper = MakePortmapper();
    lan::UdpRpcServer server(log, {*ParseClientNetwork("10.0.0.0/8")}, portmapper);
    std::uint16_t port = 0;
    ASSERT_NO_FATAL_FAILURE(StartOnLoopback(server, port));

    lan::Socket client = UdpClient();
    const sockaddr_in to = Loopback(port);
    const std::string call = CallMessage(78, portmap::kProgram, 2, portmap::kNull);
    ASSERT_NE(sendto(client.get(), call.data(), static_cast<int>(call.size()), 0,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to),
              SOCKET_ERROR);
    EXPECT_TRUE(fake::WaitForLogLine("refused: not in --allow (portmapper over UDP)"));
    server.Stop();
}

TEST_F(Network, PortmapperOverTcpAnswersCallsInOrderOnOneConnection)
{
    PortmapperProgram portmapper = MakePortmapper();
    lan::ConnectionBudget budget(4);
    lan::TcpListener listener(log, "portmapper", {}, budget,
                              [&](const std::string&) { return lan::MakeRpcConnection(portmapper, 1024); });
    std::string error;
    lan::Socket socket = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
    ASSERT_TRUE(socket) << error;
    const std::uint16_t port = lan::LocalPort(socket.get());
    listener.Start(std::move(socket));

    test::Client client(port);
    ASSERT_TRUE(client.Connected());
    // Two calls in one send, the second in two fragments.
    const std::string second = CallMessage(2, portmap::kProgram, 2, portmap::kGetPort, Words({0x0607B0, 1, 6, 0}));
    lan::XdrWriter firstHalf;
    firstHalf.Uint32(10);
    ASSERT_TRUE(client.Send(lan::FrameRecord(CallMessage(1, portmap::kProgram, 2, portmap::kNull)) + firstHalf.Bytes() +
                            second.substr(0, 10) + lan::FrameRecord(second.substr(10))));
    EXPECT_EQ(test::SuccessResults(client.ReceiveRecord(), 1), "");
    EXPECT_EQ(test::SuccessResults(client.ReceiveRecord(), 2), Words({1025}));

    // A record over the bound ends the connection, not the listener.
    ASSERT_TRUE(client.Send(Words({0x80000000u | 2000})));
    EXPECT_TRUE(client.ClosedByServer());
    test::Client next(port);
    ASSERT_TRUE(next.Connected());
    EXPECT_EQ(next.Call(portmap::kProgram, 2, portmap::kGetPort, Words({0x0607AF, 1, 6, 0})), Words({1024}));
}
