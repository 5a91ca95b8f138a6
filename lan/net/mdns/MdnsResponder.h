// vornlan's own multicast DNS responder (RFC 6762) advertising its services by DNS-SD (RFC 6763). Wine has no
// DnsServiceRegister, so this is ours. One socket on UDP 5353 shared (SO_REUSEADDR) with the system's own
// responder, a member of 224.0.0.251 on each served interface; one thread probes for the names, announces,
// answers and says goodbye; another asks the module who it is until it knows, so that the instance name and
// the _lxi._tcp TXT record follow.
#pragma once

#include "ClientNetworks.h"
#include "MdnsInterfaces.h"
#include "MdnsRecords.h"
#include "NetworkInterfaces.h"
#include "Sockets.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class Log;

namespace mdns {

struct ResponderSettings {
    std::vector<lan::NetworkInterface> interfaces;
    std::vector<ClientNetwork> allow; // --allow: other sources are ignored
    std::string host;                 // without ".local"
    std::vector<Service> services;    // their TXT strings come from ServiceText
    // The module's identity; may take seconds. Asked before the first probe, then every few seconds until known.
    std::function<ModuleIdentity()> identity;
    std::uint16_t port = 5353;
};

class Responder {
public:
    Responder(Log& log, ResponderSettings settings);
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;
    ~Responder(); // Stop()s

    // Opens the socket and starts advertising. Throws std::runtime_error with the reason.
    void Start();
    // Says goodbye (every record once more with TTL 0) and stops.
    void Stop();

private:
    enum class Phase { Probing, Announcing, Running };
    using Clock = std::chrono::steady_clock;

    void Loop();
    void AskIdentity();
    void Describe(const ModuleIdentity& identity);
    void Rebuild();
    void StartProbing(Clock::duration delay);
    void Step(Clock::time_point now);
    void Receive(Clock::time_point now);
    void Handle(std::string_view datagram, const sockaddr_in& peer, Clock::time_point now);
    void SendProbe(bool unicastResponse);
    void SendAll(bool goodbye);
    void SendMulticast(std::size_t interfaceIndex, const dns::Message& message);
    void SendTo(const sockaddr_in& peer, const dns::Message& message);
    void Refused(const std::string& why);

    Log& log_;
    ResponderSettings settings_;
    lan::Socket socket_;
    std::unique_ptr<lan::SocketEvent> readEvent_, stopEvent_, updateEvent_;
    std::thread thread_, identityThread_;

    std::mutex pendingMutex_;
    std::optional<ModuleIdentity> pending_; // from the identity thread

    // The responder thread's own.
    ModuleIdentity identity_;
    std::string base_;  // the instance name before any "(2)"
    int number_ = 1;    // 1: the name as it is
    int hostNumber_ = 1;
    Description description_;
    std::vector<Table> tables_; // one per interface
    std::vector<std::vector<Clock::time_point>> lastSent_; // per interface, per record: its last multicast
    Phase phase_ = Phase::Probing;
    int step_ = 0;
    bool announced_ = false;
    Clock::time_point next_;
    std::vector<Clock::time_point> conflicts_;
    Clock::time_point unicastWindow_;
    int unicastInWindow_ = 0;
    int refusalsLogged_ = 0;
};

} // namespace mdns
