#include "MdnsRecords.h"

#include <algorithm>
#include <optional>
#include <tuple>

namespace mdns {

namespace {
const dns::Name kLocal = {"local"};
const dns::Name kServiceTypes = {"_services", "_dns-sd", "_udp", "local"};

dns::Name Join(std::initializer_list<const dns::Name*> parts)
{
    dns::Name name;
    for (const dns::Name* part : parts)
        name.insert(name.end(), part->begin(), part->end());
    return name;
}

// The longest prefix of `text` of at most `limit` bytes that doesn't end inside a UTF-8 character.
std::string CutUtf8(const std::string& text, std::size_t limit)
{
    if (text.size() <= limit)
        return text;
    std::size_t size = limit;
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80)
        --size;
    return text.substr(0, size);
}

std::string Trimmed(std::string text)
{
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    while (!text.empty() && text.front() == ' ')
        text.erase(0, 1);
    return text;
}

bool Has(const std::vector<std::size_t>& list, std::size_t index)
{
    return std::find(list.begin(), list.end(), index) != list.end();
}

// RFC 6762 section 7.1: an answer the asker holds already with at least half its TTL left goes unsent.
bool Known(const dns::Record& ours, const std::vector<dns::Record>& known)
{
    for (const dns::Record& record : known) {
        if (record.type == ours.type && record.klass == ours.klass && record.data == ours.data &&
            record.ttl >= ours.ttl / 2 && dns::SameName(record.name, ours.name))
            return true;
    }
    return false;
}

bool Asks(const dns::Question& question, const dns::Record& record)
{
    return (question.type == record.type || question.type == dns::type::kAny) &&
           (question.klass == record.klass || question.klass == dns::kClassAny) &&
           dns::SameName(question.name, record.name);
}

bool SameNameIn(const std::vector<dns::Name>& names, const dns::Name& name)
{
    return std::any_of(names.begin(), names.end(), [&](const dns::Name& n) { return dns::SameName(n, name); });
}

using SortKey = std::tuple<std::uint16_t, std::uint16_t, std::string>;

std::vector<SortKey> Sorted(const std::vector<const dns::Record*>& records)
{
    std::vector<SortKey> keys;
    for (const dns::Record* record : records)
        keys.emplace_back(record->klass, record->type, record->data);
    std::sort(keys.begin(), keys.end());
    return keys;
}
} // namespace

std::string InstanceName(const ModuleIdentity& identity)
{
    std::string name;
    if (identity.known)
        name = Trimmed(Trimmed(identity.manufacturer) + ' ' + Trimmed(identity.model) + ' ' + Trimmed(identity.serial));
    name = CutUtf8(name, dns::kMaxLabel);
    return Trimmed(name).empty() ? "Vorn module" : Trimmed(name);
}

std::string NumberedName(const std::string& instance, int number)
{
    const std::string suffix = " (" + std::to_string(number) + ')';
    return CutUtf8(instance, dns::kMaxLabel - suffix.size()) + suffix;
}

std::vector<std::string> ServiceText(const std::string& type, const ModuleIdentity& identity)
{
    std::vector<std::string> text{"txtvers=1"};
    // The four keys even while the identity is unknown (empty then): clients read them without asking
    // (pyvisa-py's list_resources does, for every _lxi._tcp instance).
    if (type == "_lxi._tcp") {
        text.push_back("Manufacturer=" + identity.manufacturer);
        text.push_back("Model=" + identity.model);
        text.push_back("SerialNumber=" + identity.serial);
        text.push_back("FirmwareVersion=" + identity.firmware);
    }
    if (type == "_http._tcp")
        text.push_back("path=/");
    return text;
}

