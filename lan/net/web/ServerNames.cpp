#include "ServerNames.h"

#include "NetworkInterfaces.h"
#include "Sockets.h"
#include "Text.h"

#include <winsock2.h>
#include <ws2tcpip.h>

ServerNames::ServerNames(const std::string& listenAddress)
{
    names_.insert("localhost");
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
        hostName_ = name;
        names_.insert(text::Lower(name));
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_flags = AI_CANONNAME;
        addrinfo* found = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &found) == 0) {
            for (const addrinfo* a = found; a; a = a->ai_next) {
                if (a->ai_canonname)
                    names_.insert(text::Lower(a->ai_canonname));
                if (a->ai_family == AF_INET)
                    addresses_.insert(ntohl(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr));
            }
            freeaddrinfo(found);
        }
    }
    // The interfaces' own addresses: a host name may resolve to loopback alone (as /etc/hosts often
    // has it), while clients come from the network.
    const std::vector<lan::NetworkInterface> interfaces = lan::Ipv4Interfaces();
    for (const lan::NetworkInterface& item : interfaces)
        addresses_.insert(item.address);
    const auto listen = lan::ParseIpv4(listenAddress);
    if (listen && *listen != 0)
        addresses_.insert(*listen);
    if (listen)
        for (const lan::NetworkInterface& item : lan::ServedInterfaces(interfaces, *listen))
            served_.push_back(item.address);
    if (served_.empty())
        served_.push_back(listen && *listen != 0 ? *listen : 0x7F000001);
}

bool ServerNames::HostIsOurs(const http::Request& request, std::uint32_t local) const
{
    const std::string* host = request.Header("host");
    if (!host)
        return true; // HTTP/1.0 without one: nothing named, nothing misdirected
    std::string name = text::Lower(*host);
    const std::size_t colon = name.rfind(':');
    if (colon != std::string::npos) {
        const std::string port = name.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return false;
        name.erase(colon);
    }
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    if (const auto address = lan::ParseIpv4(name))
        return *address == local || (*address >> 24) == 127 || addresses_.count(*address) != 0;
    return names_.count(name) != 0;
}

std::vector<std::string> ServerNames::AddressTexts() const
{
    std::vector<std::string> texts;
    for (const std::uint32_t a : served_)
        texts.push_back(lan::Ipv4Text(a));
    return texts;
}
