#include "WebText.h"

#include <cstdio>

namespace web {

std::string EscapeMarkup(std::string_view utf8)
{
    std::string escaped;
    escaped.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default:
            // XML 1.0 admits no control characters but tab, line feed and carriage return.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                escaped += "\xEF\xBF\xBD"; // U+FFFD
            else
                escaped += c;
        }
    }
    return escaped;
}

std::string JsonString(std::string_view utf8)
{
    std::string json = "\"";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': json += "\\\""; break;
        case '\\': json += "\\\\"; break;
        case '\n': json += "\\n"; break;
        case '\r': json += "\\r"; break;
        case '\t': json += "\\t"; break;
        default:
            if (byte < 0x20 || c == '<' || c == '>' || c == '&') {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", byte);
                json += escape;
            } else {
                json += c;
            }
        }
    }
    return json + '"';
}

} // namespace web
