#include "Runner.h"

#include "Log.h"
#include "Instrument.h"
#include "NetworkFrontEnd.h"
#include "TrafficHistory.h"

int RunVornlan(const LanOptions& options, Log& log, RunControl& control)
{
    TrafficHistory history;
    Instrument instrument(log, &history);
    instrument.Start();
    NetworkFrontEnd network(instrument, log, options.network, history);
    if (network.Start() == 0) {
        log.Line("nothing to listen on: vornlan stops");
        instrument.Stop();
        return kNothingToListenOn;
    }
    for (const std::string& resource : network.ResourceStrings())
        log.Line("VISA resource: " + resource);
    control.Running();

    control.WaitForStop();
    log.Line("stopping: links dropped, locks released");
    control.Stopping();
    // Every wait in the instrument ends first (a console's command, the identity, a lock), so that the
    // connections drop at once; the message in progress, if any, finishes while they do.
    instrument.Halt();
    network.Stop();
    instrument.Stop();
    log.Line("stopped");
    return 0;
}
