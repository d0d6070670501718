// The monitor cycle, the failure response and the process limits.
#pragma once

#include "cmdline/cmdline_parser.h"

namespace tendro {

// Runs passes over settings.monitoredServices; returns only with -o, after one pass.
void RunMonitorCycle(CmdLineParser& settings, Connections& connections,
                     StrikeCounts& strikeCounts, ServiceObjects& services);

}  // namespace tendro
