#include "MdnsInterfaces.h"

#include <winsock2.h>

namespace mdns {

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
