#include "NetworkInterfaces.h"

#include "Text.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <memory>

namespace lan {

std::vector<NetworkInterface> Ipv4Interfaces()
{
    constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16 * 1024;
    std::unique_ptr<unsigned char[]> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    // The list may grow between asking its size and fetching it: a few tries.
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer = std::make_unique<unsigned char[]>(size);
        result = GetAdaptersAddresses(AF_INET, kFlags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()),
                                      &size);
    }
    std::vector<NetworkInterface> interfaces;
    if (result != NO_ERROR)
        return interfaces;
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.get()); adapter;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp)
            continue;
        for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress; unicast;
             unicast = unicast->Next) {
            const SOCKADDR* address = unicast->Address.lpSockaddr;
            if (!address || address->sa_family != AF_INET)
                continue;
            NetworkInterface item;
            item.index = adapter->IfIndex;
            item.address = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
            const ULONG prefix = unicast->OnLinkPrefixLength <= 32 ? unicast->OnLinkPrefixLength : 32;
            item.mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
            item.loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK || (item.address >> 24) == 127;
            item.name = adapter->FriendlyName ? text::Narrow(adapter->FriendlyName) : std::string();
            interfaces.push_back(std::move(item));
        }
    }
    return interfaces;
}

std::vector<NetworkInterface> ServedInterfaces(const std::vector<NetworkInterface>& all, std::uint32_t listenAddress)
{
    std::vector<NetworkInterface> served;
    if ((listenAddress >> 24) == 127)
        return served;
    for (const NetworkInterface& item : all) {
        if (!item.loopback && (listenAddress == 0 || item.address == listenAddress))
            served.push_back(item);
    }
    return served;
}

const NetworkInterface* InterfaceFor(const std::vector<NetworkInterface>& interfaces, std::uint32_t source) noexcept
{
    for (const NetworkInterface& item : interfaces) {
        if (item.OnLink(source))
            return &item;
    }
    return nullptr;
}

} // namespace lan
