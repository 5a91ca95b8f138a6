#include "MessageJson.h"

#include "CodePage.h"
#include "WebText.h"

namespace {
const char* OutcomeName(UnitRecord::Outcome outcome)
{
    switch (outcome) {
    case UnitRecord::Outcome::Sent: return "sent";
    case UnitRecord::Outcome::Answered: return "answered";
    case UnitRecord::Outcome::Rejected: return "rejected";
    case UnitRecord::Outcome::Failed: return "failed";
    }
    return "?";
}

std::string Text(std::string_view ansi)
{
    return web::JsonString(codepage::AnsiToUtf8(ansi));
}
} // namespace

std::string UnitsJson(const std::vector<UnitRecord>& units)
{
    std::string json = "[";
    for (const UnitRecord& unit : units) {
        if (json.size() > 1)
            json += ',';
        json += "{\"unit\":" + Text(unit.unit) + ",\"outcome\":\"" + OutcomeName(unit.outcome) +
                "\",\"detail\":" + Text(unit.detail) + '}';
    }
    return json + ']';
}

std::string ResponseText(std::string response)
{
    if (!response.empty() && response.back() == '\n')
        response.pop_back();
    return codepage::AnsiToUtf8(response);
}

std::string EntryJson(const TrafficEntry& entry)
{
    return "{\"id\":" + std::to_string(entry.sequence) + ",\"time\":" + std::to_string(entry.unixMillis) +
           ",\"session\":" + std::to_string(entry.session) + ",\"client\":" + web::JsonString(entry.client) +
           ",\"transport\":" + web::JsonString(entry.transport) + ",\"message\":" + Text(entry.message) +
           ",\"response\":" + web::JsonString(ResponseText(entry.record.response)) +
           ",\"units\":" + UnitsJson(entry.record.units) + '}';
}

std::string ClientsJson(const std::vector<ClientSnapshot>& clients)
{
    std::string json = "[";
    for (const ClientSnapshot& c : clients) {
        if (json.size() > 1)
            json += ',';
        json += "{\"session\":" + std::to_string(c.id) + ",\"client\":" + web::JsonString(c.client.peer) +
                ",\"transport\":" + web::JsonString(TransportName(c.client.transport)) +
                ",\"since\":" + std::to_string(c.sinceUnixMillis) + ",\"lock\":" + (c.holdsLock ? "\"exclusive\"" : c.holdsSharedLock ? "\"shared\"" : "null") +
                '}';
    }
    return json + ']';
}
