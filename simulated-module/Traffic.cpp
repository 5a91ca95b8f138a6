#include "Traffic.h"

#include <charconv>

namespace vornsim {

namespace {

void appendEscaped(std::string& line, std::string_view bytes)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            line += "\\\\";
        } else if (byte >= 0x20 && byte <= 0x7E) {
            line += c;
        } else {
            line += "\\x";
            line += hex[byte >> 4];
            line += hex[byte & 0x0F];
        }
    }
}

} // namespace

std::string escapeTraffic(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size());
    appendEscaped(text, bytes);
    return text;
}

void appendTrafficData(std::string& line, char direction, std::string_view bytes)
{
    if (!line.empty())
        line += ' ';
    line += direction;
    line += ' ';
    appendEscaped(line, bytes);
}

void appendReplyRequest(std::string& line, int size, const int* outValue)
{
    char number[16];
    if (!line.empty())
        line += ' ';
    line += "GetQueryResponse size=";
    line.append(number, std::to_chars(number, number + sizeof number, size).ptr);
    line += " outValue=";
    if (outValue == nullptr)
        line += "null";
    else
        line.append(number, std::to_chars(number, number + sizeof number, *outValue).ptr);
}

std::string trafficLine(char direction, std::string_view bytes)
{
    std::string line;
    line.reserve(bytes.size() + 3);
    appendTrafficData(line, direction, bytes);
    line += '\n';
    return line;
}

} // namespace vornsim
