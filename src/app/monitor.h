// The monitor cycle, the failure response and the process limits.
#pragma once

#include <cstdint>

#include "app/failure_response.h"
#include "app/monitor_hooks.h"
#include "cmdline/cmdline_parser.h"

namespace tendro {

// Longest pause between passes, in seconds: its milliseconds still fit below the infinite wait.
constexpr int32_t MaxFrequencySeconds = 4294967;

// Runs passes over settings.monitoredServices; returns only with -o, after one pass.
void RunMonitorCycle(CmdLineParser& settings, Connections& connections,
                     StrikeCounts& strikeCounts, ServiceObjects& services,
                     MonitorHooks& hooks = NoMonitorHooks(),
                     const StopSignal& stop = StopSignal::Never());

// One pass over the group: the re-read (-a with -d, not on the first pass), then every
// service's check in list order. No pause.
void RunMonitorPass(CmdLineParser& settings, Connections& connections,
                    StrikeCounts& strikeCounts, ServiceObjects& services, bool firstPass,
                    MonitorHooks& hooks = NoMonitorHooks(),
                    const StopSignal& stop = StopSignal::Never());

// The check of one list entry: state, status block, limits, failure response (with what the
// pass's responses share, when given).
void CheckService(const CmdLineParser& settings, StrikeCounts& strikeCounts,
                  ServiceObjects& services, const std::wstring& name, bool firstPass,
                  MonitorHooks& hooks = NoMonitorHooks(), PassResponses* pass = nullptr);

// The pause between passes: a negative frequency counts as 0, one above
// MaxFrequencySeconds as MaxFrequencySeconds.
uint32_t PassPauseMilliseconds(int32_t frequency);

}  // namespace tendro
