#include "NetworkFrontEnd.h"

#include "HislipTransport.h"
#include "Log.h"
#include "Instrument.h"
#include "MdnsResponder.h"
#include "NetworkInterfaces.h"
#include "Portmapper.h"
#include "RawSocketTransport.h"
#include "Sockets.h"
#include "TcpListener.h"
#include "Vxi11Transport.h"
#include "WebSite.h"

#include <exception>

using namespace lan;

struct NetworkFrontEnd::State {
    State(Instrument& instrument, Log& log, const NetworkSettings& settings, TrafficHistory& history)
        : instrument(instrument), log(log), settings(settings), history(history),
          budget(settings.maxClients), vxi11{instrument, links, 0, &log}, abortChannel(instrument, links),
          hislipSessions(instrument), hislipContext{log, hislipSessions}
    {
    }

    Instrument& instrument;
    Log& log;
    const NetworkSettings settings;
    TrafficHistory& history;
    WinsockSession winsock;
    ConnectionBudget budget;
    LinkRegistry links;
    Vxi11Context vxi11;
    AbortChannel abortChannel;

    std::unique_ptr<TcpListener> raw;
    std::unique_ptr<TcpListener> core;
    std::unique_ptr<TcpListener> abort;
    std::unique_ptr<PortmapperProgram> portmapper;
    std::unique_ptr<TcpListener> portmapperTcp;
    std::unique_ptr<UdpRpcServer> portmapperUdp;
    std::unique_ptr<WebSite> site;
    std::unique_ptr<TcpListener> web;
    std::unique_ptr<mdns::Responder> mdns;
    std::uint16_t corePort = 0;
    bool started = false;

    // HiSLIP: one listener for both channels of every session.
    hislip::Registry hislipSessions;
    HislipContext hislipContext;
    std::unique_ptr<TcpListener> hislip;
};

NetworkFrontEnd::NetworkFrontEnd(Instrument& instrument, Log& log, const NetworkSettings& settings,
                                 TrafficHistory& history)
    : state_(std::make_unique<State>(instrument, log, settings, history))
{
}

NetworkFrontEnd::~NetworkFrontEnd()
{
    Stop();
}

namespace {
// Binds and starts one listener; false (said in the log) when the port can't be had.
bool StartListener(Log& log, std::unique_ptr<TcpListener>& listener, std::uint32_t address,
                   const std::string& addressText, std::uint16_t port, const std::string& consequence,
                   std::uint16_t* bound = nullptr)
{
    std::string error;
    Socket socket = ListenTcp(address, port, error);
    if (!socket) {
        log.Line("cannot listen on " + addressText + ':' + std::to_string(port) + "/tcp: " + error + consequence);
        listener.reset();
        return false;
    }
    if (bound)
        *bound = LocalPort(socket.get());
    try {
        listener->Start(std::move(socket));
    } catch (const std::exception& e) {
        log.Line("cannot listen on " + addressText + ':' + std::to_string(port) + "/tcp: " + e.what() + consequence);
        listener.reset();
        return false;
    }
    return true;
}
} // namespace

