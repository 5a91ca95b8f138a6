#include "DnsMessage.h"

#include <algorithm>

namespace dns {

namespace {
char Lower(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::uint16_t Read16(std::string_view bytes, std::size_t at) noexcept
{
    return static_cast<std::uint16_t>((static_cast<unsigned char>(bytes[at]) << 8) |
                                      static_cast<unsigned char>(bytes[at + 1]));
}

std::uint32_t Read32(std::string_view bytes, std::size_t at) noexcept
{
    return (std::uint32_t{Read16(bytes, at)} << 16) | Read16(bytes, at + 2);
}

void Put16(std::string& out, std::uint16_t value)
{
    out += static_cast<char>(value >> 8);
    out += static_cast<char>(value & 0xFF);
}

void Put32(std::string& out, std::uint32_t value)
{
    Put16(out, static_cast<std::uint16_t>(value >> 16));
    Put16(out, static_cast<std::uint16_t>(value & 0xFFFF));
}

// Reads the name at `offset` (moved past it). Every pointer must lead before all that this name has read so
// far, so the walk only ever goes back and must end; kMaxPointers and kMaxName bound it further.
bool ReadName(std::string_view message, std::size_t& offset, Name& name, std::string& error)
{
    name.clear();
    std::size_t at = offset;
    std::size_t lowest = offset; // the lowest offset this name has read from
    std::size_t length = 1;     // the root's zero byte
    int pointers = 0;
    bool jumped = false;
    for (;;) {
        if (at >= message.size()) {
            error = "a name runs past the end of the message";
            return false;
        }
        const auto byte = static_cast<unsigned char>(message[at]);
        if (byte == 0) {
            if (!jumped)
                offset = at + 1;
            return true;
        }
        if ((byte & 0xC0) == 0xC0) {
            if (at + 1 >= message.size()) {
                error = "a compression pointer runs past the end of the message";
                return false;
            }
            const std::size_t target = ((byte & 0x3Fu) << 8) | static_cast<unsigned char>(message[at + 1]);
            if (target >= lowest) {
                error = "a compression pointer that doesn't point back";
                return false;
            }
            if (++pointers > kMaxPointers) {
                error = "a name follows too many compression pointers";
                return false;
            }
            if (!jumped)
                offset = at + 2;
            jumped = true;
            at = lowest = target;
            continue;
        }
        if (byte & 0xC0) {
            error = "a label of an unknown kind";
            return false;
        }
        if (at + 1 + byte > message.size()) {
            error = "a label runs past the end of the message";
            return false;
        }
        length += 1 + byte;
        if (length > kMaxName) {
            error = "a name longer than 255 bytes";
            return false;
        }
        name.emplace_back(message.substr(at + 1, byte));
        at += 1 + byte;
    }
}

// RDATA as kept: names in it uncompressed, checked against its own length.
bool ReadData(std::string_view message, std::size_t at, std::size_t size, std::uint16_t type, std::string& data,
              std::string& error)
{
    const std::size_t end = at + size;
    const auto nameAt = [&](std::size_t from, std::string prefix) {
        Name target;
        std::size_t offset = from;
        if (!ReadName(message, offset, target, error))
            return false;
        if (offset != end) {
            error = "a record's data doesn't end where its name does";
            return false;
        }
        const auto wire = EncodeName(target);
        if (!wire) {
            error = "a name longer than 255 bytes";
            return false;
        }
        data = std::move(prefix) + *wire;
        return true;
    };
    switch (type) {
    case type::kA:
        if (size != 4) {
            error = "an address record that isn't 4 bytes";
            return false;
        }
        break;
    case type::kPtr:
        return nameAt(at, {});
    case type::kSrv:
        if (size < 7) {
            error = "a service record too short";
            return false;
        }
        return nameAt(at + 6, std::string(message.substr(at, 6)));
    case type::kTxt:
        for (std::size_t i = at; i < end; i += 1 + static_cast<unsigned char>(message[i])) {
            if (i + 1 + static_cast<unsigned char>(message[i]) > end) {
                error = "a text string runs past its record";
                return false;
            }
        }
        break;
    default:
        break;
    }
    data.assign(message.substr(at, size));
    return true;
}
} // namespace

bool SameName(const Name& a, const Name& b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].size() != b[i].size() ||
            !std::equal(a[i].begin(), a[i].end(), b[i].begin(), [](char x, char y) { return Lower(x) == Lower(y); }))
            return false;
    }
    return true;
}

std::string NameText(const Name& name)
{
    std::string text;
    for (const std::string& label : name)
        text += (text.empty() ? "" : ".") + label;
    return text;
}

Name MakeName(std::string_view dotted)
{
    Name name;
    while (!dotted.empty()) {
        const auto dot = dotted.find('.');
        if (dot != 0)
            name.emplace_back(dotted.substr(0, dot));
        if (dot == std::string_view::npos)
            break;
        dotted.remove_prefix(dot + 1);
    }
    return name;
}

std::optional<std::string> EncodeName(const Name& name)
{
    std::string wire;
    for (const std::string& label : name) {
        if (label.empty() || label.size() > kMaxLabel)
            return std::nullopt;
        wire += static_cast<char>(label.size());
        wire += label;
    }
    wire += '\0';
    if (wire.size() > kMaxName)
        return std::nullopt;
    return wire;
}

