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
    path_ = path;
    return true;
}

void EventLog::Rotate()
{
    std::fclose(file_);
    // When FILE.1 can't be replaced (a reader holds it without sharing), FILE starts afresh: the old
    // lines are lost rather than the bound.
    const bool moved = MoveFileExW(path_.c_str(), (path_ + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    file_ = _wfopen(path_.c_str(), moved ? L"ab" : L"wb");
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
        if (std::ftell(file_) >= kMaxFileBytes)
            Rotate();
    }
}