int NetworkFrontEnd::Start()
{
    State& s = *state_;
    const auto running = [&s] {
        return (s.raw ? 1 : 0) + (s.core ? 1 : 0) + (s.portmapperTcp || s.portmapperUdp ? 1 : 0) + (s.web ? 1 : 0) +
               (s.hislip ? 1 : 0);
    };
    if (s.started)
        return running();
    s.started = true;
    const NetworkSettings& settings = s.settings;
    const std::string& host = settings.listenAddress;
    const std::optional<std::uint32_t> address = ParseIpv4(host);
    if (!address) {
        s.log.Line("cannot listen on " + host + ": not an IPv4 address");
        return 0;
    }
    std::vector<std::string> listening;

    if (settings.rawPort != 0) {
        s.raw = std::make_unique<TcpListener>(s.log, "raw socket", settings.allow, s.budget,
                                              [&instrument = s.instrument](const std::string& peer) {
                                                  return MakeRawSocketConnection(instrument, peer);
                                              });
        if (StartListener(s.log, s.raw, *address, host, settings.rawPort, "; raw SCPI clients can't connect"))
            listening.push_back("raw SCPI " + std::to_string(settings.rawPort) + "/tcp");
    }

    if (settings.vxi11Port != 0) {
        // The abort channel first: its port goes into every create_link reply. Next to the core channel
        // when that port is free, else wherever the system puts it.
        s.abort = std::make_unique<TcpListener>(
            s.log, "VXI-11 abort", settings.allow, s.budget,
            [&channel = s.abortChannel](const std::string&) { return MakeAbortConnection(channel); });
        std::string error;
        Socket abortSocket;
        if (settings.vxi11Port < 0xFFFF)
            abortSocket = ListenTcp(*address, static_cast<std::uint16_t>(settings.vxi11Port + 1), error);
        if (!abortSocket)
            abortSocket = ListenTcp(*address, 0, error);
        if (!abortSocket) {
            s.log.Line("cannot listen on " + host + " for the VXI-11 abort channel: " + error +
                       "; VXI-11 clients can't connect");
            s.abort.reset();
        } else {
            s.vxi11.abortPort = LocalPort(abortSocket.get());
            try {
                s.abort->Start(std::move(abortSocket));
            } catch (const std::exception& e) {
                s.log.Line(std::string("cannot start the VXI-11 abort channel: ") + e.what() +
                           "; VXI-11 clients can't connect");
                s.abort.reset();
            }
        }
        if (s.abort) {
            s.core = std::make_unique<TcpListener>(
                s.log, "VXI-11", settings.allow, s.budget,
                [&context = s.vxi11](const std::string& peer) { return MakeCoreConnection(context, peer); });
            if (StartListener(s.log, s.core, *address, host, settings.vxi11Port, "; VXI-11 clients can't connect",
                              &s.corePort)) {
                listening.push_back("VXI-11 core " + std::to_string(s.corePort) + "/tcp, abort " +
                                    std::to_string(s.vxi11.abortPort) + "/tcp");
            } else {
                s.abort.reset();
            }
        }
    }

    if (s.core && settings.portmapper) {
        s.portmapper = std::make_unique<PortmapperProgram>(std::vector<PortMapping>{
            {portmap::kProgram, portmap::kVersion, portmap::kTcp, portmap::kPort},
            {portmap::kProgram, portmap::kVersion, portmap::kUdp, portmap::kPort},
            {vxi11::kCoreProgram, vxi11::kVersion, portmap::kTcp, s.corePort},
            {vxi11::kAbortProgram, vxi11::kVersion, portmap::kTcp, s.vxi11.abortPort},
        });
        const std::string consequence =
            "; VXI-11 clients must be given the core channel's port (" + std::to_string(s.corePort) + ") themselves";
        s.portmapperTcp = std::make_unique<TcpListener>(
            s.log, "portmapper", settings.allow, s.budget,
            [&program = *s.portmapper](const std::string&) { return MakeRpcConnection(program, 1024); });
        const bool tcp = StartListener(s.log, s.portmapperTcp, *address, host, portmap::kPort, consequence);

        std::string error;
        Socket udpSocket = BindUdp(*address, portmap::kPort, error);
        if (udpSocket) {
            s.portmapperUdp = std::make_unique<UdpRpcServer>(s.log, settings.allow, *s.portmapper);
            try {
                s.portmapperUdp->Start(std::move(udpSocket));
            } catch (const std::exception& e) {
                error = e.what();
                s.portmapperUdp.reset();
            }
        }
        if (!s.portmapperUdp)
            s.log.Line("cannot listen on " + host + ':' + std::to_string(portmap::kPort) + "/udp: " + error +
                       consequence);
        if (tcp || s.portmapperUdp)
            listening.push_back("portmapper " + std::to_string(portmap::kPort) + '/' +
                                (tcp && s.portmapperUdp ? "tcp+udp"
                                 : tcp                  ? "tcp"
                                                        : "udp"));
    }

    if (settings.hislipPort != 0) {
        s.hislip = std::make_unique<TcpListener>(
            s.log, "HiSLIP", settings.allow, s.budget,
            [&context = s.hislipContext](const std::string& peer) { return MakeHislipConnection(context, peer); });
        if (StartListener(s.log, s.hislip, *address, host, settings.hislipPort, "; HiSLIP clients can't connect"))
            listening.push_back("HiSLIP " + std::to_string(settings.hislipPort) + "/tcp");
    }

    if (settings.httpPort != 0) {
        s.site = std::make_unique<WebSite>(s.instrument, s.history, s.log,
                                           WebSettings{host, settings.httpPort, settings.local});
        s.web = std::make_unique<TcpListener>(
            s.log, "web", settings.allow, s.budget,
            [&site = *s.site](const std::string& peer) { return MakeWebConnection(site, peer); });
        if (StartListener(s.log, s.web, *address, host, settings.httpPort, "; no web page")) {
            listening.push_back("HTTP " + std::to_string(settings.httpPort) + "/tcp");
        }
    }

    if (!listening.empty()) {
        std::string line = "listening on " + host + ": ";
        for (std::size_t i = 0; i < listening.size(); ++i)
            line += (i ? ", " : "") + listening[i];
        s.log.Line(line);
    }

    // mDNS/DNS-SD: the running transports, advertised on the interfaces served (none on loopback).
    if (settings.mdns && running() > 0) {
        mdns::ResponderSettings advertised{lan::ServedInterfaces(lan::Ipv4Interfaces(), *address), settings.allow,
                                           mdns::MachineLabel(), {}, {}, 5353};
        if (s.web) {
            advertised.services.push_back({"_lxi._tcp", settings.httpPort, {}});
            advertised.services.push_back({"_http._tcp", settings.httpPort, {}});
        }
        if (s.portmapperTcp || s.portmapperUdp)
            advertised.services.push_back({"_vxi-11._tcp", portmap::kPort, {}});
        if (s.raw)
            advertised.services.push_back({"_scpi-raw._tcp", settings.rawPort, {}});
        if (s.hislip)
            advertised.services.push_back({"_hislip._tcp", settings.hislipPort, {}});
        advertised.identity = [&instrument = s.instrument] { return instrument.Identity(std::chrono::seconds(3)); };
        if (advertised.interfaces.empty() && (*address >> 24) != 127) {
            s.log.Line(std::string("mDNS: not advertising: ") +
                       (*address == 0 ? "no interface but loopback is up" : "no interface holds the listen address"));
        } else if (!advertised.interfaces.empty() && !advertised.services.empty()) {
            s.mdns = std::make_unique<mdns::Responder>(s.log, std::move(advertised));
            try {
                s.mdns->Start();
            } catch (const std::exception& e) {
                s.log.Line(std::string("mDNS: not advertising: ") + e.what());
                s.mdns.reset();
            }
        }
    }
    // The page names the resources once it is known whether the machine's .local name is advertised.
    if (s.web)
        s.site->SetResources(ResourceStrings(), listening);
    return running();
}

