// The name the machine goes by under .local.
#pragma once

#include <string>

namespace mdns {

// The machine's name as a host label (letters, digits and hyphens, at most 63 bytes): what it is called
// under .local. "vornlan" when it has none that fits.
std::string MachineLabel();

} // namespace mdns
