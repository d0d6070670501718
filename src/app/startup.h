// Start-up steps of the entry point.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/monitor_hooks.h"
#include "app/monitor_run.h"
#include "cmdline/cmdline_parser.h"
#include "common/stop_signal.h"

namespace tendro {

// Process preparation: library search path, UTF-16 console output, COM.
void PrepareProcess();
// "localhost", "127.0.0.1" and the computer's own names.
LocalMachineNames BuildLocalMachineNames();
// Level words 0 "Err!", 1 "Init", 2 "Info".
void SetupLevelWords();
// 2 with -v, otherwise 0 with -q, otherwise 1.
uint32_t VerbosityFor(const CmdLineParser& settings);
// Enables SeDebugPrivilege; throws when the token calls themselves fail.
void EnableDebugPrivilege();
// What a run is given by the one who starts it. A console run is given nothing.
struct RunEnvironment {
    // As a service: its name. The log file is then the log (by default
    // %ProgramData%\Tendro\NAME.log), and there is no console.
    std::wstring serviceName;
    // The run's stop signal; a console run has one of its own that nothing raises.
    const StopSignal* stop = nullptr;
    // Joined to the extensions of every run (the service's status and controls).
    MonitorHooks* hooks = nullptr;
    // Builds the run that replaces `current` once a cycle has ended for it (ReplaceRun):
    // nothing when the new options are refused (said in the log); the current run goes on.
    std::function<std::unique_ptr<MonitorRun>(MonitorRun& current, const RunBase& base)> nextRun;
    // Told of every run that begins monitoring: the first, and each one swapped in.
    std::function<void(const MonitorRun&)> runBegins;
    // A reason the run cannot begin, found before it (logged, exit code 1).
    std::wstring startupError;
};

// The whole program after process preparation; returns the exit code.
int RunTendro(int argc, wchar_t** argv, RunEnvironment environment = {});

}  // namespace tendro
