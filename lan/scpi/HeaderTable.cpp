#include "HeaderTable.h"
#include "Text.h"

#include <algorithm>
#include <array>
#include <utility>
#include <string_view>

namespace {

// The long forms of the standard mnemonics in the module's headers; upper case is the short form.
// Nodes not listed here are taken only as the server spells them.
struct LongForm {
    std::string_view shortForm;
    std::string_view longForm;
    bool optional; // may be left out, as SCPI makes the default node
};
constexpr std::array kLongForms = {
    LongForm{"SENS", "SENSe", true},       LongForm{"CORR", "CORRection", false},
    LongForm{"COLL", "COLLect", false},    LongForm{"METH", "METHod", false},
    LongForm{"ACQ", "ACQuire", false},     LongForm{"SYST", "SYSTem", false},
    LongForm{"ERR", "ERRor", false},       LongForm{"DISP", "DISPlay", false},
};

struct Node {
    std::string shortForm; // upper case
    std::string longForm;  // upper case; equal to the short form when there is none
    bool optional = false;
};

struct Pattern {
    std::vector<Node> nodes;
    bool query = false;
    size_t entry = 0;
};

using text::Narrow;
using text::Upper;

struct Table {
    std::vector<CommandEntry> entries;
    std::vector<Pattern> patterns;

    // "SENS:CORR:COLL:METH" or "SYST:ERR?" from the server's table, long forms applied.
    void AddHeader(std::string header, CommandKind kind, vorn::Method method, bool extraNextNode = false,
                   CommonCommand common = CommonCommand::None)
    {
        while (!header.empty() && header.back() == ' ')
            header.pop_back();
        Pattern pattern;
        if (!header.empty() && header.back() == '?') {
            pattern.query = true;
            header.pop_back();
        }
        std::string notation;
        size_t start = 0;
        for (;;) {
            const size_t colon = header.find(':', start);
            const std::string mnemonic = header.substr(start, colon == std::string::npos ? colon : colon - start);
            Node node{mnemonic, mnemonic, false};
            std::string spelled = mnemonic;
            for (const LongForm& form : kLongForms) {
                if (form.shortForm == mnemonic) {
                    node.longForm = Upper(form.longForm);
                    node.optional = form.optional;
                    spelled = std::string(form.longForm);
                }
            }
            const bool first = notation.empty();
            if (node.optional)
                notation += "[" + spelled + "]";
            else
                notation += (first ? "" : ":") + spelled;
            pattern.nodes.push_back(std::move(node));
            if (colon == std::string::npos)
                break;
            start = colon + 1;
        }
        if (extraNextNode) {
            pattern.nodes.push_back(Node{"NEXT", "NEXT", true});
            notation += "[:NEXT]";
        }
        if (pattern.query)
            notation += "?";
        pattern.entry = entries.size();
        entries.push_back(CommandEntry{notation, kind, method, common});
        patterns.push_back(std::move(pattern));
    }

    Table()
    {
        for (size_t m = 0; m < static_cast<size_t>(vorn::kMethodCount); ++m) {
            const auto method = static_cast<vorn::Method>(m);
            const vorn::MethodEntry& entry = vorn::Entry(method);
            if (entry.family == vorn::Family::Version)
                continue; // answers from a constant: nothing the module is told
            const std::string header = Narrow(entry.header);
            if (method == vorn::Method::CMD_IDN)
                AddHeader(header, CommandKind::Identify, method);
            else if (method == vorn::Method::SYST_ERR)
                AddHeader(header, CommandKind::SystemError, method, true);
            else
                AddHeader(header, entry.family == vorn::Family::FixedQuery ? CommandKind::ModuleQuery
                                                                           : CommandKind::ModuleSet,
                          method);
            if (!entry.queryHeader.empty())
                AddHeader(Narrow(entry.queryHeader), CommandKind::ModuleQuery, method);
        }
        using enum CommonCommand;
        static constexpr std::pair<const char*, CommonCommand> kCommon[] = {
            {"*CLS", ClearStatus},         {"*ESE", EventEnable},
            {"*ESE?", EventEnableQuery},   {"*ESR?", EventStatusQuery},
            {"*SRE", ServiceEnable},       {"*SRE?", ServiceEnableQuery},
            {"*STB?", StatusByteQuery},    {"*OPC", OperationComplete},
            {"*OPC?", OperationCompleteQuery}, {"*WAI", Wait},
            {"*RST", Reset},               {"*TST?", SelfTestQuery},
        };
        for (const auto& [header, command] : kCommon)
            AddHeader(header, CommandKind::Common, vorn::Method::SPI_VERSION, false, command);
    }
};

const Table& TheTable()
{
    static const Table table;
    return table;
}

bool Matches(const std::vector<Node>& nodes, size_t n, const std::vector<std::string>& words, size_t w)
{
    if (n == nodes.size())
        return w == words.size();
    const Node& node = nodes[n];
    if (w < words.size()) {
        const std::string word = Upper(words[w]);
        if ((word == node.shortForm || word == node.longForm) && Matches(nodes, n + 1, words, w + 1))
            return true;
    }
    return node.optional && Matches(nodes, n + 1, words, w);
}

} // namespace

const std::vector<CommandEntry>& CommandEntries()
{
    return TheTable().entries;
}

const CommandEntry* ResolveHeader(const ProgramUnit& unit, std::vector<std::string>& path)
{
    const Table& table = TheTable();
    std::vector<std::string> words;
    if (!unit.common && !unit.rooted)
        words = path;
    words.insert(words.end(), unit.mnemonics.begin(), unit.mnemonics.end());
    for (const Pattern& pattern : table.patterns) {
        if (pattern.query != unit.query || Matches(pattern.nodes, 0, words, 0) == false)
            continue;
        // Common commands leave the path where it was.
        if (!unit.common)
            path.assign(words.begin(), words.end() - 1);
        return &table.entries[pattern.entry];
    }
    return nullptr;
}
