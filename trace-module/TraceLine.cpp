#include "TraceLine.h"

#include "SystemText.h"

#include <windows.h>

#include <atomic>
#include <charconv>

namespace vorntrace {
namespace {

// `value` in decimal, zero-padded to `width` digits.
void appendPadded(std::string& line, unsigned long long value, std::size_t width)
{
    char digits[24];
    const std::size_t length = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);
    if (length < width)
        line.append(width - length, '0');
    line.append(digits, length);
}

// The local time without asking for the time zone at every record: GetLocalTime does, and under Wine
// that is a trip through the C library's zone rules costing about as much as a record's append. The
// offset from UTC is taken anew at most every second, so a change of zone or of daylight saving time
// shows in the records within a second of it.
SYSTEMTIME localTime()
{
    static std::atomic<long long> offset{0}; // local minus UTC, in 100 ns units
    static std::atomic<DWORD> offsetDue{0};  // GetTickCount() when it is to be taken again
    static std::atomic<bool> offsetKnown{false};
    FILETIME utc;
    GetSystemTimeAsFileTime(&utc);
    const DWORD tick = GetTickCount();
    if (!offsetKnown.load(std::memory_order_acquire) ||
        static_cast<LONG>(tick - offsetDue.load(std::memory_order_relaxed)) >= 0) {
        FILETIME local;
        if (FileTimeToLocalFileTime(&utc, &local)) {
            const auto ticks = [](const FILETIME& time) {
                return static_cast<long long>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                                              time.dwLowDateTime);
            };
            offset.store(ticks(local) - ticks(utc), std::memory_order_relaxed);
            offsetDue.store(tick + 1000, std::memory_order_relaxed);
            offsetKnown.store(true, std::memory_order_release);
        }
    }
    const unsigned long long local =
        ((static_cast<unsigned long long>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime) +
        static_cast<unsigned long long>(offset.load(std::memory_order_relaxed));
    const FILETIME localFile{static_cast<DWORD>(local), static_cast<DWORD>(local >> 32)};
    SYSTEMTIME now{};
    FileTimeToSystemTime(&localFile, &now);
    return now;
}

// "2026-12-08T06:31:58.091". Written digit by digit: the C library's formatting of padded fields
// costs about a microsecond per record.
void appendTime(std::string& line)
{
    const SYSTEMTIME now = localTime();
    appendPadded(line, now.wYear, 4);
    line += '-';
    appendPadded(line, now.wMonth, 2);
    line += '-';
    appendPadded(line, now.wDay, 2);
    line += 'T';
    appendPadded(line, now.wHour, 2);
    line += ':';
    appendPadded(line, now.wMinute, 2);
    line += ':';
    appendPadded(line, now.wSecond, 2);
    line += '.';
    appendPadded(line, now.wMilliseconds, 3);
}

} // namespace

std::string lineStart(unsigned long call)
{
    std::string line;
    line.reserve(384);
    appendTime(line);
    line += ' ';
    appendPadded(line, call, 0);
    appendNumber(line, "pid", GetCurrentProcessId());
    appendNumber(line, "tid", GetCurrentThreadId());
    return line;
}

std::string noteStart()
{
    std::string line = "# ";
    appendTime(line);
    appendNumber(line, "pid", GetCurrentProcessId());
    line += " VornTrace program=" + quotedPath(moduleFileName(nullptr));
    return line;
}

void appendNumber(std::string& line, const char* key, long long value)
{
    line += ' ';
    line += key;
    line += '=';
    char digits[24];
    line.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

} // namespace vorntrace
