// The points at which the long-option extensions join the monitor. Without extensions the
// monitor runs with NoMonitorHooks(), whose every point does what the plain monitor does.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

#include "app/monitor_events.h"
#include "cmdline/cmdline_parser.h"
#include "common/handle.h"
#include "service/service_control.h"

namespace tendro {

// What the pause between passes waits for besides its time and the run's stop: the monitor
// core owns one for the whole cycle and hands it to PauseStarting at every pause. An
// extension ends the pause early through WakeFor (from any thread), or by setting the wake
// event itself; it asks for an alertable wait when it needs its asynchronous procedure calls
// delivered on the monitor's thread during the pause.
class PauseWaits {
public:
    PauseWaits();
    PauseWaits(const PauseWaits&) = delete;
    PauseWaits& operator=(const PauseWaits&) = delete;

    // The event that ends the pause (manual reset; cleared when a pause begins).
    HANDLE WakeEvent() const noexcept { return wake_.get(); }
    // Ends the pause for a change of `service`; the first name given in a pause is the one
    // that woke it. Safe from any thread.
    void WakeFor(const std::wstring& service);
    // The pause's wait is alertable, so that queued calls run on the monitor's thread.
    void WaitAlertably() noexcept { alertable_ = true; }

    // The monitor core's side. Begin clears the wake of the last pause.
    void Begin();
    bool Alertable() const noexcept { return alertable_; }
    // The service that woke the pause, "" when none was named.
    std::wstring WokenBy();

private:
    Handle wake_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::wstring wokenBy_;
    bool alertable_ = false;
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

    // The end of the status block of a service that the pass found up: true when it is down
    // all the same.
    virtual bool DownWhileRunning(ServiceControl& service, bool firstPass) {
        (void)service, (void)firstPass;
        return false;
    }

    // The failure response for `failed` is due: a hold holds it back (nothing is stopped or
    // started for it in this pass).
    virtual std::optional<RestartHold> HoldFailureResponse(ServiceControl& failed) {
        (void)failed;
        return std::nullopt;
    }

    // The stop of a service in a failure response did not succeed (Stop() gave 0, with the
    // Windows error `error`: ERROR_TIMEOUT when the 10 s stop wait ran out): true when the hook
    // has terminated the service's process.
    virtual bool StopFailed(ServiceControl& service, DWORD error) {
        (void)service, (void)error;
        return false;
    }

    // The pause between passes begins (not with -o or -f 0, and not after a stop): the hook
    // may add to what ends it. The pause lasts the frequency unless the run's stop or a wake
    // through `waits` ends it first.
    virtual void PauseStarting(PauseWaits& waits) { (void)waits; }

    // The pause has ended: `wokenBy` names the service whose change woke it, "" when it ran
    // its time or a stop ended it (or it was woken without a name).
    virtual void PauseEnded(const std::wstring& wokenBy) { (void)wokenBy; }

    // The pause has ended and the run goes on: true ends the cycle here instead, so that
    // another run replaces this one (no "Tendro Stopped").
    virtual bool ReplaceRun() { return false; }

    // Tendro is paused: a pass checks, reports and measures nothing more, as with -p, and
    // nothing is stopped, started or killed.
    virtual bool Paused() { return false; }

    // A run replaces `previous` (the same kind of hooks, or not): the history of the names
    // in `group` is taken from it.
    virtual void CarryHistory(MonitorHooks& previous, const ServiceList& group) {
        (void)previous, (void)group;
    }

    // The run is built to replace one that runs (new options of a service), before
    // OptionsRead: what a start-up writes out waits until the run is swapped in.
    virtual void BuildsReplacement() {}

    // Another run has replaced this one (after its CarryHistory): the run ends here, without
    // ProgramEnding.
    virtual void RunReplaced() {}

    // What the monitor found and did (monitor_events.h), reported once to every reader.
    virtual void Observe(const MonitorEvent& event) { (void)event; }

    // The program ends with exitCode: the hook may replace it.
    virtual int ProgramEnding(int exitCode) { return exitCode; }

    // A system error ends the program; its standard-error line is already written.
    virtual void ReportSystemError(const std::system_error& error) { (void)error; }
};

// The hooks of a monitor without extensions.
MonitorHooks& NoMonitorHooks();

}  // namespace tendro
