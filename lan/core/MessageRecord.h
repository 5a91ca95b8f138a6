// What became of one program message: each unit's outcome and the response, kept for whoever watches
// the traffic.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct UnitRecord {
    enum class Outcome {
        Sent,     // the module was told
        Answered, // by the front end itself, nothing sent
        Rejected, // an error of the front end or a value the server refused: nothing sent
        Failed,   // the server's call failed
    };
    std::string unit;
    Outcome outcome = Outcome::Sent;
    std::string detail; // the error entry, or the reply
};

struct MessageRecord {
    std::string response; // the query responses joined by ';', ending in a line feed; empty without any
    std::vector<UnitRecord> units;
    std::optional<std::string> identityReply; // the module's reply when the message asked *IDN?
};
