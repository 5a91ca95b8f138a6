// DNS messages as multicast DNS carries them (RFC 1035, RFC 6762): parsed from a datagram that anyone on the
// link may have sent, so every length and count is checked against the bytes there before it is used, names
// are bounded (labels of at most 63 bytes, 255 in all) and a compression pointer may only point before
// everything the name has used so far (so a name ends, whatever the datagram says).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dns {

constexpr std::size_t kMaxDatagram = 9000; // RFC 6762 section 17: what a responder need accept
constexpr std::size_t kMaxLabel = 63;
constexpr std::size_t kMaxName = 255;        // in wire form, the root's zero byte included
constexpr int kMaxPointers = 16;             // compression pointers one name may follow

namespace type {
constexpr std::uint16_t kA = 1, kPtr = 12, kTxt = 16, kSrv = 33, kAny = 255;
}
constexpr std::uint16_t kClassIn = 1;
constexpr std::uint16_t kClassAny = 255;
constexpr std::uint16_t kTopBit = 0x8000; // QU in a question's class, cache-flush in a record's
constexpr std::uint16_t kFlagResponse = 0x8000, kFlagAuthoritative = 0x0400, kOpcodeMask = 0x7800;

// A name as its labels ("Bench (2)", "_lxi", "_tcp", "local"); a label may hold dots and spaces.
using Name = std::vector<std::string>;
// Compared as DNS compares names: ASCII letters without case.
bool SameName(const Name& a, const Name& b) noexcept;
// "Bench (2)._lxi._tcp.local" (for logs; a dot inside a label is not escaped).
std::string NameText(const Name& name);
// Splits a dotted name; empty labels are dropped.
Name MakeName(std::string_view dotted);
// Uncompressed wire form; nullopt when a label or the whole is too long.
std::optional<std::string> EncodeName(const Name& name);

struct Question {
    Name name;
    std::uint16_t type = 0;
    std::uint16_t klass = kClassIn; // without the QU bit
    bool unicastResponse = false;   // QU
};

struct Record {
    Name name;
    std::uint16_t type = 0;
    std::uint16_t klass = kClassIn; // without the cache-flush bit
    bool cacheFlush = false;
    std::uint32_t ttl = 0;
    std::string data; // RDATA, names in it (PTR, SRV) uncompressed
};

struct Message {
    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    std::vector<Question> questions;
    std::vector<Record> answers, authorities, additionals;

    bool IsResponse() const noexcept { return (flags & kFlagResponse) != 0; }
};

// nullopt with the reason in `error` when the datagram isn't a whole, well-formed message.
std::optional<Message> Parse(std::string_view datagram, std::string& error);
// The datagram for a message (names uncompressed); nullopt when it wouldn't be one (a name too long, or
// more than kMaxDatagram bytes).
std::optional<std::string> Build(const Message& message);

// The name a PTR or SRV record points to; nullopt for other records or data that isn't one.
std::optional<Name> DataName(const Record& record);

// RDATA builders.
std::string AddressData(std::uint32_t address); // host byte order in, network order out
std::optional<std::string> PointerData(const Name& target);
std::optional<std::string> ServiceData(std::uint16_t port, const Name& target); // priority 0, weight 0
// Each string at most 255 bytes (longer ones are cut); none at all gives the one empty string RFC 6763 asks.
std::string TextData(const std::vector<std::string>& strings);

} // namespace dns
