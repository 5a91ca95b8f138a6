// --allow, addresses, and the listeners over loopback: who is let in, how many at once, threads
// that end when their connection does, Stop(); the raw socket and the front end's start-up.
#include "FakeInstrument.h"
#include "FakeInstrument.h"
#include "HislipMessage.h"
#include "HislipTransport.h"
#include "NetworkFrontEnd.h"
#include "RawSocketTransport.h"
#include "RpcTestClient.h"
#include "Sockets.h"
#include "TcpListener.h"
#include "TrafficHistory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>

TEST(ClientNetworks, ParsesNetworksAndSingleAddresses)
{
    struct Case {
        const char* text;
        std::optional<std::pair<std::uint32_t, std::uint32_t>> network; // address, mask
    };
    const Case cases[] = {
        {"192.168.7.0/24", {{0xC0A80700, 0xFFFFFF00}}},
        {"192.168.7.10", {{0xC0A8070A, 0xFFFFFFFF}}},
        {"192.168.7.9/24", {{0xC0A80700, 0xFFFFFF00}}}, // the network it lies in
        {"10.0.0.0/8", {{0x0A000000, 0xFF000000}}},
        {"0.0.0.0/0", {{0, 0}}},
        {"1.2.3.4/32", {{0x01020304, 0xFFFFFFFF}}},
        {"172.16.0.0/12", {{0xAC100000, 0xFFF00000}}},
        {"192.168.7.0/33", std::nullopt},
        {"192.168.7.0/", std::nullopt},
        {"192.168.7.0/-1", std::nullopt},
        {"192.168.7.0/024", std::nullopt},
        {"192.168.7.0/24x", std::nullopt},
        {"192.168.7/24", std::nullopt},
        {"256.1.1.1", std::nullopt},
        {"1.2.3.4.5", std::nullopt},
        {"01.2.3.4", std::nullopt},
        {"1..3.4", std::nullopt},
        {" 1.2.3.4", std::nullopt},
        {"1.2.3.4 ", std::nullopt},
        {"localhost", std::nullopt},
        {"", std::nullopt},
        {"1234.1.1.1", std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<ClientNetwork> network = ParseClientNetwork(c.text);
        ASSERT_EQ(network.has_value(), c.network.has_value()) << c.text;
        if (network) {
            EXPECT_EQ(network->address, c.network->first) << c.text;
            EXPECT_EQ(network->mask, c.network->second) << c.text;
        }
    }
}

TEST(ClientNetworks, AdmitsAddressesInAnyListedNetworkAndEveryoneWithoutAList)
{
    const std::vector<ClientNetwork> allow = {*ParseClientNetwork("192.168.7.0/24"), *ParseClientNetwork("10.1.2.3")};
    struct Case {
        const char* address;
        bool admitted;
    };
    const Case cases[] = {
        {"192.168.7.0", true}, {"192.168.7.255", true}, {"192.168.8.1", false}, {"192.168.6.255", false},
        {"10.1.2.3", true},    {"10.1.2.4", false},     {"127.0.0.1", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Admits(allow, *lan::ParseIpv4(c.address)), c.admitted) << c.address;
        EXPECT_TRUE(Admits({}, *lan::ParseIpv4(c.address))) << c.address;
    }
    // A network given with host bits set still admits its whole network.
    EXPECT_TRUE(Admits({{0xC0A80709, 0xFFFFFF00}}, 0xC0A80701));
}

TEST(Addresses, WriteAsTheLogShowsThem)
{
    EXPECT_EQ(lan::Ipv4Text(0x7F000001), "127.0.0.1");
    EXPECT_EQ(lan::Ipv4Text(0xFFFFFFFF), "255.255.255.255");
    sockaddr_in peer{};
    peer.sin_addr.s_addr = htonl(0x0A010203);
    peer.sin_port = htons(4444);
    EXPECT_EQ(lan::PeerText(peer), "10.1.2.3:4444");
}

namespace {
// Holds the connection until the peer closes it or Stop() shuts it down; counts what happened.
struct Counters {
    std::atomic<int> served{0};
    std::atomic<int> interrupted{0};
};

class Holder : public lan::Connection {
public:
    explicit Holder(Counters& counters) : counters_(counters) {}
    void Serve(SOCKET socket) override
    {
        ++counters_.served;
        char buffer[64];
        while (lan::ReceiveSome(socket, buffer, sizeof buffer) > 0)
            lan::SendAll(socket, "hello\n");
    }
    void Interrupt() override { ++counters_.interrupted; }

private:
    Counters& counters_;
};

class Listening : public testing::Test {
protected:
    void SetUp() override { fake::ClearLog(); }

    // Starts `listener` on an ephemeral loopback port and returns the port.
    std::uint16_t Start(lan::TcpListener& listener)
    {
        std::string error;
        lan::Socket socket = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
        EXPECT_TRUE(socket) << error;
        const std::uint16_t port = lan::LocalPort(socket.get());
        listener.Start(std::move(socket));
        return port;
    }

    std::unique_ptr<lan::TcpListener> HolderListener(lan::ConnectionBudget& budget,
                                                     std::vector<ClientNetwork> allow = {})
    {
        return std::make_unique<lan::TcpListener>(log, "test", std::move(allow), budget, [this](const std::string&) {
            return std::make_unique<Holder>(counters);
        });
    }

    // Whether the server answers on the connection (it does once the connection is admitted).
    static bool Answers(test::Client& client)
    {
        char buffer[16];
        return client.Send("x") && lan::ReceiveSome(client.get(), buffer, sizeof buffer) > 0;
    }

    // Waits (boundedly) until `condition` holds.
    template <class Condition>
    static bool Eventually(Condition condition)
    {
        for (int i = 0; i < 1000; ++i) {
            if (condition())
                return true;
            Sleep(10);
        }
        return condition();
    }

    lan::WinsockSession winsock;
    fake::TestLog log;
    Counters counters;
};
} // namespace

TEST_F(Listening, RefusesClientsOutsideTheAllowedNetworksAndLogsThem)
{
    lan::ConnectionBudget budget(4);
    auto listener = HolderListener(budget, {*ParseClientNetwork("192.168.7.0/24")});
    test::Client client(Start(*listener));
    ASSERT_TRUE(client.Connected());
    EXPECT_TRUE(client.ClosedByServer());
    EXPECT_TRUE(fake::WaitForLogLine("refused: not in --allow"));
    EXPECT_EQ(counters.served, 0);
    EXPECT_EQ(budget.InUse(), 0);
}

TEST_F(Listening, SharesOneBudgetOfConnectionsBetweenListeners)
{
    lan::ConnectionBudget budget(2);
    auto first = HolderListener(budget);
    auto second = HolderListener(budget);
    const std::uint16_t firstPort = Start(*first);
    const std::uint16_t secondPort = Start(*second);

    test::Client a(firstPort);
    ASSERT_TRUE(Answers(a));
    test::Client b(secondPort);
    ASSERT_TRUE(Answers(b));
    test::Client over(secondPort);
    ASSERT_TRUE(over.Connected());
    EXPECT_TRUE(over.ClosedByServer());
    EXPECT_TRUE(fake::WaitForLogLine("refused: too many clients (2)"));

    // One leaves: there is room again.
    a.Close();
    EXPECT_TRUE(Eventually([&] { return budget.InUse() == 1; }));
    test::Client again(firstPort);
    EXPECT_TRUE(Answers(again));
    EXPECT_EQ(budget.InUse(), 2);
}

TEST_F(Listening, LogsEachClientConnectingAndLeaving)
{
    lan::ConnectionBudget budget(4);
    auto listener = HolderListener(budget);
    {
        test::Client client(Start(*listener));
        ASSERT_TRUE(Answers(client));
    }
    EXPECT_TRUE(fake::WaitForLogLine(" left (test)"));
    const std::vector<std::string> lines = fake::LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("client 127.0.0.1:", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" connected (test)"), std::string::npos) << lines[0];
    // The same peer leaves.
    EXPECT_EQ(lines[1], lines[0].substr(0, lines[0].find(" connected")) + " left (test)");
}

