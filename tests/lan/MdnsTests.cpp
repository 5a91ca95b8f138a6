// The multicast DNS responder without sockets: DNS messages parsed from hand-made and hostile datagrams
// (truncated at every byte, compression loops and forward pointers, overlong names, counts the datagram can't
// hold), and what the record table answers, which records clash with another responder's, and the probe
// tie-break.
#include "DnsMessage.h"
#include "MdnsRecords.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

std::string Header(std::uint16_t questions, std::uint16_t answers = 0, std::uint16_t flags = 0)
{
    return std::string{0, 0, static_cast<char>(flags >> 8), static_cast<char>(flags & 0xFF), 0,
                       static_cast<char>(questions), 0, static_cast<char>(answers), 0, 0, 0, 0};
}

std::string Parsed(const std::string& datagram)
{
    std::string error;
    return dns::Parse(datagram, error) ? "ok" : error;
}

// A response as other responders write them: the PTR's owner and target compressed against earlier names.
//   12: _lxi._tcp.local PTR -> Bench._lxi._tcp.local (target "\x05Bench" + pointer to 12)
//   then Bench._lxi._tcp.local SRV 0 0 80 bench.local ("\x05bench" + pointer to "local")
std::string CompressedResponse()
{
    std::string d = Header(0, 2, dns::kFlagResponse | dns::kFlagAuthoritative);
    d += "\x04_lxi\x04_tcp\x05local\0"s;                // 12..28
    d += "\x00\x0c\x00\x01\x00\x00\x11\x94\x00\x08"s; // PTR IN 4500, 8 bytes of data
    const std::size_t instance = d.size();
    d += "\x05" "Bench\xc0\x0c"s;                          // Bench + -> 12
    d += "\xc0"s + static_cast<char>(instance);            // owner: -> Bench._lxi._tcp.local
    d += "\x00\x21\x80\x01\x00\x00\x00\x78\x00\x0e"s;      // SRV IN cache-flush 120, 14 bytes
    d += "\x00\x00\x00\x00\x00\x50\x05" "bench\xc0\x16"s;  // 0 0 80 bench + -> "local" (22)
    return d;
}

} // namespace

TEST(DnsMessage, ReadsCompressedNamesAndKeepsRecordDataUncompressed)
{
    std::string error;
    const auto message = dns::Parse(CompressedResponse(), error);
    ASSERT_TRUE(message) << error;
    EXPECT_TRUE(message->IsResponse());
    ASSERT_EQ(message->answers.size(), 2u);
    const dns::Record& ptr = message->answers[0];
    EXPECT_EQ(dns::NameText(ptr.name), "_lxi._tcp.local");
    EXPECT_EQ(ptr.ttl, 4500u);
    EXPECT_FALSE(ptr.cacheFlush);
    EXPECT_EQ(dns::NameText(*dns::DataName(ptr)), "Bench._lxi._tcp.local");
    const dns::Record& srv = message->answers[1];
    EXPECT_EQ(dns::NameText(srv.name), "Bench._lxi._tcp.local");
    EXPECT_TRUE(srv.cacheFlush);
    EXPECT_EQ(srv.klass, dns::kClassIn);
    EXPECT_EQ(srv.data, *dns::ServiceData(80, {"bench", "local"}));
    EXPECT_EQ(dns::NameText(*dns::DataName(srv)), "bench.local");

    // And what we build reads back the same.
    const auto built = dns::Build(*message);
    ASSERT_TRUE(built);
    const auto again = dns::Parse(*built, error);
    ASSERT_TRUE(again) << error;
    ASSERT_EQ(again->answers.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(dns::SameName(again->answers[i].name, message->answers[i].name));
        EXPECT_EQ(again->answers[i].data, message->answers[i].data);
        EXPECT_EQ(again->answers[i].cacheFlush, message->answers[i].cacheFlush);
    }
}

TEST(DnsMessage, EveryTruncationIsRefusedAndTrailingBytesToo)
{
    const std::string whole = CompressedResponse();
    ASSERT_EQ(Parsed(whole), "ok");
    for (std::size_t size = 0; size < whole.size(); ++size)
        EXPECT_NE(Parsed(whole.substr(0, size)), "ok") << "cut to " << size << " bytes";
    EXPECT_EQ(Parsed(whole + "x"), "bytes after the last record");
}

