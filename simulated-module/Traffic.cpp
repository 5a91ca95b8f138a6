#include "Traffic.h"

namespace vornsim {

std::string escapeTraffic(std::string_view bytes)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            text += "\\\\";
        } else if (byte >= 0x20 && byte <= 0x7E) {
            text += c;
        } else {
            text += "\\x";
            text += hex[byte >> 4];
            text += hex[byte & 0x0F];
        }
    }
    return text;
}

std::string trafficLine(char direction, std::string_view bytes)
{
    std::string line(1, direction);
    line += ' ';
    line += escapeTraffic(bytes);
    line += '\n';
    return line;
}

} // namespace vornsim
