#include "Faults.h"

#include <algorithm>
#include <charconv>

namespace vornsim {
namespace {

constexpr char filler = '#';
constexpr unsigned longestSleepMs = 60000;

} // namespace

Faults Faults::parse(std::string_view text)
{
    Faults faults;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        std::string_view word = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        while (!word.empty() && word.front() == ' ')
            word.remove_prefix(1);
        while (!word.empty() && word.back() == ' ')
            word.remove_suffix(1);

        if (word == "fill256")
            faults.fill256 = true;
        else if (word == "overrun")
            faults.overrun = true;
        else if (word == "garbage")
            faults.garbage = true;
        else if (word == "leadspace")
            faults.leadSpace = true;
        else if (word.substr(0, 5) == "slow=") {
            unsigned ms = 0;
            const std::string_view digits = word.substr(5);
            const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), ms);
            if (error == std::errc() && end == digits.data() + digits.size())
                faults.slowMs = std::min(ms, longestSleepMs);
        }
    }
    return faults;
}

std::uint32_t Random::next()
{
    // xorshift32
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
}

std::string shapeReply(std::string_view reply, int size, const Faults& faults, Random& random)
{
    if (size <= 0)
        return {};
    const std::size_t limit = static_cast<std::size_t>(size);

    std::string bytes;
    if (faults.garbage) {
        const std::size_t length = std::min<std::size_t>(limit, 16 + random.next() % 241);
        for (std::size_t i = 0; i < length; ++i)
            bytes += static_cast<char>(random.next() & 0xFF);
        // Make sure each reply holds what a careless reader trips over: a high byte first, a zero inside.
        bytes[0] = static_cast<char>(0x80 | (random.next() & 0x7F));
        if (length > 1)
            bytes[1 + random.next() % (length - 1)] = '\0';
    } else {
        if (faults.leadSpace)
            bytes = "   ";
        bytes += reply;
    }

    if (faults.overrun)
        bytes.resize(limit + 2, filler);
    else if (faults.fill256) {
        // Nothing a reader could trim away: blanks become '_', the rest is filler.
        std::replace(bytes.begin(), bytes.end(), ' ', '_');
        bytes.resize(std::min<std::size_t>(limit, 256), filler);
    }
    else if (bytes.size() > limit)
        bytes.resize(limit);
    return bytes;
}

} // namespace vornsim