TEST(DnsMessage, HostileNamesAreRefused)
{
    const std::string question = "\x00\x01\x00\x01"s; // A IN
    const struct {
        const char* what;
        std::string name;
        const char* error;
    } cases[] = {
        {"a pointer to itself", "\xc0\x0c"s, "a compression pointer that doesn't point back"},
        {"a pointer forward", "\xc0\x0e\x00"s, "a compression pointer that doesn't point back"},
        {"a loop through a label", "\x01" "a\xc0\x0c"s, "a compression pointer that doesn't point back"},
        {"a label of the reserved kinds", "\x41" "a\x00"s, "a label of an unknown kind"},
        {"a 64-byte label", "\x40"s + std::string(64, 'a') + '\0', "a label of an unknown kind"},
        {"a name of 256 bytes", std::string("\x3f") + std::string(63, 'a') + "\x3f" + std::string(63, 'b') + "\x3f" +
                                    std::string(63, 'c') + "\x3f" + std::string(63, 'd') + '\0',
         "a name longer than 255 bytes"},
        {"a label past the end", "\x3f" "abc"s, "a label runs past the end of the message"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Parsed(Header(1) + c.name + question), c.error) << c.what;
    // 255 bytes exactly is a name.
    EXPECT_EQ(Parsed(Header(1) + "\x3f" + std::string(63, 'a') + "\x3f" + std::string(63, 'b') + "\x3f" +
                     std::string(63, 'c') + "\x3d" + std::string(61, 'd') + '\0' + question),
              "ok");
}

TEST(DnsMessage, ANameFollowsAtMostSixteenPointers)
{
    // Question k's name is "a" and a pointer to question k-1's: the last of n questions follows n-1 pointers.
    const auto chain = [](int questions) {
        std::string d = Header(static_cast<std::uint16_t>(questions));
        std::size_t previous = d.size();
        d += "\x01" "a\0\x00\x01\x00\x01"s;
        for (int k = 1; k < questions; ++k) {
            const std::size_t here = d.size();
            d += "\x01" "a"s + static_cast<char>(0xC0 | (previous >> 8)) + static_cast<char>(previous & 0xFF);
            d += "\x00\x01\x00\x01"s;
            previous = here;
        }
        return d;
    };
    std::string error;
    const auto longest = dns::Parse(chain(17), error);
    ASSERT_TRUE(longest) << error;
    EXPECT_EQ(longest->questions.back().name.size(), 17u);
    EXPECT_EQ(Parsed(chain(18)), "a name follows too many compression pointers");
}

TEST(DnsMessage, CountsAndLengthsBeyondTheDatagramAreRefusedBeforeUse)
{
    EXPECT_EQ(Parsed(Header(0)), "ok");
    EXPECT_EQ(Parsed(std::string(11, '\0')), "a message shorter than its header");
    std::string huge = Header(0);
    huge[4] = huge[5] = huge[6] = huge[7] = huge[10] = huge[11] = '\xff';
    EXPECT_EQ(Parsed(huge + std::string(64, '\0')), "more entries than the message has bytes for");
    EXPECT_EQ(Parsed(Header(1) + std::string(dns::kMaxDatagram, '\0')), "a message longer than 9000 bytes");

    const std::string owner = "\x01" "x\x00"s;
    const auto record = [&](std::string typeAndClass, std::string data, int claimed = -1) {
        const std::size_t size = claimed < 0 ? data.size() : static_cast<std::size_t>(claimed);
        return Header(0, 1, dns::kFlagResponse) + owner + typeAndClass + "\x00\x00\x00\x78"s +
               static_cast<char>(size >> 8) + static_cast<char>(size & 0xFF) + data;
    };
    EXPECT_EQ(Parsed(record("\x00\x01\x00\x01"s, "\x0a\x00\x00\x01"s)), "ok");
    EXPECT_EQ(Parsed(record("\x00\x01\x00\x01"s, "\x0a\x00\x00\x01\x02"s)), "an address record that isn't 4 bytes");
    EXPECT_EQ(Parsed(record("\x00\x01\x00\x01"s, "\x0a\x00\x00\x01"s, 0xFFFF)),
              "a record's data runs past the end of the message");
    EXPECT_EQ(Parsed(record("\x00\x10\x00\x01"s, "\x02hi\x05hello"s)), "ok");
    EXPECT_EQ(Parsed(record("\x00\x10\x00\x01"s, "\x02hi\x09hello"s)), "a text string runs past its record");
    EXPECT_EQ(Parsed(record("\x00\x21\x00\x01"s, "\x00\x00\x00\x00\x00\x50\x01y\x00"s)), "ok");
    EXPECT_EQ(Parsed(record("\x00\x21\x00\x01"s, "\x00\x00\x00\x00\x00\x50\x01y\x00\x00"s)),
              "a record's data doesn't end where its name does");
    EXPECT_EQ(Parsed(record("\x00\x21\x00\x01"s, "\x00\x00\x00\x00\x00\x50"s)), "a service record too short");
    EXPECT_EQ(Parsed(record("\x00\x0c\x00\x01"s, "\x01y"s)), "a name runs past the end of the message");
}

namespace {

constexpr std::uint32_t kInterface = 0xA9FE4D01; // 169.254.77.1

mdns::Description Bench()
{
    ModuleIdentity identity{"VORN", "EC-2P Simulated Module", "SIM00001", "01.002", true};
    mdns::Description description{mdns::InstanceName(identity), "benchpc", {}};
    for (const auto& [type, port] : {std::pair<const char*, std::uint16_t>{"_lxi._tcp", 80}, {"_http._tcp", 80},
                                     {"_vxi-11._tcp", 111}, {"_scpi-raw._tcp", 5025}})
        description.services.push_back({type, port, mdns::ServiceText(type, identity)});
    return description;
}

dns::Message Query(std::initializer_list<std::pair<const char*, std::uint16_t>> questions)
{
    dns::Message query;
    for (const auto& [name, type] : questions)
        query.questions.push_back({dns::MakeName(name), type, dns::kClassIn, false});
    return query;
}

// "PTR _lxi._tcp.local -> VORN EC-2P Simulated Module SIM00001._lxi._tcp.local", one per record given.
std::vector<std::string> Described(const mdns::Table& table, const std::vector<std::size_t>& indices)
{
    std::vector<std::string> lines;
    for (const std::size_t i : indices) {
        const dns::Record& r = table.at(i).record;
        std::string line = r.type == dns::type::kPtr   ? "PTR "
                           : r.type == dns::type::kSrv ? "SRV "
                           : r.type == dns::type::kTxt ? "TXT "
                           : r.type == dns::type::kA   ? "A "
                                                       : "? ";
        line += dns::NameText(r.name);
        const auto byte = [&r](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(r.data[i])); };
        if (const auto target = dns::DataName(r)) {
            line += " -> ";
            line += dns::NameText(*target);
        }
        if (r.type == dns::type::kSrv) {
            line += ':';
            line += std::to_string((byte(4) << 8) | byte(5));
        }
        if (r.type == dns::type::kA) {
            line += ' ';
            line += std::to_string(byte(0));
            line += '.';
            line += std::to_string(byte(3));
        }
        lines.push_back(line);
    }
    return lines;
}

} // namespace

