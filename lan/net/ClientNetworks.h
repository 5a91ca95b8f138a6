// --allow and --local: the IPv4 networks a transport admits clients from.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// An IPv4 network clients may come from; addresses in host byte order.
struct ClientNetwork {
    std::uint32_t address = 0;
    std::uint32_t mask = 0;
};
// "192.168.7.0/24", or one address ("192.168.7.10" is /32). nullopt when it isn't one.
std::optional<ClientNetwork> ParseClientNetwork(std::string_view text);
// An empty list admits every address.
bool Admits(const std::vector<ClientNetwork>& networks, std::uint32_t address) noexcept;
