#pragma once
// Reads the simulated module's traffic record in tests (format: simulated-module/README.md).
//
//     vorn::test::TrafficLog log(L"server_tests.traffic.log"); // before anything talks to the module
//     log.clear();
//     ... drive the server ...
//     EXPECT_EQ(log.sentCommands(), (std::vector<std::string>{"*IDN?", "SYST:ERR?"}));
//
// The constructor sets VORN_SIM_LOG for this process (and so for programs it starts afterwards);
// the module reads it at each record, so it may be set after Vorn.dll is loaded. It stays set.

#include <windows.h>

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

class TrafficLog {
public:
    // `file` may be relative: it is made absolute against the current folder.
    explicit TrafficLog(const std::wstring& file)
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
        if (!SetEnvironmentVariableW(L"VORN_SIM_LOG", path_.c_str()))
            throw std::runtime_error("traffic log: cannot set VORN_SIM_LOG");
    }

    const std::wstring& path() const { return path_; }

    // Starts an empty record.
    void clear() const
    {
        if (!DeleteFileW(path_.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            throw std::runtime_error("traffic log: cannot delete the log");
    }

    // The file's bytes as they are; empty when there is no file.
    std::string rawText() const
    {
        const HANDLE file =
            CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

    // Every record in order. Throws std::runtime_error on a line the module never writes.
    std::vector<TrafficRecord> records() const
    {
        const std::string text = rawText();
        std::vector<TrafficRecord> result;
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = text.find('\n', start);
            if (end == std::string::npos)
                throw std::runtime_error("traffic log: last record has no line end");
            const std::string_view line(text.data() + start, end - start);
            if (line.size() < 2 || (line[0] != '>' && line[0] != '<') || line[1] != ' ')
                throw std::runtime_error("traffic log: record without direction");
            result.push_back({line[0] == '>' ? TrafficRecord::Direction::Sent : TrafficRecord::Direction::Replied,
                              unescapeTraffic(line.substr(2))});
            start = end + 1;
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
    std::wstring path_;
};

} // namespace vorn::test