Table MakeTable(const Description& description, std::uint32_t address)
{
    Table table;
    const dns::Name host = {description.host, "local"};
    const auto hostWire = dns::EncodeName(host);
    for (const Service& service : description.services) {
        const dns::Name typeLabels = dns::MakeName(service.type);
        const dns::Name type = Join({&typeLabels, &kLocal});
        dns::Name instance{description.instance};
        instance.insert(instance.end(), type.begin(), type.end());
        const auto pointer = dns::PointerData(instance);
        const auto typePointer = dns::PointerData(type);
        const auto target = dns::ServiceData(service.port, host);
        if (!pointer || !typePointer || !target)
            continue;
        table.push_back({{type, dns::type::kPtr, dns::kClassIn, false, kOtherTtl, *pointer}, false});
        table.push_back({{kServiceTypes, dns::type::kPtr, dns::kClassIn, false, kOtherTtl, *typePointer}, false});
        table.push_back({{instance, dns::type::kSrv, dns::kClassIn, true, kHostTtl, *target}, true});
        table.push_back(
            {{instance, dns::type::kTxt, dns::kClassIn, true, kOtherTtl, dns::TextData(service.txt)}, true});
    }
    if (hostWire)
        table.push_back({{host, dns::type::kA, dns::kClassIn, true, kHostTtl, dns::AddressData(address)}, true});
    return table;
}

std::vector<dns::Name> UniqueNames(const Table& table)
{
    std::vector<dns::Name> names;
    for (const Entry& entry : table) {
        if (entry.unique && !SameNameIn(names, entry.record.name))
            names.push_back(entry.record.name);
    }
    return names;
}

Reply Answer(const Table& table, const dns::Message& query)
{
    Reply reply;
    if (query.IsResponse() || (query.flags & dns::kOpcodeMask) != 0)
        return reply;
    for (const dns::Question& question : query.questions) {
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (Asks(question, table[i].record) && !Has(reply.answers, i) && !Known(table[i].record, query.answers))
                reply.answers.push_back(i);
        }
    }
    // What the asker will want next: for a service instance its SRV and TXT, for an SRV the host's address.
    const auto add = [&](const dns::Name& name, std::uint16_t type) {
        for (std::size_t i = 0; i < table.size(); ++i) {
            const dns::Record& record = table[i].record;
            if (record.type == type && dns::SameName(record.name, name) && !Has(reply.answers, i) &&
                !Has(reply.additionals, i) && !Known(record, query.answers))
                reply.additionals.push_back(i);
        }
    };
    for (std::size_t k = 0; k < reply.answers.size() + reply.additionals.size(); ++k) {
        const std::size_t index = k < reply.answers.size() ? reply.answers[k] : reply.additionals[k - reply.answers.size()];
        const dns::Record& record = table[index].record;
        if (record.type != dns::type::kPtr && record.type != dns::type::kSrv)
            continue;
        const std::optional<dns::Name> target = dns::DataName(record);
        if (!target)
            continue;
        if (record.type == dns::type::kPtr) {
            add(*target, dns::type::kSrv);
            add(*target, dns::type::kTxt);
        } else {
            add(*target, dns::type::kA);
        }
    }
    return reply;
}

Clash FindClash(const Table& table, const dns::Message& message, bool probing, dns::Name& name)
{
    const std::vector<dns::Name> ours = UniqueNames(table);
    if (message.IsResponse()) {
        for (const auto* section : {&message.answers, &message.additionals}) {
            for (const dns::Record& theirs : *section) {
                if (!SameNameIn(ours, theirs.name))
                    continue;
                // Once the name is ours, only the same kind of record with other data clashes; while we
                // probe, any record under the name does.
                bool same = false, sameType = false;
                for (const Entry& entry : table) {
                    if (!dns::SameName(entry.record.name, theirs.name) || entry.record.type != theirs.type ||
                        entry.record.klass != theirs.klass)
                        continue;
                    sameType = true;
                    same = same || entry.record.data == theirs.data;
                }
                if (same || (!probing && !sameType) || theirs.ttl == 0)
                    continue;
                name = theirs.name;
                return Clash::Conflict;
            }
        }
        return Clash::None;
    }
    if (!probing || message.authorities.empty())
        return Clash::None;
    // A probe of another host's for a name we are probing for: the records that sort higher win.
    for (const dns::Name& candidate : ours) {
        std::vector<const dns::Record*> mine, theirs;
        for (const Entry& entry : table)
            if (dns::SameName(entry.record.name, candidate))
                mine.push_back(&entry.record);
        for (const dns::Record& record : message.authorities)
            if (dns::SameName(record.name, candidate))
                theirs.push_back(&record);
        if (theirs.empty())
            continue;
        if (Sorted(mine) < Sorted(theirs)) {
            name = candidate;
            return Clash::LostTieBreak;
        }
    }
    return Clash::None;
}

} // namespace mdns
