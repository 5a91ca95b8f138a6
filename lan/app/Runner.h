// One run of vornlan, the same as a console program and as a service: the instrument and every transport
// started, the resource strings told, a wait for the stop, then links dropped, locks released and the
// server object released. How the run is watched and stopped is the caller's.
#pragma once

#include "Options.h"

class Log;

class RunControl {
public:
    virtual ~RunControl() = default;
    // Every transport that could be started runs.
    virtual void Running() {}
    // Blocks until the run is to end.
    virtual void WaitForStop() = 0;
    // Called once the stop begins, before the connections are dropped.
    virtual void Stopping() {}
};

// 0 after a clean stop; kNothingToListenOn when no transport could be started (said in the log).
inline constexpr int kNothingToListenOn = 1;
int RunVornlan(const LanOptions& options, Log& log, RunControl& control);
