// The machine's IPv4 interfaces, and those a listener serves: what the page shows as this host's addresses
// and where discovery is advertised. A listener on 0.0.0.0 serves every interface that is up; one on an
// address serves the interface holding it. Loopback is never an address the network sees.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lan {

struct NetworkInterface {
    std::uint32_t index = 0;   // the system's interface index
    std::uint32_t address = 0; // host byte order
    std::uint32_t mask = 0;    // host byte order
    bool loopback = false;
    std::string name; // as the system names it, for the log

    bool OnLink(std::uint32_t peer) const noexcept { return (peer & mask) == (address & mask); }
};

// Every IPv4 address of every interface that is up, loopback included; empty when the system won't say.
std::vector<NetworkInterface> Ipv4Interfaces();

// Of `all`, those a listener on `listenAddress` serves beyond this machine: none for a loopback address.
std::vector<NetworkInterface> ServedInterfaces(const std::vector<NetworkInterface>& all, std::uint32_t listenAddress);

// The interface whose network holds `source`; nullptr when none does (the peer is elsewhere, through a
// router or on another interface).
const NetworkInterface* InterfaceFor(const std::vector<NetworkInterface>& interfaces, std::uint32_t source) noexcept;

} // namespace lan
