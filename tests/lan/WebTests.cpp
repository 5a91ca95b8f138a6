// The web page's transport in process, against the stand-in core: pipelining on a kept connection,
// the event stream's resumption and its end at Stop(), the console while another client holds the lock,
// the traffic history's bounds and waits, and the text conversions everything shown passes through.
#include "FakeInstrument.h"
#include "MessageJson.h"
#include "HttpMessage.h"
#include "RpcTestClient.h"
#include "Sockets.h"
#include "TcpListener.h"
#include "TrafficHistory.h"
#include "WebAssets.h"
#include "WebSite.h"
#include "WebText.h"
#include "CodePage.h"
#include "Consoles.h"
#include "ScpiErrors.h"
#include "Text.h"

#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <thread>

using namespace std::chrono_literals;

namespace {

class Web : public ::testing::Test {
protected:
    Web() : instrument(log), site(instrument, history, log, WebSettings{"127.0.0.1", 0, {}})
    {
        std::string error;
        lan::Socket socket = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
        port = lan::LocalPort(socket.get());
        listener.Start(std::move(socket));
    }

    // Everything the server sends until it closes the connection.
    std::string Exchange(std::string_view request)
    {
        test::Client client(port);
        EXPECT_TRUE(client.Send(request));
        return ReadUntil(client, {});
    }

    // Reads until `text` has arrived (or, with none, until the server closes).
    static std::string ReadUntil(test::Client& client, std::string_view text, std::string received = {})
    {
        char buffer[4096];
        while (text.empty() || received.find(text) == std::string::npos) {
            const int count = lan::ReceiveSome(client.get(), buffer, sizeof buffer);
            if (count <= 0)
                break;
            received.append(buffer, static_cast<std::size_t>(count));
        }
        return received;
    }

    static std::vector<int> Statuses(const std::string& responses)
    {
        std::vector<int> statuses;
        const std::regex line("HTTP/1\\.1 (\\d{3}) ");
        for (auto it = std::sregex_iterator(responses.begin(), responses.end(), line); it != std::sregex_iterator();
             ++it)
            statuses.push_back(std::stoi((*it)[1]));
        return statuses;
    }

    lan::WinsockSession winsock;
    fake::TestLog log;
    Instrument instrument;
    TrafficHistory history{3};
    WebSite site;
    lan::ConnectionBudget budget{8};
    lan::TcpListener listener{log, "web", {}, budget,
                              [this](const std::string& peer) { return lan::MakeWebConnection(site, peer); }};
    std::uint16_t port = 0;
};

TrafficEntry Entry(std::string message)
{
    TrafficEntry entry;
    entry.client = "10.0.0.7:5000";
    entry.transport = "raw socket";
    entry.message = std::move(message);
    return entry;
}

} // namespace

