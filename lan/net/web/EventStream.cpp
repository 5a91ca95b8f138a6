#include "EventStream.h"

#include "Instrument.h"
#include "MessageJson.h"
#include "Sockets.h"
#include "TrafficHistory.h"

#include <chrono>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {
constexpr auto kHeartbeat = 15s;
// Events are sent once this much has gathered, and at the end of each round.
constexpr std::size_t kPieceBytes = 64 * 1024;
constexpr std::size_t kEntriesAtOnce = 32;

// The last event id the browser saw. One beyond what this history ever held (vornlan restarted since)
// starts the view over.
std::uint64_t ResumeAfter(const http::Request& request, const TrafficHistory& history)
{
    const std::string* last = request.Header("last-event-id");
    if (!last || last->empty() || last->size() >= 19 || last->find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const std::uint64_t after = std::stoull(*last);
    return after > history.Last() ? 0 : after;
}
} // namespace

void StreamEvents(SOCKET socket, const http::Request& request, Instrument& instrument, TrafficHistory& history,
                  const std::atomic<bool>& stop)
{
    if (!lan::SendAll(socket, http::StreamHead("text/event-stream; charset=utf-8") + "retry: 3000\n\n"))
        return;
    std::uint64_t after = ResumeAfter(request, history);
    std::string clientsSent;
    auto lastSend = std::chrono::steady_clock::now();
    while (!stop) {
        std::string events;
        bool sent = false;
        for (;;) {
            const std::vector<TrafficEntry> batch = history.Since(after, kEntriesAtOnce);
            for (const TrafficEntry& entry : batch) {
                events += "id: " + std::to_string(entry.sequence) + "\nevent: traffic\ndata: " + EntryJson(entry) +
                          "\n\n";
                after = entry.sequence;
            }
            if (events.size() >= kPieceBytes || (batch.size() == kEntriesAtOnce && !events.empty())) {
                if (!lan::SendAll(socket, events))
                    return;
                events.clear();
                sent = true;
            }
            if (batch.size() < kEntriesAtOnce || stop)
                break;
        }
        const std::string clients = ClientsJson(instrument.Clients());
        if (clients != clientsSent) {
            events += "event: clients\ndata: " + clients + "\n\n";
            clientsSent = clients;
        }
        const auto now = std::chrono::steady_clock::now();
        if (events.empty() && !sent && now - lastSend >= kHeartbeat)
            events = ": still here\n\n";
        if (!events.empty()) {
            if (!lan::SendAll(socket, events))
                return;
            sent = true;
        }
        if (sent)
            lastSend = now;
        // A browser that went away shows as the end of its side of the connection.
        if (http::WaitReadable(socket, 0ms)) {
            char discard[512];
            if (lan::ReceiveSome(socket, discard, sizeof discard) <= 0)
                return;
        }
        history.WaitForNewer(after, 1s);
    }
}