TEST_F(Listening, JoinsTheThreadsOfFinishedConnectionsAsItGoes)
{
    lan::ConnectionBudget budget(4);
    auto listener = HolderListener(budget);
    const std::uint16_t port = Start(*listener);
    constexpr int kCycles = 1000;
    for (int i = 0; i < kCycles; ++i) {
        test::Client client(port);
        ASSERT_TRUE(client.Connected()) << i;
        // Closing right away: some are closed before they're accepted, and all must be let go.
    }
    EXPECT_TRUE(Eventually([&] { return budget.InUse() == 0 && listener->ThreadsHeld() == 0; }))
        << budget.InUse() << " connections in use, " << listener->ThreadsHeld() << " threads held";
    test::Client last(port);
    EXPECT_TRUE(Answers(last));
}

TEST_F(Listening, KeepsAcceptingThroughConnectionsResetBeforeTheyAreAccepted)
{
    lan::ConnectionBudget budget(64);
    auto listener = HolderListener(budget);
    const std::uint16_t port = Start(*listener);
    // Half the clients close with a reset (SO_LINGER 0), as a killed program's connection ends: such a
    // connection is gone by the time the listener takes it from the backlog.
    constexpr int kCycles = 3000;
    constexpr int kCheckEvery = 100; // well under any backlog, so a stalled listener can't block connect()
    for (int i = 0; i < kCycles; ++i) {
        test::Client client(port);
        ASSERT_TRUE(client.Connected()) << "cycle " << i;
        if (i % 2 == 0) {
            const linger reset{1, 0};
            setsockopt(client.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
        }
        client.Close();
        if (i % kCheckEvery == kCheckEvery - 1) {
            // Taken at once, not after the backlog drains at the pace of some timeout: a client left
            // waiting for seconds has met a listener that stopped taking clients.
            test::Client probe(port);
            const DWORD patience = 5000;
            setsockopt(probe.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&patience),
                       sizeof patience);
            ASSERT_TRUE(Answers(probe)) << "the listener stopped taking clients after " << i + 1 << " cycles";
        }
    }
    EXPECT_TRUE(Eventually([&] { return budget.InUse() == 0 && listener->ThreadsHeld() == 0; }))
        << budget.InUse() << " connections in use, " << listener->ThreadsHeld() << " threads held";
    // A connection gone before it was taken is nobody's business: no line about it.
    const std::vector<std::string> lines = fake::LogLines();
    const auto failure = std::find_if(lines.begin(), lines.end(),
                                      [](const std::string& line) { return line.find("cannot accept") == 0; });
    EXPECT_EQ(failure, lines.end()) << *failure;
}

