// The points at which the long-option extensions join the monitor. Without extensions the
// monitor runs with NoMonitorHooks(), whose every point does what the plain monitor does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

#include "cmdline/cmdline_parser.h"
#include "service/service_control.h"

namespace tendro {

// Why a process was terminated.
enum class KillReason { Memory, Cpu, Hung };

// What the process limits read in one service's check; a reading not taken is empty.
struct ProcessReadings {
    std::optional<int64_t> workingSetBytes;  // -1 when the process could not be read
    std::optional<float> cpuLoad;            // -1.0 when it could not be measured
    std::optional<KillReason> killReason;    // the check whose strike decided the kill
};

class MonitorHooks {
public:
    virtual ~MonitorHooks() = default;

    // Start-up, once the options are read and before the banner: an exit code ends the
    // program at once (the hook has said why).
    virtual std::optional<int> OptionsRead(const CmdLineParser& settings) {
        (void)settings;
        return std::nullopt;
    }

    // Start-up, after validation and before the first pass. A text refuses the run: it is
    // logged at level 0 and the program ends with exit code 1.
    virtual std::optional<std::wstring> BeforeMonitoring(const CmdLineParser& settings,
                                                         ServiceObjects& services) {
        (void)settings, (void)services;
        return std::nullopt;
    }

    // A pass begins (before the re-read of -a -d).
    virtual void PassStarting(const CmdLineParser& settings) { (void)settings; }

    // The end of the status block of a service that the pass found up: true when it is down
    // all the same.
    virtual bool DownWhileRunning(ServiceControl& service, bool firstPass) {
        (void)service, (void)firstPass;
        return false;
    }

    // What the pass found for a service, before any response: the state of the first
    // read (0 when it could not be read) and the down decision.
    virtual void ServiceChecked(ServiceControl& service, uint32_t state, bool isDown) {
        (void)service, (void)state, (void)isDown;
    }

    // The process limits measured a service.
    virtual void ProcessMeasured(ServiceControl& service, const ProcessReadings& readings) {
        (void)service, (void)readings;
    }

    // A process over its limits, or a hung service's, has been terminated.
    virtual void ProcessKilled(ServiceControl& service, KillReason reason) {
        (void)service, (void)reason;
    }

    // The failure response for `failed` is due: true holds it back (nothing is stopped or
    // started for it in this pass).
    virtual bool HoldFailureResponse(ServiceControl& failed) {
        (void)failed;
        return false;
    }

    // The failure response for `failed` has run.
    virtual void FailureResponded(const CmdLineParser& settings, ServiceControl& failed) {
        (void)settings, (void)failed;
    }

    // The stop of a service in a failure response did not succeed (Stop() gave 0, with the
    // Windows error `error`: ERROR_TIMEOUT when the stop wait ran out): true when the hook
    // has terminated the service's process.
    virtual bool StopFailed(ServiceControl& service, DWORD error) {
        (void)service, (void)error;
        return false;
    }

    // The start of a service in a failure response did not succeed (Start() did not give 1).
    virtual void StartFailed(ServiceControl& service) { (void)service; }

    // The last service's check of a pass has ended.
    virtual void PassEnded(const CmdLineParser& settings, ServiceObjects& services) {
        (void)settings, (void)services;
    }

    // The pause between passes. True when the hook has paused; false leaves the plain sleep.
    virtual bool Pause(uint32_t milliseconds, const CmdLineParser& settings,
                       ServiceObjects& services) {
        (void)milliseconds, (void)settings, (void)services;
        return false;
    }

    // The program ends with exitCode: the hook may replace it.
    virtual int ProgramEnding(int exitCode) { return exitCode; }

    // A system error ends the program; its standard-error line is already written.
    virtual void ReportSystemError(const std::system_error& error) { (void)error; }
};

// The hooks of a monitor without extensions.
MonitorHooks& NoMonitorHooks();

}  // namespace tendro
