#include "Runner.h"

#include "EventLog.h"
#include "Instrument.h"
#include "NetworkFrontEnd.h"
#include "TrafficHistory.h"

int RunVornlan(const LanOptions& options, EventLog& log, RunControl& control)
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
    network.Stop();
    instrument.Stop();
    log.Line("stopped");
    return 0;
}
