// The failure response: the group, or part of it, stopped and started again in list order.
#pragma once

#include <set>
#include <string>

#include "app/monitor_hooks.h"
#include "cmdline/cmdline_parser.h"
#include "common/stop_signal.h"
#include "common/text.h"
#include "service/service_control.h"

namespace tendro {

// The service object of a list entry. An entry without one (left behind by a re-read that
// ended early) gets `placeholder`, rebuilt as an unopened object with the entry's name, so
// that its operations fail with their usual messages.
ServiceControl& ServiceForEntry(ServiceObjects& services, const std::wstring& name,
                                ServiceControl& placeholder);

// What the responses of one pass share: the run's stop signal, and the machines that a stop
// or start found shutting down, whose services get no further response in the pass.
struct PassResponses {
    explicit PassResponses(const StopSignal& stop = StopSignal::Never()) : stop(stop) {}
    const StopSignal& stop;
    std::set<std::wstring, NoCaseLess> machinesShuttingDown;
};

// Stops and starts services after `failed` was found down or its process was terminated:
// -r only the failed service, -g from its entry to the end of the list, otherwise the whole
// list; with -j nothing is started.
// The hooks may hold the response back and hear of failed stops and starts. Nothing is
// stopped or started while the system shuts down, nor after the run's shutdown was asked
// for; a stop of the run lets the response finish, its waits within the stop's budget. Once
// that budget is spent nothing more is stopped: the rest of the stop phase is left running,
// and the starts still go out for the services whose stop went out.
void RespondToFailure(const CmdLineParser& settings, ServiceObjects& services,
                      ServiceControl& failed, MonitorHooks& hooks, PassResponses& pass);
void RespondToFailure(const CmdLineParser& settings, ServiceObjects& services,
                      ServiceControl& failed, MonitorHooks& hooks = NoMonitorHooks());

}  // namespace tendro
