#include "Xdr.h"

#include <utility>

namespace lan {

namespace {
std::size_t Padding(std::size_t length) noexcept
{
    return (4 - length % 4) % 4;
}
} // namespace

void XdrWriter::Uint32(std::uint32_t value)
{
    const char unit[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
                          static_cast<char>(value)};
    bytes_.append(unit, 4);
}

void XdrWriter::Opaque(std::string_view bytes)
{
    Uint32(static_cast<std::uint32_t>(bytes.size()));
    bytes_.append(bytes);
    bytes_.append(Padding(bytes.size()), '\0');
}

std::uint32_t XdrReader::Uint32() noexcept
{
    if (!ok_ || bytes_.size() - at_ < 4) {
        ok_ = false;
        return 0;
    }
    const auto byte = [this](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes_[at_ + i]));
    };
    const std::uint32_t value = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
    at_ += 4;
    return value;
}

bool XdrReader::Bool() noexcept
{
    const std::uint32_t value = Uint32();
    if (value > 1)
        ok_ = false;
    return ok_ && value == 1;
}

std::string_view XdrReader::Opaque(std::size_t limit) noexcept
{
    const std::uint32_t length = Uint32();
    if (!ok_ || length > limit) {
        ok_ = false;
        return {};
    }
    // Compared without adding, so that a length near 2^32 can't wrap around.
    const std::size_t left = bytes_.size() - at_;
    if (length > left || Padding(length) > left - length) {
        ok_ = false;
        return {};
    }
    const std::string_view data = bytes_.substr(at_, length);
    at_ += length + Padding(length);
    return data;
}

} // namespace lan
