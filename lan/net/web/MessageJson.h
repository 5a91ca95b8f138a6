// What the page's script receives as JSON: a message's units and response, a traffic entry, the clients.
// Every text that came from the module or a client is converted from the ANSI code page and escaped.
#pragma once

#include "Instrument.h"
#include "MessageRecord.h"
#include "TrafficHistory.h"

#include <string>
#include <vector>

std::string UnitsJson(const std::vector<UnitRecord>& units);
// The response without its line feed, as UTF-8.
std::string ResponseText(std::string response);
std::string EntryJson(const TrafficEntry& entry);
std::string ClientsJson(const std::vector<ClientSnapshot>& clients);