TEST_F(Listening, TakesConnectionsThatNoAcceptEventAnnounces)
{
    lan::ConnectionBudget budget(4);
    auto listener = HolderListener(budget);
    std::string error;
    lan::Socket socket = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
    ASSERT_TRUE(socket) << error;
    const SOCKET raw = socket.get();
    const std::uint16_t port = lan::LocalPort(raw);
    listener->Start(std::move(socket));
    // FD_ACCEPT now goes to another event, as when the system doesn't signal it again: the listener
    // must still find the connections waiting.
    lan::SocketEvent elsewhere;
    ASSERT_NE(WSAEventSelect(raw, elsewhere.get(), FD_ACCEPT), SOCKET_ERROR);
    for (int i = 0; i < 3; ++i) {
        test::Client client(port);
        const DWORD patience = 5000;
        setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&patience), sizeof patience);
        EXPECT_TRUE(Answers(client)) << i;
    }
}

TEST_F(Listening, StopEndsEveryConnectionAndJoinsItsThread)
{
    lan::ConnectionBudget budget(8);
    auto listener = HolderListener(budget);
    const std::uint16_t port = Start(*listener);
    std::vector<std::unique_ptr<test::Client>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<test::Client>(port));
        ASSERT_TRUE(Answers(*clients.back()));
    }
    listener->Stop();
    EXPECT_EQ(counters.interrupted, 3);
    EXPECT_EQ(listener->ThreadsHeld(), 0u);
    EXPECT_EQ(budget.InUse(), 0);
    for (auto& client : clients)
        EXPECT_TRUE(client->ClosedByServer());
    // No longer listening.
    test::Client late(port);
    EXPECT_FALSE(late.Connected() && Answers(late));
    listener->Stop(); // twice is harmless
}

TEST_F(Listening, BindsPortsExclusively)
{
    std::string error;
    lan::Socket first = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
    ASSERT_TRUE(first) << error;
    const std::uint16_t port = lan::LocalPort(first.get());
    EXPECT_FALSE(lan::ListenTcp(INADDR_LOOPBACK, port, error));
    EXPECT_NE(error.find("10048"), std::string::npos) << error; // WSAEADDRINUSE, with the system's text
    lan::Socket udp = lan::BindUdp(INADDR_LOOPBACK, 0, error);
    ASSERT_TRUE(udp) << error;
    EXPECT_FALSE(lan::BindUdp(INADDR_LOOPBACK, lan::LocalPort(udp.get()), error));
}

