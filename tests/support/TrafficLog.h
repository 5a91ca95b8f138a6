#pragma once
// Reads the traffic record of the simulated module and the trace of the tracing module library,
// which share one format (simulated-module/README.md, trace-module/README.md): a line is fields
// separated by single blanks, then, when it carries bytes, a marker ("> " sent, "< " replied) and
// the escaped bytes, always last. Lines starting with '#' are notes for people.
//
//     vorn::test::TrafficLog log(L"server_tests.traffic.log"); // before anything talks to the module
//     log.clear();
//     ... drive the server ...
//     EXPECT_EQ(log.sentCommands(), (std::vector<std::string>{"*IDN?", "SYST:ERR?"}));
//     EXPECT_EQ(log.replyRequests(), (std::vector<vorn::test::ReplyRequest>{{256, 0}}));
//
// The constructor sets VORN_SIM_LOG (or the variable given, e.g. VORN_TRACE_LOG) for this process
// (and so for programs it starts afterwards); the module reads it at each record, so it may be set
// after Vorn.dll is loaded. It stays set.

#include <windows.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::test {

struct TrafficRecord {
    enum class Direction { Sent, Replied };
    Direction direction;
    std::string bytes; // exactly as sent or written into the reply buffer

    bool operator==(const TrafficRecord&) const = default;
};

inline void PrintTo(const TrafficRecord& record, std::ostream* out)
{
    *out << (record.direction == TrafficRecord::Direction::Sent ? "sent \"" : "replied \"");
    for (const char c : record.bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte <= 0x7E && c != '\\')
            *out << c;
        else
            *out << "\\x"
                 << "0123456789ABCDEF"[byte >> 4] << "0123456789ABCDEF"[byte & 0x0F];
    }
    *out << '"';
}

// The bytes a record's text stands for. Throws std::runtime_error on text the module never writes.
inline std::string unescapeTraffic(std::string_view text)
{
    const auto hexDigit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c > 0x7E)
            throw std::runtime_error("traffic log: unescaped byte in a record");
        if (c != '\\') {
            bytes += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            bytes += '\\';
            ++i;
            continue;
        }
        if (i + 3 < text.size() && text[i + 1] == 'x') {
            const int high = hexDigit(text[i + 2]);
            const int low = hexDigit(text[i + 3]);
            if (high >= 0 && low >= 0) {
                bytes += static_cast<char>(high * 16 + low);
                i += 3;
                continue;
            }
        }
        throw std::runtime_error("traffic log: malformed escape in a record");
    }
    return bytes;
}

// What GetQueryResponse was handed, noted before anything was written: the size told and the
// value found in *outValue (nullopt for a null pointer).
struct ReplyRequest {
    long size;
    std::optional<long> outValue;

    bool operator==(const ReplyRequest&) const = default;
};

inline void PrintTo(const ReplyRequest& request, std::ostream* out)
{
    *out << "size " << request.size << ", outValue ";
    if (request.outValue)
        *out << *request.outValue;
    else
        *out << "null";
}

// One line of a record: its fields, and the bytes it carries, if any.
struct TrafficLine {
    std::vector<std::string> fields;
    std::optional<TrafficRecord> data;

    bool has(std::string_view field) const
    {
        for (const std::string& f : fields)
            if (f == field)
                return true;
        return false;
    }

    // The value of a "key=value" field.
    std::optional<std::string> value(std::string_view key) const
    {
        for (const std::string& f : fields)
            if (f.size() > key.size() && f.compare(0, key.size(), key) == 0 && f[key.size()] == '=')
                return f.substr(key.size() + 1);
        return std::nullopt;
    }

