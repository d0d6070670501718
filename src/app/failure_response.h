// The failure response: the group, or part of it, stopped and started again in list order.
#pragma once

#include "app/monitor_hooks.h"
#include "cmdline/cmdline_parser.h"
#include "service/service_control.h"

namespace tendro {

// The service object of a list entry. An entry without one (left behind by a re-read that
// ended early) gets `placeholder`, rebuilt as an unopened object with the entry's name, so
// that its operations fail with their usual messages.
ServiceControl& ServiceForEntry(ServiceObjects& services, const std::wstring& name,
                                ServiceControl& placeholder);

// Stops and starts services after `failed` was found down or its process was terminated:
// -r only the failed service, -g from its entry to the end of the list, otherwise the whole
// list; with -j nothing is started.
// The hooks may hold the response back; they hear of each stop and start before it is made,
// and of the ones that fail.
void RespondToFailure(const CmdLineParser& settings, ServiceObjects& services,
                      ServiceControl& failed, MonitorHooks& hooks = NoMonitorHooks());

}  // namespace tendro
