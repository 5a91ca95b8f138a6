// The module's web page: who and what it is (the welcome page and the identification document), the
// live view of the traffic, and a command console that works from --local addresses only. This file is the
// router: every request must name this machine as its Host (ServerNames); each path is answered by its
// piece (Pages, EventStream, Consoles). Pages and scripts are compiled into the program.
#pragma once

#include "ClientNetworks.h"

#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Log;
class Instrument;
class TrafficHistory;

struct WebSettings {
    std::string listenAddress;
    std::uint16_t port = 80;
    std::vector<ClientNetwork> local; // where commands may come from; empty: the loopback networks
};

class WebSite {
public:
    WebSite(Instrument& instrument, TrafficHistory& history, Log& log, WebSettings settings);
    WebSite(const WebSite&) = delete;
    WebSite& operator=(const WebSite&) = delete;
    ~WebSite(); // closes the consoles' sessions

    // What the other transports serve, once they run: shown on the page and in the identification.
    void SetResources(std::vector<std::string> resources, std::vector<std::string> ports);

    // Answers the connection's requests until it closes, fails, times out or `stop` is set.
    void Serve(SOCKET socket, const std::string& peer, const std::atomic<bool>& stop);
    // A stop: ends the event streams' waits and closes the consoles (a command in progress ends).
    void Wake();

    struct State;

private:
    std::unique_ptr<State> state_;
};

namespace lan {
class Connection;
// One HTTP connection, served by the site until it ends.
std::unique_ptr<Connection> MakeWebConnection(WebSite& site, const std::string& peer);
} // namespace lan
