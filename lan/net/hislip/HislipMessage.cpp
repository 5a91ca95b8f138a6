#include "HislipMessage.h"

namespace lan::hislip {

namespace {
std::uint64_t BigEndian(std::string_view bytes) noexcept
{
    std::uint64_t value = 0;
    for (const char byte : bytes)
        value = value << 8 | static_cast<unsigned char>(byte);
    return value;
}

void AppendBigEndian(std::string& out, std::uint64_t value, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>(value >> shift & 0xFF));
}
} // namespace

std::optional<Header> ParseHeader(std::string_view bytes) noexcept
{
    if (bytes.size() < kHeaderSize || bytes[0] != 'H' || bytes[1] != 'S')
        return std::nullopt;
    Header header;
    header.type = static_cast<std::uint8_t>(bytes[2]);
    header.control = static_cast<std::uint8_t>(bytes[3]);
    header.parameter = static_cast<std::uint32_t>(BigEndian(bytes.substr(4, 4)));
    header.length = BigEndian(bytes.substr(8, 8));
    return header;
}

void AppendMessage(std::string& out, Type type, std::uint8_t control, std::uint32_t parameter,
                   std::string_view payload)
{
    out.reserve(out.size() + kHeaderSize + payload.size());
    out += "HS";
    out.push_back(static_cast<char>(type));
    out.push_back(static_cast<char>(control));
    AppendBigEndian(out, parameter, 4);
    AppendBigEndian(out, payload.size(), 8);
    out.append(payload);
}

std::string Message(Type type, std::uint8_t control, std::uint32_t parameter, std::string_view payload)
{
    std::string out;
    AppendMessage(out, type, control, parameter, payload);
    return out;
}

std::optional<std::uint64_t> ParseSize(std::string_view payload) noexcept
{
    if (payload.size() != 8)
        return std::nullopt;
    return BigEndian(payload);
}

std::string SizePayload(std::uint64_t size)
{
    std::string out;
    AppendBigEndian(out, size, 8);
    return out;
}

} // namespace lan::hislip
