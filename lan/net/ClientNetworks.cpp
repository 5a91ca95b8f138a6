// --allow: the client networks vornlan answers.
#include "ClientNetworks.h"
#include "Sockets.h"

#include <charconv>

std::optional<ClientNetwork> ParseClientNetwork(std::string_view text)
{
    const auto slash = text.find('/');
    const auto address = lan::ParseIpv4(text.substr(0, slash));
    if (!address)
        return std::nullopt;
    int bits = 32;
    if (slash != std::string_view::npos) {
        const std::string_view prefix = text.substr(slash + 1);
        if (prefix.empty() || prefix.size() > 2 || (prefix.size() == 2 && prefix[0] == '0'))
            return std::nullopt;
        const auto [end, error] = std::from_chars(prefix.data(), prefix.data() + prefix.size(), bits);
        if (error != std::errc() || end != prefix.data() + prefix.size() || bits < 0 || bits > 32)
            return std::nullopt;
    }
    ClientNetwork network;
    network.mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    // 192.168.7.9/24 is taken as the network it lies in, as routers take it.
    network.address = *address & network.mask;
    return network;
}

bool Admits(const std::vector<ClientNetwork>& networks, std::uint32_t address) noexcept
{
    if (networks.empty())
        return true;
    for (const ClientNetwork& network : networks) {
        if ((address & network.mask) == (network.address & network.mask))
            return true;
    }
    return false;
}
