// The monitor cycle, the failure response and the process limits.
#pragma once

#include <cstdint>

#include "app/failure_response.h"
#include "app/monitor_hooks.h"
#include "cmdline/cmdline_parser.h"
#include "common/stop_signal.h"

namespace tendro {

// Longest pause between passes, in seconds: its milliseconds still fit below the infinite wait.
constexpr int32_t MaxFrequencySeconds = 4294967;

// Runs passes over settings.monitoredServices; returns with -o after one pass, and at a stop:
// a stop during the pause ends it at once; one during a pass lets the check of the service at
// hand (and its failure response) finish, and the cycle returns without a pause. It also
// returns after a pause when the hooks' ReplaceRun asks for it (true then); `resumed` goes on
// with a run whose first pass is done.
bool RunMonitorCycle(CmdLineParser& settings, Connections& connections,
                     StrikeCounts& strikeCounts, ServiceObjects& services,
                     MonitorHooks& hooks = NoMonitorHooks(),
                     const StopSignal& stop = StopSignal::Never(), bool resumed = false);

// One pass over the group: the re-read (-a with -d, not on the first pass), then every
// service's check in list order, up to a stop. No pause.
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

// The pause between passes: `milliseconds` long unless the stop or a wake through `waits`
// (set up by the hooks' PauseStarting) ends it first. False when a stop ended it.
bool PauseBetweenPasses(uint32_t milliseconds, PauseWaits& waits, MonitorHooks& hooks,
                        const StopSignal& stop);

}  // namespace tendro
