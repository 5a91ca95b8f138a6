// A client's IEEE 488.2 status as the message it sent sees it: its error queue and the event and service
// registers. The instrument keeps it under its lock; a running message changes it only through this.
#pragma once

#include "ScpiErrors.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
