// What the monitor found and did, reported once as values to every reader that wants them
// (the metrics, the check line, the watch, the Event Log, ...): the readers see the same
// events, so they cannot disagree. The points at which an extension decides something stay
// hooks of their own (monitor_hooks.h).
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cmdline/cmdline_parser.h"
#include "service/service_control.h"

namespace tendro {

// Why a process was terminated.
enum class KillReason { Memory, Cpu, Hung };

// What made a pass find a service down (or not up): the service manager's state, the host
// product's record of its program, a decision of an extension (a failing probe), or a state
// that could not be read.
enum class DownCause { Stopped, ProgramNotRunning, Probe, Unreadable };

// What the process limits read in one service's check; a reading not taken is empty.
struct ProcessReadings {
    std::optional<int64_t> workingSetBytes;  // -1 when the process could not be read
    std::optional<float> cpuLoad;            // -1.0 when it could not be measured
    std::optional<KillReason> killReason;    // the check whose strike decided the kill
};

// A hold on a service's restarts (--restart-limit): the response due is not run.
struct RestartHold {
    bool begins = false;       // this response starts the hold; false while one lasts
    int32_t failures = 0;      // responses counted within the window
    int32_t windowSeconds = 0;
    int32_t holdSeconds = 0;   // the hold's length when it begins, what is left otherwise
};

// A pass begins (before the re-read of -a -d).
struct PassBegun {
    const CmdLineParser& settings;
    bool firstPass;
};

// What the pass found for a service, before any response: the state of the first read (0
// when it could not be read), the down decision and, when down or unread, its cause.
struct ServiceFound {
    ServiceControl& service;
    uint32_t state;
    bool down;
    DownCause cause;
    bool firstPass;
    // Up: neither down nor unread.
    bool Up() const { return !down && state != 0; }
};

// A service not up after passes that found it up (or at the first pass): once per outage.
struct OutageBegan {
    ServiceControl& service;
    DownCause cause;
};

// A service up again after an outage that lasted `seconds`.
struct OutageEnded {
    ServiceControl& service;
    uint64_t seconds;
};

// The process limits measured a service.
struct ProcessMeasured {
    ServiceControl& service;
    const ProcessReadings& readings;
};

// A process over its limits, or a hung service's, has been terminated.
struct ProcessKilled {
    ServiceControl& service;
    KillReason reason;
    int32_t pid;
};

// The failure response for `failed` begins (it is not held back).
struct ResponseBegun {
    const CmdLineParser& settings;
    ServiceControl& failed;
};

// The failure response is about to stop a service (whatever comes of the stop).
struct ServiceStopping {
    ServiceControl& service;
};

// A stop in the failure response failed with the Windows error `error` (ERROR_TIMEOUT when
// the 10 s stop wait ran out; a wait that the run's stop cut short is no failure).
struct StopFailure {
    ServiceControl& service;
    DWORD error;
};

// The failure response is about to start a service.
struct ServiceStarting {
    ServiceControl& service;
};

// A start in the failure response failed (error 0 when the service did not reach RUNNING
// without a Windows error).
struct StartFailure {
    ServiceControl& service;
    DWORD error;
};

// The failure response for `failed` has run: the services it stopped and started, in order.
struct ResponseEnded {
    const CmdLineParser& settings;
    ServiceControl& failed;
    const std::vector<std::wstring>& stopped;
    const std::vector<std::wstring>& started;
};

// The failure response due for a service is held by a restart limit.
struct RestartsHeld {
    ServiceControl& service;
    RestartHold hold;
};

// No response for `failed`: Windows (machine empty) or the service's machine shuts down.
struct ShutdownNoResponse {
    ServiceControl& failed;
    std::wstring machine;
};

// A pass has ended: after the last service's check, or after the one at hand at a stop.
struct PassEnded {
    const CmdLineParser& settings;
    ServiceObjects& services;
};

using MonitorEvent =
    std::variant<PassBegun, ServiceFound, OutageBegan, OutageEnded, ProcessMeasured,
                 ProcessKilled, ResponseBegun, ServiceStopping, StopFailure, ServiceStarting,
                 StartFailure, ResponseEnded, RestartsHeld, ShutdownNoResponse, PassEnded>;

}  // namespace tendro