void NetworkFrontEnd::Stop()
{
    State& s = *state_;
    // The goodbye first, so that browsers drop the module before its ports close.
    if (s.mdns)
        s.mdns->Stop();
    // Then the portmapper, so that no client is sent to a channel about to close.
    if (s.portmapperUdp)
        s.portmapperUdp->Stop();
    if (s.portmapperTcp)
        s.portmapperTcp->Stop();
    if (s.web)
        s.web->Stop();
    if (s.raw)
        s.raw->Stop();
    if (s.hislip)
        s.hislip->Stop();
    if (s.core)
        s.core->Stop();
    if (s.abort)
        s.abort->Stop();
}

std::vector<std::string> NetworkFrontEnd::ResourceStrings() const
{
    const State& s = *state_;
    // The names a client reaches this host by: the listen address; on every interface, the machine's
    // name (which another host may not resolve without DNS), its .local name while mDNS advertises it,
    // and the address of each interface served.
    std::vector<std::string> hosts;
    if (s.settings.listenAddress != "0.0.0.0") {
        hosts.push_back(s.settings.listenAddress);
    } else {
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
            hosts.emplace_back(name);
        if (s.mdns)
            hosts.push_back(mdns::MachineLabel() + ".local");
        for (const NetworkInterface& served : ServedInterfaces(Ipv4Interfaces(), 0))
            hosts.push_back(Ipv4Text(served.address));
        if (hosts.empty())
            hosts.emplace_back("127.0.0.1");
    }
    std::vector<std::string> resources;
    for (const std::string& host : hosts) {
        if (s.core)
            resources.push_back("TCPIP::" + host + "::INSTR");
    }
    for (const std::string& host : hosts) {
        if (s.raw)
            resources.push_back("TCPIP::" + host + "::" + std::to_string(s.settings.rawPort) + "::SOCKET");
    }
    for (const std::string& host : hosts) {
        if (s.hislip)
            resources.push_back(HislipResource(host, s.settings.hislipPort));
    }
    return resources;
}
