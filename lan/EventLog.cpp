#include "EventLog.h"

#include <windows.h>

#include <cstring>

EventLog::~EventLog()
{
    if (file_)
        std::fclose(file_);
}

bool EventLog::OpenFile(const std::wstring& path, std::string& error)
{
    std::FILE* file = _wfopen(path.c_str(), L"ab");
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    std::lock_guard lock(mutex_);
    if (file_)
        std::fclose(file_);
    file_ = file;
    return true;
}

void EventLog::Line(std::string_view text)
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    std::string line = stamp;
    // One line each: what a client sent never breaks the log's lines.
    for (const char c : text)
        line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
    line += '\n';
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    if (file_) {
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fflush(file_);
    }
}
