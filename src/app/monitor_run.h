// One run of the monitor: the settings, connections, service objects and extensions that one
// set of arguments gives. A run is built and checked whole, as a start-up builds it; a
// service may build another and swap it in between two passes (a change of its options).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/extensions.h"
#include "cmdline/cmdline_parser.h"
#include "cmdline/long_options.h"
#include "common/stop_signal.h"

namespace tendro {

class CheckCapture;
class EventLogReporter;

struct MonitorRun {
    CmdLineParser settings;
    LongOptions longOptions;
    StrikeCounts strikeCounts;
    Connections connections;
    ServiceObjects services;
    std::unique_ptr<Extensions> extensions;
    bool replaces = false;  // built to replace a run that runs (BuildsReplacement)
};

// What every run of a process shares.
struct RunBase {
    const LocalMachineNames& localNames;
    const StopSignal& stop;
    CheckCapture* checkCapture = nullptr;
    // Hooks that outlive the run (a service's controls); joined to every run's extensions.
    MonitorHooks* shared = nullptr;
    // Its reader joins every run's extensions after the shared hooks.
    EventLogReporter* eventLog = nullptr;
};

// The start-up from the extensions on, for arguments already parsed into run.settings and
// run.longOptions (Verbosity set): OptionsRead, the banner and the "CLI:" line (`original`:
// the arguments as typed, released once logged), the host product, the debug privilege, the
// settings summary, the connections, the validation and BeforeMonitoring. Nothing when the
// run may begin; otherwise the exit code, its reason logged.
std::optional<int> BuildRun(MonitorRun& run, const RunBase& base, int argc, wchar_t** argv,
                            std::optional<ArgumentCopies>& original);

// What a service's history holds (strike counts, the extensions' records) is taken from
// `previous` for the names that `next` still watches.
void CarryHistory(MonitorRun& previous, MonitorRun& next);

}  // namespace tendro