TEST_F(Web, AKeptConnectionAnswersPipelinedRequestsInOrderAndAHeadRequestGetsNoBody)
{
    const std::string responses = Exchange("GET /vornlan.css HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                                           "HEAD /vornlan.js HTTP/1.1\r\nHost: localhost\r\n\r\n"
                                           "GET /nowhere HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(Statuses(responses), (std::vector<int>{200, 200, 404}));
    const std::string script = "Content-Length: " + std::to_string(web::Asset("vornlan.js").size()) + "\r\n";
    const std::size_t head = responses.find(script);
    ASSERT_NE(head, std::string::npos);
    // Right after the HEAD response's blank line comes the next response, not the script.
    EXPECT_EQ(responses.compare(responses.find("\r\n\r\n", head) + 4, 9, "HTTP/1.1 "), 0);
    EXPECT_NE(responses.find(std::string(web::Asset("vornlan.css"))), std::string::npos);
}

TEST_F(Web, TheEventStreamResumesAfterTheLastIdSeenAndEndsWithTheListener)
{
    for (const char* message : {"A?", "B?", "<b>C?</b>"})
        history.Add(Entry(message));
    test::Client client(port);
    ASSERT_TRUE(client.Send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nLast-Event-ID: 2\r\n\r\n"));
    std::string stream = ReadUntil(client, "event: clients");
    EXPECT_EQ(stream.find("id: 2\n"), std::string::npos);
    EXPECT_NE(stream.find("id: 3\nevent: traffic\ndata: {\"id\":3,"), std::string::npos);
    EXPECT_NE(stream.find("\\u003cb\\u003eC?\\u003c/b\\u003e"), std::string::npos);

    history.Add(Entry("D?"));
    stream = ReadUntil(client, "id: 4\n", stream);
    EXPECT_NE(stream.find("\"message\":\"D?\""), std::string::npos);

    listener.Stop();
    EXPECT_TRUE(client.ClosedByServer());
}

TEST_F(Web, AnEventIdBeyondTheHistoryStartsTheLiveViewOver)
{
    // A browser that saw event 1000 of an earlier run of vornlan resumes against this run's history.
    for (const char* message : {"A?", "B?"})
        history.Add(Entry(message));
    test::Client client(port);
    ASSERT_TRUE(client.Send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nLast-Event-ID: 1000\r\n\r\n"));
    const std::string stream = ReadUntil(client, "event: clients");
    EXPECT_NE(stream.find("id: 1\n"), std::string::npos);
    EXPECT_NE(stream.find("id: 2\n"), std::string::npos);
}

TEST_F(Web, TheConsoleRefusesWhileAnotherClientHoldsTheLockAndSendsOnceItIsFree)
{
    const std::string page = Exchange("GET / HTTP/1.0\r\n\r\n");
    std::smatch token;
    ASSERT_TRUE(std::regex_search(page, token, std::regex("vorn-token\" content=\"([0-9a-f]{32})\"")));
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const auto command = [&](std::string_view message) {
        return Exchange("POST /console HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                        "\r\nX-Vorn-Token: " + token[1].str() + "\r\nConnection: close\r\nContent-Length: " +
                        std::to_string(message.size()) + "\r\n\r\n" + std::string(message));
    };
    const SessionId holder = instrument.Open({"10.0.0.9:1000", Transport::Vxi11}, Delivery::OnRead);
    ASSERT_EQ(instrument.Lock(holder, false, 0ms), WaitResult::Done);
    const auto messagesSeen = [&] {
        std::size_t count = 0;
        for (const fake::Event& event : fake::Events(instrument))
            count += event.what == "message" && event.detail == "X?";
        return count;
    };

    const std::string refused = command("X?");
    EXPECT_EQ(Statuses(refused), std::vector<int>{409});
    EXPECT_NE(refused.find("locked by"), std::string::npos);
    EXPECT_EQ(messagesSeen(), 0u);

    // The shared lock's holders keep it out too, and are named.
    instrument.Unlock(holder);
    const SessionId sharer = instrument.Open({"10.0.0.8:4880", Transport::Hislip}, Delivery::OnRead);
    ASSERT_EQ(instrument.LockShared(sharer, "bench", false, 0ms), WaitResult::Done);
    const std::string shared = command("X?");
    EXPECT_EQ(Statuses(shared), std::vector<int>{409});
    EXPECT_NE(shared.find("shared lock is held by"), std::string::npos) << shared;
    EXPECT_EQ(messagesSeen(), 0u);

    instrument.UnlockShared(sharer);
    const std::string answered = command("X?");
    EXPECT_EQ(Statuses(answered), std::vector<int>{200});
    EXPECT_NE(answered.find("{\"response\":\"X?=ok\""), std::string::npos);
    EXPECT_EQ(messagesSeen(), 1u);
}

TEST(ClientsJson, SaysWhichLockEachClientHolds)
{
    std::vector<ClientSnapshot> clients(4);
    clients[0] = {7, {"10.0.0.1:1", Transport::Vxi11}, 1000, true, false};
    clients[1] = {8, {"10.0.0.2:2", Transport::Hislip}, 2000, false, true};
    clients[2] = {9, {"10.0.0.3:3", Transport::Hislip}, 3000, true, true};
    clients[3] = {10, {"10.0.0.4:4", Transport::RawSocket}, 4000, false, false};
    EXPECT_EQ(ClientsJson(clients),
              "[{\"session\":7,\"client\":\"10.0.0.1:1\",\"transport\":\"VXI-11\",\"since\":1000,\"lock\":\"exclusive\"},"
              "{\"session\":8,\"client\":\"10.0.0.2:2\",\"transport\":\"HiSLIP\",\"since\":2000,\"lock\":\"shared\"},"
              "{\"session\":9,\"client\":\"10.0.0.3:3\",\"transport\":\"HiSLIP\",\"since\":3000,\"lock\":\"exclusive\"},"
              "{\"session\":10,\"client\":\"10.0.0.4:4\",\"transport\":\"raw socket\",\"since\":4000,\"lock\":null}]");
}

class WebConsole : public Web {
protected:
    // A page's token, as its welcome page carries it.
    std::string NewPage()
    {
        const std::string page = Exchange("GET / HTTP/1.0\r\n\r\n");
        std::smatch token;
        EXPECT_TRUE(std::regex_search(page, token, std::regex("vorn-token\" content=\"([0-9a-f]{32})\"")));
        return token.size() > 1 ? token[1].str() : std::string();
    }
    std::string Command(const std::string& token, std::string_view message)
    {
        const std::string host = "127.0.0.1:" + std::to_string(port);
        return Exchange("POST /console HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                        "\r\nX-Vorn-Token: " + token + "\r\nConnection: close\r\nContent-Length: " +
                        std::to_string(message.size()) + "\r\n\r\n" + std::string(message));
    }
    // Waits (a few seconds at most) until a command waits in the instrument.
    bool CommandWaiting()
    {
        for (int i = 0; i < 500 && fake::Waiting(instrument) == 0; ++i)
            std::this_thread::sleep_for(10ms);
        return fake::Waiting(instrument) > 0;
    }
};

TEST_F(WebConsole, APageEvictedWhileItsCommandRunsLeavesNoClientBehind)
{
    const std::string oldest = NewPage();
    auto running = std::async(std::launch::async, [&] { return Command(oldest, "BUSY?"); });
    ASSERT_TRUE(CommandWaiting());
    // Newer pages take the oldest one's place; loading them never waits for its command.
    auto newer = std::async(std::launch::async, [&] {
        for (std::size_t i = 0; i < Consoles::kMaxConsoles; ++i)
            NewPage();
    });
    const bool loaded = newer.wait_for(5s) == std::future_status::ready;
    fake::Release(instrument);
    ASSERT_TRUE(loaded) << "a page load waited for another page's command";
    // Its command ended with its client, and the page's token opens no new one.
    const std::string ended = running.get();
    EXPECT_EQ(Statuses(ended), std::vector<int>{410}) << ended;
    EXPECT_EQ(Statuses(Command(oldest, "X?")), std::vector<int>{403}); // a token this program no longer knows
    EXPECT_EQ(fake::OpenSessions(instrument), 0u);
}

TEST_F(WebConsole, AStopEndsACommandWaitingForTheModule)
{
    const std::string token = NewPage();
    auto running = std::async(std::launch::async, [&] { return Command(token, "BUSY?"); });
    ASSERT_TRUE(CommandWaiting());
    auto stopped = std::async(std::launch::async, [&] { listener.Stop(); });
    const bool prompt = stopped.wait_for(5s) == std::future_status::ready;
    fake::Release(instrument);
    EXPECT_TRUE(prompt) << "the stop waited for the console's command";
    running.get();
    EXPECT_EQ(fake::OpenSessions(instrument), 0u);
}

TEST(TrafficHistory, KeepsTheNewestAndWakesItsWatchers)
{
    TrafficHistory history(3);
    for (int i = 0; i < 5; ++i)
        history.Add(Entry("M" + std::to_string(i)));
    std::vector<std::uint64_t> kept;
    for (const TrafficEntry& e : history.Since(0))
        kept.push_back(e.sequence);
    EXPECT_EQ(kept, (std::vector<std::uint64_t>{3, 4, 5}));
    EXPECT_EQ(history.Since(4).front().message, "M4");

    auto woken = std::async(std::launch::async, [&] { return history.WaitForNewer(5, 60s); });
    std::this_thread::sleep_for(50ms);
    history.Wake();
    EXPECT_FALSE(woken.get()); // woken with nothing newer
    auto added = std::async(std::launch::async, [&] { return history.WaitForNewer(5, 60s); });
    history.Add(Entry("M5"));
    EXPECT_TRUE(added.get());
}

TEST(TrafficHistory, KeepsBoundedTextsOfAHugeMessage)
{
    // 64 KiB of one header and thousands of units: what is kept for display is their head.
    TrafficHistory history(3);
    TrafficEntry entry = Entry(std::string(64 * 1024, 'X'));
    entry.record.response = std::string(20000, 'R') + "\n";
    for (int i = 0; i < 5000; ++i)
        entry.record.units.push_back({std::string(300, 'U'), UnitRecord::Outcome::Rejected, ErrorEntry(ScpiError::UndefinedHeader, std::string(64 * 1024, 'D'))});
    history.Add(std::move(entry));
    const TrafficEntry kept = history.Since(0).front();
    EXPECT_EQ(kept.message, std::string(text::kMaxKeptText, 'X') + "...");
    EXPECT_LE(kept.record.response.size(), text::kMaxKeptText + 3);
    ASSERT_EQ(kept.record.units.size(), TrafficHistory::kMaxUnitsKept + 1);
    EXPECT_EQ(kept.record.units.back().unit, "... and 4968 more units");
    EXPECT_LE(kept.record.units.front().detail.size(), text::kMaxKeptText + 64); // the error entry's own words too
}

TEST(WebText, WhatReachesAPageIsText)
{
    EXPECT_EQ(web::EscapeMarkup("<a href='x'>&\"\x01"), "&lt;a href=&#39;x&#39;&gt;&amp;&quot;\xEF\xBF\xBD");
    EXPECT_EQ(web::JsonString("</script>\"\\\n\x02"), "\"\\u003c/script\\u003e\\\"\\\\\\n\\u0002\"");
    EXPECT_EQ(codepage::AnsiToUtf8(*codepage::Utf8ToAnsi("caf\xC3\xA9")), "caf\xC3\xA9");
    EXPECT_FALSE(codepage::Utf8ToAnsi("\xC3(")); // malformed UTF-8
}
