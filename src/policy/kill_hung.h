// --kill-hung: the process of a service whose stop does not finish is ended.
#pragma once

#include <memory>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"
#include "common/stop_signal.h"
#include "policy/policy_clock.h"

namespace tendro {

// How long the service manager is given to report STOPPED after the termination.
constexpr uint32_t KilledStopWaitMs = 10000;

// On a failed stop of a local own-process service that is hung (IsHungStop),
// terminates the service's process (a host-product service's verified recorded program
// first) and waits for STOPPED. Shared processes and services of other machines are left
// alone, with a line that says so.
class KillHungPolicy final : public MonitorHooks {
public:
    KillHungPolicy(PolicyClock& clock, const StopSignal& stop) : clock_(clock), stop_(stop) {}
    bool StopFailed(ServiceControl& service, DWORD error) override;

private:
    void WaitForStopped(ServiceControl& service);
    PolicyClock& clock_;
    const StopSignal& stop_;
};

// Whether a stop that failed with `stopError`, leaving the service in `state`, is hung: the
// stop wait ran out (ERROR_TIMEOUT) or the service is still STOP_PENDING. A stop that the
// service manager refused at once (dependent services running, a control the service does
// not take, access denied, one it cannot take now, ...) leaves a healthy service alone; a
// service that was stopping already when the stop came has had the stop wait, and is hung
// only when that ran out. A wait that the run's stop cut short (ERROR_OPERATION_ABORTED) is
// not hung either.
bool IsHungStop(DWORD stopError, DWORD state);

// The extension when its option is given, otherwise nothing.
std::unique_ptr<MonitorHooks> MakeKillHung(const LongOptions& options,
                                           const StopSignal& stop = StopSignal::Never());

}  // namespace tendro