namespace {
class RawSocket : public Listening {
protected:
    RawSocket() : instrument(log) {}
    Instrument instrument;
    TrafficHistory history;
};
} // namespace

TEST_F(RawSocket, SendsEachBatchOfResponsesAndClosesTheSessionWithTheConnection)
{
    lan::ConnectionBudget budget(4);
    lan::TcpListener listener(log, "raw socket", {}, budget,
                              [&](const std::string& peer) { return lan::MakeRawSocketConnection(instrument, peer); });
    test::Client client(Start(listener));
    ASSERT_TRUE(client.Send("A?\nB\nC?\n"));
    std::string received;
    char buffer[256];
    while (received.size() < 12) {
        const int count = lan::ReceiveSome(client.get(), buffer, sizeof buffer);
        ASSERT_GT(count, 0);
        received.append(buffer, static_cast<std::size_t>(count));
    }
    EXPECT_EQ(received, "A?=ok\nC?=ok\n");
    // A message split over sends.
    ASSERT_TRUE(client.Send("D"));
    ASSERT_TRUE(client.Send("?\n"));
    const int count = lan::ReceiveSome(client.get(), buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(std::max(count, 0))), "D?=ok\n");

    EXPECT_EQ(fake::OpenSessions(instrument), 1u);
    client.Close();
    EXPECT_TRUE(Eventually([&] { return fake::OpenSessions(instrument) == 0; }));
}

TEST_F(RawSocket, StopEndsAConnectionWaitingForTheModule)
{
    lan::ConnectionBudget budget(4);
    lan::TcpListener listener(log, "raw socket", {}, budget,
                              [&](const std::string& peer) { return lan::MakeRawSocketConnection(instrument, peer); });
    test::Client client(Start(listener));
    ASSERT_TRUE(client.Send("BUSY?\n"));
    ASSERT_TRUE(Eventually([&] { return fake::Waiting(instrument) == 1; }));
    listener.Stop();
    EXPECT_EQ(fake::OpenSessions(instrument), 0u);
    EXPECT_TRUE(client.ClosedByServer());
}

TEST_F(RawSocket, DropsAClientThatNeverReadsAfterTheSendTimeoutAndClosesItsSession)
{
    lan::ConnectionBudget budget(4);
    lan::TcpListener listener(log, "raw socket", {}, budget,
                              [&](const std::string& peer) { return lan::MakeRawSocketConnection(instrument, peer); });
    listener.SetSendTimeout(1000);
    const std::uint16_t port = Start(listener);
    lan::Socket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    // Small buffers on this side, so that the server's sends back up soon; this side's own sends give
    // up once the server no longer reads.
    const int buffer = 4096;
    setsockopt(client.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
    const DWORD patience = 2000;
    setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&patience), sizeof patience);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ASSERT_EQ(connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

    // 16 KiB queries, each answered in full, never read: far beyond what the buffers between hold.
    const std::string query = std::string(16 * 1024, 'Q') + "?\n";
    int sent = 0;
    while (sent < 2000 && lan::SendAll(client.get(), query))
        ++sent;
    EXPECT_LT(sent, 2000) << "the server went on reading a client that never read";
    EXPECT_TRUE(Eventually([&] { return fake::OpenSessions(instrument) == 0; })) << "the session is still open";
    EXPECT_TRUE(fake::WaitForLogLine(" left (raw socket)"));
    EXPECT_TRUE(Eventually([&] { return budget.InUse() == 0 && listener.ThreadsHeld() == 0; }));
}

TEST_F(Listening, ArmsKeepAliveAndASendTimeoutOnEveryConnection)
{
    std::string error;
    lan::Socket listening = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
    ASSERT_TRUE(listening) << error;
    test::Client client(lan::LocalPort(listening.get()));
    lan::Socket accepted(accept(listening.get(), nullptr, nullptr));
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(lan::PrepareConnection(accepted.get(), 1234, error)) << error;
    DWORD timeout = 0;
    int length = sizeof timeout;
    ASSERT_EQ(getsockopt(accepted.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&timeout), &length), 0);
    EXPECT_EQ(timeout, 1234u);
    BOOL keepAlive = FALSE;
    length = sizeof keepAlive;
    ASSERT_EQ(getsockopt(accepted.get(), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&keepAlive), &length), 0);
    EXPECT_TRUE(keepAlive);
    // A socket that is no longer one can't be readied.
    const SOCKET gone = accepted.release();
    closesocket(gone);
    EXPECT_FALSE(lan::PrepareConnection(gone, 1000, error));
    EXPECT_FALSE(error.empty());
}