    // One line without its '\n'. Throws std::runtime_error on a line neither writer writes.
    static TrafficLine parse(std::string_view line)
    {
        TrafficLine parsed;
        std::size_t at = 0;
        while (at < line.size()) {
            if ((line[at] == '>' || line[at] == '<') && at + 1 < line.size() && line[at + 1] == ' ') {
                parsed.data = TrafficRecord{
                    line[at] == '>' ? TrafficRecord::Direction::Sent : TrafficRecord::Direction::Replied,
                    unescapeTraffic(line.substr(at + 2))};
                return parsed;
            }
            const std::size_t blank = std::min(line.find(' ', at), line.size());
            if (blank == at)
                throw std::runtime_error("traffic log: empty field");
            for (std::size_t i = at; i < blank; ++i)
                if (static_cast<unsigned char>(line[i]) < 0x21 || static_cast<unsigned char>(line[i]) > 0x7E)
                    throw std::runtime_error("traffic log: unescaped byte in a field");
            parsed.fields.emplace_back(line.substr(at, blank - at));
            at = blank + 1;
        }
        if (parsed.fields.empty())
            throw std::runtime_error("traffic log: empty line");
        return parsed;
    }
};

// A file's bytes, read while others may write it; empty when there is no file.
inline std::string ReadFileBytes(const std::wstring& path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            return {};
        throw std::runtime_error("traffic log: cannot open the log");
    }
    std::string text;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0)
        text.append(chunk, read);
    CloseHandle(file);
    return text;
}

class TrafficLog {
public:
    // `file` may be relative: it is made absolute against the current folder.
    explicit TrafficLog(const std::wstring& file, const wchar_t* variable = L"VORN_SIM_LOG")
    {
        std::wstring full(MAX_PATH, L'\0');
        DWORD length = GetFullPathNameW(file.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length >= full.size()) {
            full.resize(length);
            length = GetFullPathNameW(file.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        }
        if (length == 0 || length >= full.size())
            throw std::runtime_error("traffic log: bad path");
        full.resize(length);
        path_ = full;
        if (!SetEnvironmentVariableW(variable, path_.c_str()))
            throw std::runtime_error("traffic log: cannot set the log's variable");
    }

    const std::wstring& path() const { return path_; }

    // Starts an empty record.
    void clear() const
    {
        if (!DeleteFileW(path_.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            throw std::runtime_error("traffic log: cannot delete the log");
    }

    // The file's bytes as they are; empty when there is no file.
    std::string rawText() const { return ReadFileBytes(path_); }

    // Every line in order, notes ('#') left out. Throws std::runtime_error on a line neither writer writes.
    std::vector<TrafficLine> lines() const
    {
        std::vector<TrafficLine> result;
        for (const std::string& line : textLines())
            if (line.empty() || line[0] != '#')
                result.push_back(TrafficLine::parse(line));
        return result;
    }

    // The notes: header lines and the reasons a trace gave for not forwarding, without the '#'.
    std::vector<std::string> notes() const
    {
        std::vector<std::string> result;
        for (const std::string& line : textLines())
            if (!line.empty() && line[0] == '#')
                result.emplace_back(line.substr(1));
        return result;
    }

    // Every command sent and reply read, in order.
    std::vector<TrafficRecord> records() const
    {
        std::vector<TrafficRecord> result;
        for (TrafficLine& line : lines())
            if (line.data)
                result.push_back(std::move(*line.data));
        return result;
    }

    // What each GetQueryResponse call was handed, in order.
    std::vector<ReplyRequest> replyRequests() const
    {
        std::vector<ReplyRequest> result;
        for (const TrafficLine& line : lines()) {
            const auto size = line.value("size");
            const auto outValue = line.value("outValue");
            if (!line.has("GetQueryResponse") || !size || !outValue)
                continue;
            result.push_back({std::stol(*size), *outValue == "null" ? std::nullopt
                                                                     : std::optional<long>(std::stol(*outValue))});
        }
        return result;
    }

    // Just the command lines sent to the module, in order.
    std::vector<std::string> sentCommands() const
    {
        std::vector<std::string> commands;
        for (TrafficRecord& record : records())
            if (record.direction == TrafficRecord::Direction::Sent)
                commands.push_back(std::move(record.bytes));
        return commands;
    }

private:
    std::vector<std::string> textLines() const
    {
        const std::string text = rawText();
        std::vector<std::string> result;
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = text.find('\n', start);
            if (end == std::string::npos)
                throw std::runtime_error("traffic log: last record has no line end");
            result.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return result;
    }

    std::wstring path_;
};

} // namespace vorn::test
