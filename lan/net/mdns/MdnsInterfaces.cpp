#include "MdnsInterfaces.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <memory>

namespace mdns {

namespace {
bool IsLoopback(std::uint32_t address) noexcept
{
    return (address >> 24) == 127;
}
} // namespace

std::vector<Interface> ServedInterfaces(std::uint32_t listenAddress, std::string& error)
{
    std::vector<Interface> served;
    if (IsLoopback(listenAddress))
        return served;
    // GetIpAddrTable gives each address with its mask and state; Wine fills it from the host's interfaces.
    ULONG size = 0;
    std::unique_ptr<char[]> buffer;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer = std::make_unique<char[]>(size ? size : 1);
        result = GetIpAddrTable(reinterpret_cast<MIB_IPADDRTABLE*>(buffer.get()), &size, FALSE);
    }
    if (result != NO_ERROR) {
        error = "the system doesn't list its interfaces (GetIpAddrTable: " + std::to_string(result) + ")";
        return served;
    }
    const auto* table = reinterpret_cast<const MIB_IPADDRTABLE*>(buffer.get());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPADDRROW& row = table->table[i];
        const std::uint32_t address = ntohl(row.dwAddr);
        if (address == 0 || IsLoopback(address) || (row.wType & (MIB_IPADDR_DISCONNECTED | MIB_IPADDR_DELETED)))
            continue;
        if (listenAddress != 0 && address != listenAddress)
            continue;
        served.push_back({address, ntohl(row.dwMask)});
    }
    if (served.empty())
        error = listenAddress == 0 ? "no interface but loopback is up" : "no interface holds the listen address";
    return served;
}

const Interface* InterfaceFor(const std::vector<Interface>& interfaces, std::uint32_t source) noexcept
{
    for (const Interface& served : interfaces) {
        if ((source & served.mask) == (served.address & served.mask))
            return &served;
    }
    return nullptr;
}

std::string MachineLabel()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "vornlan";
    std::string label;
    for (const char* c = name; *c && *c != '.' && label.size() < 63; ++c) {
        const char ch = *c;
        const bool fits = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-';
        label += fits ? ch : '-';
    }
    while (!label.empty() && label.back() == '-')
        label.pop_back();
    while (!label.empty() && label.front() == '-')
        label.erase(0, 1);
    return label.empty() ? "vornlan" : label;
}

} // namespace mdns
