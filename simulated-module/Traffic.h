#pragma once
// Text form of the traffic record (see README.md): printable ASCII as itself, backslash doubled,
// every other byte as \xHH, so a record line is byte-exact and holds no line break.

#include <string>
#include <string_view>

namespace vornsim {

std::string escapeTraffic(std::string_view bytes);

// One record line: "> " for a command received, "< " for reply bytes written, then "\n".
std::string trafficLine(char direction, std::string_view bytes);

} // namespace vornsim