namespace {
// A port free a moment ago (the test binds it next).
std::uint16_t FreePort()
{
    std::string error;
    lan::Socket socket = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
    return lan::LocalPort(socket.get());
}
} // namespace

TEST_F(RawSocket, FrontEndReportsAPortItCannotBindAndRunsTheOthers)
{
    std::string error;
    lan::Socket taken = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
    ASSERT_TRUE(taken) << error;
    NetworkSettings settings;
    settings.rawPort = lan::LocalPort(taken.get());
    settings.vxi11Port = FreePort();
    settings.portmapper = false;
    settings.hislipPort = 0;
    settings.httpPort = 0;
    NetworkFrontEnd frontEnd(instrument, log, settings, history);
    EXPECT_EQ(frontEnd.Start(), 1);
    const std::string raw = std::to_string(settings.rawPort);
    const std::string core = std::to_string(settings.vxi11Port);
    EXPECT_TRUE(fake::WaitForLogLine("cannot listen on 127.0.0.1:" + raw + "/tcp: "));
    EXPECT_TRUE(fake::WaitForLogLine("listening on 127.0.0.1: VXI-11 core " + core + "/tcp, abort "));
    EXPECT_EQ(frontEnd.ResourceStrings(), std::vector<std::string>{"TCPIP::127.0.0.1::INSTR"});

    test::Client client(settings.vxi11Port);
    EXPECT_TRUE(client.Connected());
    frontEnd.Stop();
    EXPECT_TRUE(client.ClosedByServer());
}

TEST_F(RawSocket, FrontEndNamesTheResourcesOfWhatRuns)
{
    NetworkSettings settings;
    settings.rawPort = FreePort();
    settings.vxi11Port = 0; // off
    settings.portmapper = false;
    settings.hislipPort = FreePort();
    settings.httpPort = 0;
    NetworkFrontEnd frontEnd(instrument, log, settings, history);
    EXPECT_EQ(frontEnd.Start(), 2);
    const std::string hislip = std::to_string(settings.hislipPort);
    EXPECT_TRUE(fake::WaitForLogLine("listening on 127.0.0.1: raw SCPI " + std::to_string(settings.rawPort) +
                                     "/tcp, HiSLIP " + hislip + "/tcp"));
    EXPECT_EQ(frontEnd.ResourceStrings(),
              (std::vector<std::string>{"TCPIP::127.0.0.1::" + std::to_string(settings.rawPort) + "::SOCKET",
                                        "TCPIP::127.0.0.1::hislip0," + hislip + "::INSTR"}));
    // As VISA writes them: HiSLIP's own port is left out.
    EXPECT_EQ(lan::HislipResource("lab-pc", 4880), "TCPIP::lab-pc::hislip0::INSTR");
    test::Client client(settings.rawPort);
    ASSERT_TRUE(client.Send("X?\n"));
    char buffer[32];
    const int count = lan::ReceiveSome(client.get(), buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(std::max(count, 0))), "X?=ok\n");
    // The HiSLIP port answers an Initialize.
    test::Client hislipClient(settings.hislipPort);
    ASSERT_TRUE(hislipClient.Send(lan::hislip::Message(lan::hislip::Type::Initialize, 0, 0x01000000, "hislip0")));
    const int answered = lan::ReceiveSome(hislipClient.get(), buffer, sizeof buffer);
    ASSERT_EQ(answered, 16);
    EXPECT_EQ(buffer[2], static_cast<char>(lan::hislip::Type::InitializeResponse));
}

TEST_F(RawSocket, FrontEndRefusesAListenAddressThatIsNotOne)
{
    NetworkSettings settings;
    settings.listenAddress = "lab-pc";
    NetworkFrontEnd frontEnd(instrument, log, settings, history);
    EXPECT_EQ(frontEnd.Start(), 0);
    EXPECT_TRUE(frontEnd.ResourceStrings().empty());
    EXPECT_TRUE(fake::WaitForLogLine("cannot listen on lab-pc: not an IPv4 address"));
}