TEST(MdnsRecords, TheInstanceIsNamedFromTheIdentityWithinOneLabel)
{
    EXPECT_EQ(mdns::InstanceName({"VORN", "EC-2P Simulated Module", "SIM00001", "01.002", true}),
              "VORN EC-2P Simulated Module SIM00001");
    EXPECT_EQ(mdns::InstanceName({}), "Vorn module");
    EXPECT_EQ(mdns::InstanceName({" ", " ", " ", "1", true}), "Vorn module");
    // 30 two-byte characters and more: cut at 63 bytes, never inside a character.
    std::string umlauts;
    for (int i = 0; i < 40; ++i)
        umlauts += "\xc3\xa4";
    const std::string cut = mdns::InstanceName({umlauts, "M", "S", "1", true});
    EXPECT_EQ(cut, umlauts.substr(0, 62));
    EXPECT_EQ(mdns::NumberedName("Bench", 2), "Bench (2)");
    const std::string numbered = mdns::NumberedName(umlauts, 12);
    EXPECT_LE(numbered.size(), 63u);
    EXPECT_EQ(numbered, umlauts.substr(0, 58) + " (12)");

    const auto lxi = mdns::ServiceText("_lxi._tcp", {"VORN", "EC-2P", "SIM00001", "01.002", true});
    EXPECT_EQ(lxi, (std::vector<std::string>{"txtvers=1", "Manufacturer=VORN", "Model=EC-2P", "SerialNumber=SIM00001",
                                             "FirmwareVersion=01.002"}));
    EXPECT_EQ(mdns::ServiceText("_lxi._tcp", {}), (std::vector<std::string>{"txtvers=1", "Manufacturer=", "Model=",
                                                                            "SerialNumber=", "FirmwareVersion="}));
    EXPECT_EQ(mdns::ServiceText("_http._tcp", {}), (std::vector<std::string>{"txtvers=1", "path=/"}));
}

