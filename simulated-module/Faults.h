#pragma once
// Deliberate misbehaviour for hardening the caller, chosen with VORN_SIM_FAULT (see README.md).

#include <cstdint>
#include <string>
#include <string_view>

namespace vornsim {

struct Faults {
    bool fill256 = false;   // every reply exactly min(size, 256) bytes, none blank or zero
    bool overrun = false;   // every reply size + 2 bytes: beyond what the caller allowed
    bool garbage = false;   // replies of random bytes, zeros and bytes >= 0x80 included
    bool leadSpace = false; // replies start with blanks
    unsigned slowMs = 0;    // sleep in each entry

    // Comma-separated words, e.g. "leadspace,slow=200"; unknown words are ignored.
    static Faults parse(std::string_view text);
};

// Deterministic, so a failing run repeats exactly.
class Random {
public:
    explicit Random(std::uint32_t seed) : state_(seed) {}
    std::uint32_t next();

private:
    std::uint32_t state_;
};

// The bytes to write for `reply` into a buffer the caller said holds `size` bytes.
std::string shapeReply(std::string_view reply, int size, const Faults& faults, Random& random);

} // namespace vornsim
