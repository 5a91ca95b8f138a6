// The lines vornlan tells its user: what it listens on, clients connecting, leaving or refused,
// failures. Each goes to the console and, when asked, to a log file, whole and with its time. The file
// is bounded: past kMaxFileBytes it becomes FILE.1 (replacing the one before) and a new FILE begins, so
// a service that runs for months keeps at most twice that.
#pragma once

#include "Log.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

class EventLog final : public Log {
public:
    static constexpr long kMaxFileBytes = 1024 * 1024;

    EventLog() = default;
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;
    ~EventLog();

    // Appends to the file as well; false (with the reason in `error`) when it can't be opened.
    bool OpenFile(const std::wstring& path, std::string& error);

    // One line, without its line end. Safe from any thread.
    void Line(std::string_view text) override;

private:
    void Rotate(); // under mutex_

    std::mutex mutex_;
    std::wstring path_;
    std::FILE* file_ = nullptr;
};
