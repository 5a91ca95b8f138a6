// Where vornlan advertises itself: the IPv4 interfaces it serves, and the name the machine goes by.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mdns {

struct Interface {
    std::uint32_t address = 0; // host byte order
    std::uint32_t mask = 0;
};

// --listen 0.0.0.0: every IPv4 interface that is up, loopback aside; another address: the interface that holds
// it; a loopback address: none (nothing of a loopback address goes to the network). Empty, with the reason in
// `error`, when the system can't list them.
std::vector<Interface> ServedInterfaces(std::uint32_t listenAddress, std::string& error);

// The served interface whose network holds `source`; nullptr when none does (the datagram came from
// elsewhere, through a router or on another interface).
const Interface* InterfaceFor(const std::vector<Interface>& interfaces, std::uint32_t source) noexcept;

// The machine's name as a host label (letters, digits and hyphens, at most 63 bytes): what it is called
// under .local. "vornlan" when it has none that fits.
std::string MachineLabel();

} // namespace mdns
