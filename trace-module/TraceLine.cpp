#include "TraceLine.h"

#include "SystemText.h"

#include <windows.h>

#include <cstdio>

namespace vorntrace {
namespace {

void appendTime(std::string& line)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    const int length = snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", now.wYear, now.wMonth,
                                now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    line.append(text, static_cast<std::size_t>(length));
}

} // namespace

std::string lineStart(unsigned long call)
{
    std::string line;
    line.reserve(384);
    appendTime(line);
    char text[64];
    const int length = snprintf(text, sizeof text, " %lu pid=%lu tid=%lu", call, GetCurrentProcessId(),
                                GetCurrentThreadId());
    line.append(text, static_cast<std::size_t>(length));
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
    char text[48];
    const int length = snprintf(text, sizeof text, " %s=%lld", key, value);
    line.append(text, static_cast<std::size_t>(length));
}

} // namespace vorntrace