TEST(MdnsRecords, QuestionsAreAnsweredFromTheTableWithWhatTheAskerNeedsNext)
{
    const mdns::Table table = mdns::MakeTable(Bench(), kInterface);
    const std::string instance = "VORN EC-2P Simulated Module SIM00001";
    const struct {
        const char* what;
        dns::Message query;
        std::vector<std::string> answers, additionals;
    } cases[] = {
        {"a browse",
         Query({{"_scpi-raw._tcp.local", dns::type::kPtr}}),
         {"PTR _scpi-raw._tcp.local -> " + instance + "._scpi-raw._tcp.local"},
         {"SRV " + instance + "._scpi-raw._tcp.local -> benchpc.local:5025",
          "TXT " + instance + "._scpi-raw._tcp.local", "A benchpc.local 169.1"}},
        {"the service type enumeration",
         Query({{"_services._dns-sd._udp.local", dns::type::kPtr}}),
         {"PTR _services._dns-sd._udp.local -> _lxi._tcp.local", "PTR _services._dns-sd._udp.local -> _http._tcp.local",
          "PTR _services._dns-sd._udp.local -> _vxi-11._tcp.local",
          "PTR _services._dns-sd._udp.local -> _scpi-raw._tcp.local"},
         {}},
        {"a resolve, in another case",
         Query({{"vorn ec-2p simulated module sim00001._VXI-11._tcp.local", dns::type::kSrv}}),
         {"SRV " + instance + "._vxi-11._tcp.local -> benchpc.local:111"},
         {"A benchpc.local 169.1"}},
        {"ANY for the instance",
         Query({{(instance + "._lxi._tcp.local").c_str(), dns::type::kAny}}),
         {"SRV " + instance + "._lxi._tcp.local -> benchpc.local:80", "TXT " + instance + "._lxi._tcp.local"},
         {"A benchpc.local 169.1"}},
        {"the address", Query({{"BenchPC.local", dns::type::kA}}), {"A benchpc.local 169.1"}, {}},
        {"a name that isn't ours", Query({{"other.local", dns::type::kA}, {"_ftp._tcp.local", dns::type::kPtr}}), {}, {}},
        {"the wrong type", Query({{"benchpc.local", dns::type::kTxt}}), {}, {}},
    };
    for (const auto& c : cases) {
        const mdns::Reply reply = mdns::Answer(table, c.query);
        EXPECT_EQ(Described(table, reply.answers), c.answers) << c.what;
        EXPECT_EQ(Described(table, reply.additionals), c.additionals) << c.what;
    }

    // The _lxi._tcp TXT record carries the identity.
    const mdns::Reply txt = mdns::Answer(table, Query({{(instance + "._lxi._tcp.local").c_str(), dns::type::kTxt}}));
    ASSERT_EQ(txt.answers.size(), 1u);
    EXPECT_EQ(table[txt.answers[0]].record.data, dns::TextData(mdns::ServiceText("_lxi._tcp", {"VORN",
              "EC-2P Simulated Module", "SIM00001", "01.002", true})));
    EXPECT_NE(table[txt.answers[0]].record.data.find("SerialNumber=SIM00001"), std::string::npos);

    // A response, or a query of another opcode, is answered by nothing.
    dns::Message response = Query({{"_lxi._tcp.local", dns::type::kPtr}});
    response.flags = dns::kFlagResponse;
    EXPECT_TRUE(mdns::Answer(table, response).answers.empty());
    dns::Message update = Query({{"_lxi._tcp.local", dns::type::kPtr}});
    update.flags = 5 << 11;
    EXPECT_TRUE(mdns::Answer(table, update).answers.empty());
}

TEST(MdnsRecords, KnownAnswersWithHalfTheirLifeLeftAreNotRepeated)
{
    const mdns::Table table = mdns::MakeTable(Bench(), kInterface);
    for (const auto& [ttl, answered] : {std::pair<std::uint32_t, bool>{mdns::kOtherTtl, false},
                                        {mdns::kOtherTtl / 2, false}, {mdns::kOtherTtl / 2 - 1, true}}) {
        dns::Message query = Query({{"_http._tcp.local", dns::type::kPtr}});
        const mdns::Reply first = mdns::Answer(table, query);
        ASSERT_EQ(first.answers.size(), 1u);
        query.answers.push_back(table[first.answers[0]].record);
        query.answers.back().ttl = ttl;
        EXPECT_EQ(mdns::Answer(table, query).answers.size(), answered ? 1u : 0u) << "ttl " << ttl;
    }
    // Another instance's known answer suppresses nothing of ours.
    dns::Message query = Query({{"_http._tcp.local", dns::type::kPtr}});
    query.answers.push_back({dns::MakeName("_http._tcp.local"), dns::type::kPtr, dns::kClassIn, false, mdns::kOtherTtl,
                             *dns::PointerData(dns::MakeName("Other._http._tcp.local"))});
    EXPECT_EQ(mdns::Answer(table, query).answers.size(), 1u);
}

