// One program message run for one client: each unit parsed, matched to its command and carried out,
// through the server for the module's commands, by the front end for the common commands and the
// client's own error queue. What happened to each unit is kept for whoever watches the traffic.
#pragma once

#include "MessageRecord.h"
#include "ModuleLink.h"
#include "ScpiErrors.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The client's status as its message sees it; the instrument keeps it under its lock.
class ClientStatus {
public:
    virtual ~ClientStatus() = default;
    // Queues the error (the last entry becomes -350 when the queue is full) and sets its event bit.
    virtual void PushError(ScpiError error, std::string_view detail) = 0;
    virtual std::optional<std::string> PopError() = 0;
    // *CLS: the client's queue and event status emptied.
    virtual void ClearStatus() = 0;
    virtual std::uint8_t TakeEventStatus() = 0; // *ESR? reads and clears
    virtual void SetEventEnable(std::uint8_t mask) = 0;
    virtual std::uint8_t EventEnable() = 0;
    virtual void SetServiceEnable(std::uint8_t mask) = 0;
    virtual std::uint8_t ServiceEnable() = 0;
    virtual std::uint8_t StatusByte() = 0;
    virtual void OperationComplete() = 0;
};

// How often *CLS reads the module's error queue at most before giving up on emptying it.
inline constexpr int kMaxModuleErrorReads = 32;

MessageRecord RunProgramMessage(std::string_view message, ClientStatus& status, ModuleLink& module);

// The bytes of text as the ANSI code page spells them, and back: what travels on the network is
// what the module's library receives and answers.
std::wstring FromNetwork(std::string_view bytes);
std::string ToNetwork(std::wstring_view text);
