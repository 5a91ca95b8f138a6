// What vornlan advertises over multicast DNS, as data: a small description (the instance's name, the host's
// name, the services with their ports and TXT strings) becomes one interface's table of records, and the
// answers to a query, the records that clash with another responder's and the tie-break between two probes
// are decided over that table alone (no sockets here, so that all of it can be tested as is).
#pragma once

#include "DnsMessage.h"
#include "ModuleIdentity.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mdns {

constexpr std::uint32_t kHostTtl = 120;   // A and SRV (RFC 6762 section 10)
constexpr std::uint32_t kOtherTtl = 4500; // PTR and TXT

struct Service {
    std::string type; // "_lxi._tcp"
    std::uint16_t port = 0;
    std::vector<std::string> txt;
};

struct Description {
    std::string instance; // "VORN EC-2P SIM00001", at most 63 bytes
    std::string host;     // the machine's name, without ".local"
    std::vector<Service> services;
};

// "<Manufacturer> <Model> <SerialNumber>" cut to a label's 63 bytes (never inside a UTF-8 character), or
// "Vorn module" while the identity is unknown.
std::string InstanceName(const ModuleIdentity& identity);
// "Name (2)", "(3)"...: the name taken after a clash, still 63 bytes at most.
std::string NumberedName(const std::string& instance, int number);
// The TXT strings each service carries: txtvers=1 everywhere; _lxi._tcp adds the identity's four fields
// (empty while it is unknown), _http._tcp the page's path.
std::vector<std::string> ServiceText(const std::string& type, const ModuleIdentity& identity);

struct Entry {
    dns::Record record;
    bool unique = false; // ours alone (SRV, TXT, A): probed, defended, sent with cache-flush
};
using Table = std::vector<Entry>;

// The records for one interface: per service PTR (and its entry in the service type enumeration), SRV and
// TXT, and the host's A record with that interface's address (host byte order). Entries whose names can't be
// encoded are left out.
Table MakeTable(const Description& description, std::uint32_t address);
// The names of the unique records (the instance under each type, the host).
std::vector<dns::Name> UniqueNames(const Table& table);

// Indices into the table: the answers to a query's questions that its known answers don't make needless,
// and the additional records that save the asker another query (SRV, TXT and A for a PTR; A for an SRV).
// Nothing for a response or for a query of another opcode.
struct Reply {
    std::vector<std::size_t> answers, additionals;
};
Reply Answer(const Table& table, const dns::Message& query);

// What another responder's message means for us.
enum class Clash {
    None,
    Conflict,      // a record under one of our unique names with other data: take another name
    LostTieBreak,  // a probe for the same name at the same time whose records sort higher: probe again in 1 s
};
// `probing`: our names aren't ours yet, so any record under them in a response is a conflict and a probe for
// them is settled by the tie-break (RFC 6762 section 8.2). `name` is set to the name concerned.
Clash FindClash(const Table& table, const dns::Message& message, bool probing, dns::Name& name);

} // namespace mdns
