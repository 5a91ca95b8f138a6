// The page's command console: each page loaded from a --local address gets a random token and, at its
// first command, a client of its own with its own error queue. The 8 most recently used pages keep
// theirs; an older page's client is closed at once (a command it is running ends), and its token is
// refused from then on, so no client is left that nobody can see or close.
#pragma once

#include "HttpMessage.h"
#include "Instrument.h"
#include "SlimSync.h"

#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <utility>

class Log;

class Consoles {
public:
    static constexpr std::size_t kMaxConsoles = 8;
    static constexpr std::chrono::seconds kCommandTimeout{10};

    Consoles(Instrument& instrument, Log& log) : instrument_(instrument), log_(log) {}
    Consoles(const Consoles&) = delete;
    Consoles& operator=(const Consoles&) = delete;
    ~Consoles(); // CloseAll()s

    // A new page's token; empty when no random token can be had (the page is then read-only).
    std::string NewToken();
    // The console's answer to a command from `peer`, already known to be a --local address: a status
    // and a JSON body.
    std::pair<int, std::string> Command(const http::Request& request, const std::string& peer);
    // Closes every console's client (a stop): a command in progress ends at once.
    void CloseAll();

private:
    struct Console;
    std::shared_ptr<Console> Find(const std::string& token);
    void Close(Console& console);

    Instrument& instrument_;
    Log& log_;
    SlimMutex mutex_;
    std::list<std::shared_ptr<Console>> consoles_; // most recently used first
    bool closed_ = false;
};