std::optional<Message> Parse(std::string_view datagram, std::string& error)
{
    if (datagram.size() > kMaxDatagram) {
        error = "a message longer than " + std::to_string(kMaxDatagram) + " bytes";
        return std::nullopt;
    }
    if (datagram.size() < 12) {
        error = "a message shorter than its header";
        return std::nullopt;
    }
    Message message;
    message.id = Read16(datagram, 0);
    message.flags = Read16(datagram, 2);
    const std::size_t counts[4] = {Read16(datagram, 4), Read16(datagram, 6), Read16(datagram, 8),
                                   Read16(datagram, 10)};
    // The least each entry takes (a question 5 bytes, a record 11) bounds what the counts may claim, before
    // anything is reserved for them.
    if (counts[0] * 5 + (counts[1] + counts[2] + counts[3]) * 11 > datagram.size() - 12) {
        error = "more entries than the message has bytes for";
        return std::nullopt;
    }
    std::size_t at = 12;
    message.questions.reserve(counts[0]);
    for (std::size_t i = 0; i < counts[0]; ++i) {
        Question question;
        if (!ReadName(datagram, at, question.name, error))
            return std::nullopt;
        if (at + 4 > datagram.size()) {
            error = "a question runs past the end of the message";
            return std::nullopt;
        }
        question.type = Read16(datagram, at);
        const std::uint16_t klass = Read16(datagram, at + 2);
        question.unicastResponse = (klass & kTopBit) != 0;
        question.klass = klass & ~kTopBit;
        at += 4;
        message.questions.push_back(std::move(question));
    }
    std::vector<Record>* const sections[] = {&message.answers, &message.authorities, &message.additionals};
    for (int section = 0; section < 3; ++section) {
        sections[section]->reserve(counts[section + 1]);
        for (std::size_t i = 0; i < counts[section + 1]; ++i) {
            Record record;
            if (!ReadName(datagram, at, record.name, error))
                return std::nullopt;
            if (at + 10 > datagram.size()) {
                error = "a record runs past the end of the message";
                return std::nullopt;
            }
            record.type = Read16(datagram, at);
            const std::uint16_t klass = Read16(datagram, at + 2);
            record.cacheFlush = (klass & kTopBit) != 0;
            record.klass = klass & ~kTopBit;
            record.ttl = Read32(datagram, at + 4);
            const std::size_t size = Read16(datagram, at + 8);
            at += 10;
            if (size > datagram.size() - at) {
                error = "a record's data runs past the end of the message";
                return std::nullopt;
            }
            if (!ReadData(datagram, at, size, record.type, record.data, error))
                return std::nullopt;
            at += size;
            sections[section]->push_back(std::move(record));
        }
    }
    if (at != datagram.size()) {
        error = "bytes after the last record";
        return std::nullopt;
    }
    return message;
}

std::optional<std::string> Build(const Message& message)
{
    std::string out;
    Put16(out, message.id);
    Put16(out, message.flags);
    Put16(out, static_cast<std::uint16_t>(message.questions.size()));
    Put16(out, static_cast<std::uint16_t>(message.answers.size()));
    Put16(out, static_cast<std::uint16_t>(message.authorities.size()));
    Put16(out, static_cast<std::uint16_t>(message.additionals.size()));
    for (const Question& question : message.questions) {
        const auto name = EncodeName(question.name);
        if (!name)
            return std::nullopt;
        out += *name;
        Put16(out, question.type);
        Put16(out, static_cast<std::uint16_t>(question.klass | (question.unicastResponse ? kTopBit : 0)));
    }
    for (const auto* section : {&message.answers, &message.authorities, &message.additionals}) {
        for (const Record& record : *section) {
            const auto name = EncodeName(record.name);
            if (!name || record.data.size() > 0xFFFF)
                return std::nullopt;
            out += *name;
            Put16(out, record.type);
            Put16(out, static_cast<std::uint16_t>(record.klass | (record.cacheFlush ? kTopBit : 0)));
            Put32(out, record.ttl);
            Put16(out, static_cast<std::uint16_t>(record.data.size()));
            out += record.data;
        }
    }
    if (out.size() > kMaxDatagram)
        return std::nullopt;
    return out;
}

std::optional<Name> DataName(const Record& record)
{
    std::size_t at = 0;
    if (record.type == type::kSrv)
        at = 6;
    else if (record.type != type::kPtr)
        return std::nullopt;
    if (record.data.size() <= at)
        return std::nullopt;
    // Kept uncompressed: a pointer in it would have to point before its first byte, so it is refused.
    Name name;
    std::string error;
    const std::string_view wire = std::string_view(record.data).substr(at);
    std::size_t offset = 0;
    if (!ReadName(wire, offset, name, error) || offset != wire.size())
        return std::nullopt;
    return name;
}

std::string AddressData(std::uint32_t address)
{
    std::string data;
    Put32(data, address);
    return data;
}

std::optional<std::string> PointerData(const Name& target)
{
    return EncodeName(target);
}

std::optional<std::string> ServiceData(std::uint16_t port, const Name& target)
{
    const auto name = EncodeName(target);
    if (!name)
        return std::nullopt;
    std::string data;
    Put16(data, 0);
    Put16(data, 0);
    Put16(data, port);
    return data + *name;
}

std::string TextData(const std::vector<std::string>& strings)
{
    std::string data;
    for (const std::string& text : strings) {
        const std::size_t size = std::min<std::size_t>(text.size(), 255);
        data += static_cast<char>(size);
        data.append(text, 0, size);
    }
    if (data.empty())
        data.assign(1, '\0');
    return data;
}

} // namespace dns
