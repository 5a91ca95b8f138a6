// The transports that turn network traffic into a session's input and its responses into traffic: the
// raw SCPI socket, the portmapper (TCP and UDP), VXI-11's core and abort channels, HiSLIP, and the web page.
// Each port that can't be bound is reported and left out; the others still run.
#pragma once

#include "ClientNetworks.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Log;
class Instrument;
class TrafficHistory;

struct NetworkSettings {
    std::string listenAddress = "127.0.0.1"; // IPv4, dotted
    std::vector<ClientNetwork> allow;
    std::uint16_t rawPort = 5025;
    std::uint16_t vxi11Port = 1024;
    bool portmapper = true; // port 111, TCP and UDP
    int maxClients = 16;    // connections at once, over every transport
    std::uint16_t hislipPort = 4880; // HiSLIP; 0: none
    std::uint16_t httpPort = 80;     // the web page; 0: none
    bool mdns = true;                // advertised over multicast DNS on the interfaces served (not loopback)
    std::vector<ClientNetwork> local; // where the page's console takes commands from; empty: loopback
};

class NetworkFrontEnd {
public:
    // The web page's live view shows `history`.
    NetworkFrontEnd(Instrument& instrument, Log& log, const NetworkSettings& settings, TrafficHistory& history);
    NetworkFrontEnd(const NetworkFrontEnd&) = delete;
    NetworkFrontEnd& operator=(const NetworkFrontEnd&) = delete;
    ~NetworkFrontEnd(); // Stop()s

    // Binds and starts each transport, logging what it listens on and what it couldn't bind.
    // Returns how many transports run.
    int Start();
    // Stops accepting, drops every connection (closing their sessions), joins every thread.
    void Stop();

    // "TCPIP::<host>::INSTR", "TCPIP::<host>::5025::SOCKET", "TCPIP::<host>::hislip0::INSTR" for the
    // transports that run.
    std::vector<std::string> ResourceStrings() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