TEST(MdnsRecords, ClashesWithAnotherRespondersRecordsAndTheProbeTieBreak)
{
    const mdns::Description bench = Bench();
    const mdns::Table table = mdns::MakeTable(bench, kInterface);
    const dns::Name instance = {bench.instance, "_scpi-raw", "_tcp", "local"};
    const auto response = [](dns::Record record) {
        dns::Message message;
        message.flags = dns::kFlagResponse | dns::kFlagAuthoritative;
        message.answers.push_back(std::move(record));
        return message;
    };
    const dns::Record ours{instance, dns::type::kSrv, dns::kClassIn, true, mdns::kHostTtl,
                           *dns::ServiceData(5025, {"benchpc", "local"})};
    dns::Record otherPort = ours;
    otherPort.data = *dns::ServiceData(5026, {"otherpc", "local"});
    dns::Record otherType = ours;
    otherType.type = 99;
    dns::Record elsewhere = otherPort;
    elsewhere.name = {"Other", "_scpi-raw", "_tcp", "local"};
    dns::Record goodbye = otherPort;
    goodbye.ttl = 0;
    dns::Record address{{"BENCHPC", "local"}, dns::type::kA, dns::kClassIn, true, 120, dns::AddressData(0xA9FE4D09)};

    const struct {
        const char* what;
        dns::Message message;
        bool probing;
        mdns::Clash clash;
    } cases[] = {
        {"our own record", response(ours), false, mdns::Clash::None},
        {"our own record while probing", response(ours), true, mdns::Clash::None},
        {"our name, other data", response(otherPort), false, mdns::Clash::Conflict},
        {"our name, other data, while probing", response(otherPort), true, mdns::Clash::Conflict},
        {"our name, another type", response(otherType), false, mdns::Clash::None},
        {"our name, another type, while probing", response(otherType), true, mdns::Clash::Conflict},
        {"another name", response(elsewhere), true, mdns::Clash::None},
        {"another host's goodbye", response(goodbye), true, mdns::Clash::None},
        {"our host name with another address", response(address), false, mdns::Clash::Conflict},
    };
    for (const auto& c : cases) {
        dns::Name name;
        EXPECT_EQ(mdns::FindClash(table, c.message, c.probing, name), c.clash) << c.what;
        if (c.clash == mdns::Clash::Conflict) {
            EXPECT_TRUE(dns::SameName(name, c.message.answers[0].name)) << c.what;
        }
    }

    // Two probes at once: the records that sort higher win (each side's sorted by class, type and data; the
    // first that differs decides; a list that runs out first loses).
    const auto probe = [&](const dns::Record& srv) {
        dns::Message message = Query({{dns::NameText(instance).c_str(), dns::type::kAny}});
        for (const mdns::Entry& entry : table)
            if (dns::SameName(entry.record.name, instance))
                message.authorities.push_back(entry.record.type == dns::type::kSrv ? srv : entry.record);
        return message;
    };
    dns::Record higher = ours, lower = ours;
    higher.data = *dns::ServiceData(6000, {"benchpc", "local"});
    lower.data = *dns::ServiceData(80, {"benchpc", "local"});
    dns::Name name;
    EXPECT_EQ(mdns::FindClash(table, probe(higher), true, name), mdns::Clash::LostTieBreak);
    EXPECT_TRUE(dns::SameName(name, instance));
    EXPECT_EQ(mdns::FindClash(table, probe(lower), true, name), mdns::Clash::None);
    EXPECT_EQ(mdns::FindClash(table, probe(ours), true, name), mdns::Clash::None) << "the same records";
    EXPECT_EQ(mdns::FindClash(table, probe(higher), false, name), mdns::Clash::None) << "once the name is ours";
    dns::Message more = probe(ours);
    more.authorities.push_back(otherType);
    EXPECT_EQ(mdns::FindClash(table, more, true, name), mdns::Clash::LostTieBreak) << "theirs has one more";
    dns::Message alone = probe(ours);
    alone.authorities.erase(alone.authorities.begin()); // their SRV: only the TXT record left
    EXPECT_EQ(alone.authorities.size(), 1u);
    EXPECT_EQ(mdns::FindClash(table, alone, true, name), mdns::Clash::None) << "ours has one more";
}
