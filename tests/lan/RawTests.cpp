// The raw socket's session against the stand-in instrument, over loopback: a client that leaves while
// its message waits is dropped at once, one that only closed its side still gets its replies, and input
// the session has no room for waits unread and comes through in order.
#include "FakeInstrument.h"
#include "RawSocketTransport.h"
#include "RpcTestClient.h"

#include <gtest/gtest.h>

namespace {

class RawSession : public testing::Test {
protected:
    RawSession() : instrument(log)
    {
        fake::ClearLog();
        std::string error;
        lan::Socket socket = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
        EXPECT_TRUE(socket) << error;
        port = lan::LocalPort(socket.get());
        listener.Start(std::move(socket));
    }

    bool Saw(const std::string& what)
    {
        for (const fake::Event& event : fake::Events(instrument))
            if (event.what == what)
                return true;
        return false;
    }

    // What the server sends until it closes the connection.
    static std::string ReadToEnd(test::Client& client)
    {
        std::string received;
        char buffer[256];
        for (;;) {
            const int count = lan::ReceiveSome(client.get(), buffer, sizeof buffer);
            if (count <= 0)
                return received;
            received.append(buffer, static_cast<std::size_t>(count));
        }
    }

    lan::WinsockSession winsock;
    fake::TestLog log;
    Instrument instrument;
    lan::ConnectionBudget budget{4};
    lan::TcpListener listener{log, "raw socket", {}, budget, [this](const std::string& peer) {
                                  return lan::MakeRawSocketConnection(instrument, peer);
                              }};
    std::uint16_t port = 0;
};

} // namespace

TEST_F(RawSession, AClientThatLeavesWhileItsMessageWaitsIsDroppedAtOnce)
{
    for (const bool reset : {false, true}) {
        fake::ClearLog();
        {
            test::Client client(port);
            ASSERT_TRUE(client.Send("BUSY?\n"));
            for (int i = 0; i < 1000 && fake::Waiting(instrument) == 0; ++i)
                Sleep(10);
            ASSERT_EQ(fake::Waiting(instrument), 1);
            if (reset) {
                const LINGER abortive{1, 0};
                setsockopt(client.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive);
            }
        }
        EXPECT_TRUE(fake::WaitForLogLine("left (raw socket)")) << "reset " << reset;
        EXPECT_TRUE(Saw("gone")) << "reset " << reset;
        EXPECT_EQ(fake::OpenSessions(instrument), 0u);
        EXPECT_EQ(fake::Waiting(instrument), 0);
        for (int i = 0; i < 100 && budget.InUse() != 0; ++i)
            Sleep(10);
        EXPECT_EQ(budget.InUse(), 0);
        fake::Release(instrument);
    }
}

TEST_F(RawSession, AHalfClosedClientStillGetsItsReplies)
{
    test::Client client(port);
    ASSERT_TRUE(client.Send("A?\nB\nC?\n"));
    ASSERT_EQ(shutdown(client.get(), SD_SEND), 0);
    EXPECT_EQ(ReadToEnd(client), "A?=ok\nC?=ok\n");
}

TEST_F(RawSession, InputBeyondTheSessionsRoomWaitsAndComesThroughInOrder)
{
    fake::SetRoom(instrument, 5);
    test::Client client(port);
    ASSERT_TRUE(client.Send("AB?\nCDEF?\nG\nH?\n"));
    ASSERT_EQ(shutdown(client.get(), SD_SEND), 0);
    EXPECT_EQ(ReadToEnd(client), "AB?=ok\nCDEF?=ok\nH?=ok\n");
    std::vector<std::string> messages;
    for (const fake::Event& event : fake::Events(instrument))
        if (event.what == "message")
            messages.push_back(event.detail);
    EXPECT_EQ(messages, (std::vector<std::string>{"AB?", "CDEF?", "G", "H?"}));
}
