// Where vornlan tells its user what happens (what it listens on, clients, refusals, failures): the
// console and a log file in the program, a list in the tests. Lines come from every thread.
#pragma once

#include <string_view>

class Log {
public:
    virtual ~Log() = default;
    // One line, without its line end.
    virtual void Line(std::string_view text) = 0;
};
