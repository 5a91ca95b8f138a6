// XDR encoding and record marking: the bytes on the wire, and input that breaks the rules.
#include "OncRpc.h"
#include "Xdr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using lan::RecordAssembler;
using lan::XdrReader;
using lan::XdrWriter;
using namespace std::string_literals;

TEST(Xdr, WritesBigEndianUnitsAndPadsVariableData)
{
    struct Case {
        const char* name;
        void (*write)(XdrWriter&);
        std::string bytes;
    };
    const Case cases[] = {
        {"uint", [](XdrWriter& w) { w.Uint32(0x01020304); }, "\x01\x02\x03\x04"s},
        {"negative int", [](XdrWriter& w) { w.Int32(-2); }, "\xFF\xFF\xFF\xFE"s},
        {"true", [](XdrWriter& w) { w.Bool(true); }, "\0\0\0\x01"s},
        {"empty opaque", [](XdrWriter& w) { w.Opaque(""); }, "\0\0\0\0"s},
        {"one byte", [](XdrWriter& w) { w.Opaque("a"); },
         "\0\0\0\x01"s
         "a\0\0\0"s},
        {"four bytes", [](XdrWriter& w) { w.Opaque("abcd"); },
         "\0\0\0\x04"s
         "abcd"s},
        {"five bytes", [](XdrWriter& w) { w.Opaque("abcde"); },
         "\0\0\0\x05"s
         "abcde\0\0\0"s},
        {"zeros kept", [](XdrWriter& w) { w.Opaque("\0\0"s); },
         "\0\0\0\x02"s
         "\0\0\0\0"s},
    };
    for (const Case& c : cases) {
        XdrWriter writer;
        c.write(writer);
        EXPECT_EQ(writer.Bytes(), c.bytes) << c.name;
    }
}

TEST(Xdr, ReadsWhatItWrites)
{
    XdrWriter writer;
    writer.Uint32(0xDEADBEEF);
    writer.Int32(-7);
    writer.Bool(false);
    writer.Opaque("inst0");
    writer.Opaque("");
    writer.Uint32(5);
    XdrReader reader(writer.Bytes());
    EXPECT_EQ(reader.Uint32(), 0xDEADBEEFu);
    EXPECT_EQ(reader.Int32(), -7);
    EXPECT_FALSE(reader.Bool());
    EXPECT_EQ(reader.Opaque(16), "inst0");
    EXPECT_EQ(reader.Opaque(16), "");
    EXPECT_EQ(reader.Uint32(), 5u);
    EXPECT_TRUE(reader.Ok());
    EXPECT_EQ(reader.Remaining(), 0u);
}

TEST(Xdr, MalformedInputFailsTheReaderForGood)
{
    struct Case {
        const char* name;
        std::string bytes;
        bool (*read)(XdrReader&); // what was read; the reader must fail
    };
    const Case cases[] = {
        {"three bytes for a word", "\0\0\0"s, [](XdrReader& r) { return r.Uint32() == 0; }},
        {"no bytes", ""s, [](XdrReader& r) { return r.Uint32() == 0; }},
        {"bool two", "\0\0\0\x02"s, [](XdrReader& r) { return !r.Bool(); }},
        {"length over the limit",
         "\0\0\0\x09"s
         "123456789\0\0\0"s,
         [](XdrReader& r) { return r.Opaque(8).empty(); }},
        {"length beyond the data",
         "\0\0\0\x08"s
         "1234"s,
         [](XdrReader& r) { return r.Opaque(64).empty(); }},
        {"padding missing",
         "\0\0\0\x05"s
         "12345"s,
         [](XdrReader& r) { return r.Opaque(64).empty(); }},
        {"length near 2^32",
         "\xFF\xFF\xFF\xFE"s
         "1234"s,
         [](XdrReader& r) { return r.Opaque(~std::size_t{0}).empty(); }},
    };
    for (const Case& c : cases) {
        XdrReader reader(c.bytes);
        EXPECT_TRUE(c.read(reader)) << c.name;
        EXPECT_FALSE(reader.Ok()) << c.name;
        // Sticky: a later read that would fit gets nothing either.
        EXPECT_EQ(reader.Uint32(), 0u) << c.name;
        EXPECT_FALSE(reader.Ok()) << c.name;
        EXPECT_EQ(reader.Remaining(), 0u) << c.name;
    }
}

