// One program message run for one client: each unit parsed, matched to its command in the header table
// and carried out, by the module's commands (through the server) or by the common commands (the
// client's own status). What happened to each unit is kept for whoever watches the traffic.
#pragma once

#include "ClientStatus.h"
#include "HeaderTable.h"
#include "MessageRecord.h"
#include "ModuleLink.h"
#include "ScpiErrors.h"
#include "ScpiParser.h"

#include <string>
#include <variant>
#include <string_view>
#include <vector>

MessageRecord RunProgramMessage(std::string_view message, ClientStatus& status, ModuleLink& module);

// The unit being run and what the handlers share: the client's status, the module, the record. Each
// handler returns false when the rest of the message is to be dropped (after a command error).
class UnitRun {
public:
    UnitRun(ClientStatus& status, ModuleLink& module, MessageRecord& record)
        : status_(status), module_(module), record_(record)
    {
    }

    const ProgramUnit* Unit() const noexcept { return unit_; }
    void SetUnit(const ProgramUnit* unit) noexcept { unit_ = unit; }
    ClientStatus& Status() noexcept { return status_; }
    ModuleLink& Module() noexcept { return module_; }

    // A command error leaves the parser nowhere to go on from, so the rest of the message is dropped;
    // after an execution error the next unit runs, as instruments do ("...;:SYST:ERR?" then reports it).
    bool Reject(ScpiError error, std::string_view detail);
    // The unit's own text as the detail.
    bool Reject(ScpiError error);
    // The server's call failed: an overflow it raised is a number out of range, anything else its own
    // failure, told in its words.
    bool Fail(const AutomationError& error);
    // Answered by the front end (a response, or none); nothing sent.
    bool Answer(std::string response);
    bool Done();
    // The module was told (a query's reply is the response).
    bool Sent(std::string reply, bool isResponse);
    // -108 unless the unit has no parameters.
    bool NoParameters();

    std::vector<std::string> TakeResponses() { return std::move(responses_); }
    const UnitRecord& LastUnit() const { return record_.units.back(); }
    // The module's *IDN? reply, for whoever shows what the module is.
    void NoteIdentity(std::string reply) { record_.identityReply = std::move(reply); }

private:
    std::string UnitText() const;

    ClientStatus& status_;
    ModuleLink& module_;
    MessageRecord& record_;
    const ProgramUnit* unit_ = nullptr;
    std::vector<std::string> responses_;
};

// The handlers, one file each, keyed by the header table's entry.
bool RunCommonCommand(UnitRun& run, CommonCommand command);
bool RunModuleCommand(UnitRun& run, const CommandEntry& command);

// How often *CLS reads the module's error queue at most before giving up on emptying it.
inline constexpr int kMaxModuleErrorReads = 32;
// *CLS's part in the module: its queue read until it says 0.
bool EmptyModuleErrorQueue(UnitRun& run);
// A numeric parameter read as a 16-bit integer: rounded to the nearest, a half to the even neighbour,
// as the server rounds.
std::variant<long, ScpiError> ReadInteger16(const ProgramParameter& parameter);