namespace {
std::string Fragment(std::string_view body, bool last)
{
    XdrWriter header;
    header.Uint32((last ? 0x80000000u : 0) | static_cast<std::uint32_t>(body.size()));
    return header.Take() + std::string(body);
}

// Feeds `stream` in pieces of `piece` bytes; the records completed, then the final status.
std::pair<std::vector<std::string>, RecordAssembler::Status> Assemble(RecordAssembler& assembler,
                                                                      std::string_view stream, std::size_t piece)
{
    std::vector<std::string> records;
    RecordAssembler::Status status = RecordAssembler::Status::NeedMore;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        std::string_view bytes = stream.substr(at, piece);
        for (;;) {
            status = assembler.Feed(bytes);
            if (status != RecordAssembler::Status::Record)
                break;
            records.push_back(assembler.TakeRecord());
        }
        if (status != RecordAssembler::Status::NeedMore)
            return {records, status};
    }
    return {records, status};
}
} // namespace

TEST(RecordMarking, ReassemblesFragmentsHoweverTheBytesArrive)
{
    struct Case {
        const char* name;
        std::string stream;
        std::vector<std::string> records;
    };
    const Case cases[] = {
        {"one fragment", Fragment("hello", true), {"hello"}},
        {"three fragments", Fragment("he", false) + Fragment("", false) + Fragment("llo", true), {"hello"}},
        {"two records", Fragment("ab", true) + Fragment("c", false) + Fragment("d", true), {"ab", "cd"}},
        {"an empty record", Fragment("", true) + Fragment("x", true), {"", "x"}},
        {"a partial record left", Fragment("ab", true) + Fragment("cd", false), {"ab"}},
    };
    for (const Case& c : cases) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{5}, c.stream.size()}) {
            RecordAssembler assembler(64, 8);
            const auto [records, status] = Assemble(assembler, c.stream, piece);
            EXPECT_EQ(records, c.records) << c.name << ", pieces of " << piece;
            EXPECT_EQ(status, RecordAssembler::Status::NeedMore) << c.name << ", pieces of " << piece;
        }
    }
}

TEST(RecordMarking, RefusesRecordsOverTheBoundsBeforeKeepingThem)
{
    struct Case {
        const char* name;
        std::string stream;
        RecordAssembler::Status status;
    };
    // Bounds: 16 bytes, 4 fragments.
    const Case cases[] = {
        {"one fragment too long, its body never sent", Fragment(std::string(17, 'x'), true).substr(0, 4),
         RecordAssembler::Status::TooLong},
        {"the largest length", "\xFF\xFF\xFF\xFF"s, RecordAssembler::Status::TooLong},
        {"fragments adding up too long", Fragment(std::string(10, 'x'), false) + Fragment(std::string(7, 'y'), true),
         RecordAssembler::Status::TooLong},
        {"too many fragments",
         Fragment("a", false) + Fragment("b", false) + Fragment("c", false) + Fragment("d", false) +
             Fragment("e", true),
         RecordAssembler::Status::TooManyFragments},
        {"too many empty fragments",
         Fragment("", false) + Fragment("", false) + Fragment("", false) + Fragment("", false) + Fragment("", false),
         RecordAssembler::Status::TooManyFragments},
    };
    for (const Case& c : cases) {
        RecordAssembler assembler(16, 4);
        const auto [records, status] = Assemble(assembler, c.stream, c.stream.size());
        EXPECT_TRUE(records.empty()) << c.name;
        EXPECT_EQ(status, c.status) << c.name;
        // Failed for good: the stream can't be trusted any more.
        std::string_view more = Fragment("ok", true);
        EXPECT_EQ(assembler.Feed(more), c.status) << c.name;
    }
}

TEST(RecordMarking, AtTheBoundsIsAccepted)
{
    RecordAssembler assembler(16, 4);
    const std::string stream = Fragment(std::string(8, 'x'), false) + Fragment("", false) + Fragment("", false) +
                               Fragment(std::string(8, 'y'), true) + Fragment("z", true);
    const auto [records, status] = Assemble(assembler, stream, 7);
    EXPECT_EQ(records, (std::vector<std::string>{"xxxxxxxxyyyyyyyy", "z"}));
    EXPECT_EQ(status, RecordAssembler::Status::NeedMore);
}

TEST(RecordMarking, FramesAReplyAsOneLastFragment)
{
    EXPECT_EQ(lan::FrameRecord("abc"), "\x80\0\0\x03"s
                                       "abc");
    EXPECT_EQ(lan::FrameRecord(""), "\x80\0\0\0"s);
}
