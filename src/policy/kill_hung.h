// --kill-hung: the process of a service whose stop does not finish is ended.
#pragma once

#include <memory>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"
#include "policy/policy_clock.h"

namespace tendro {

// How long the service manager is given to report STOPPED after the termination.
constexpr uint32_t KilledStopWaitMs = 10000;

// On a failed stop of a local own-process service that has not reached STOPPED (still
// STOP_PENDING, or not stopped although it accepts stop requests: the stop wait ran out),
// terminates the service's process (a host-product service's verified recorded program
// first) and waits for STOPPED. Shared processes and services of other machines are left
// alone, with a line that says so.
class KillHungPolicy final : public MonitorHooks {
public:
    explicit KillHungPolicy(PolicyClock& clock) : clock_(clock) {}
    bool StopFailed(ServiceControl& service) override;

private:
    void WaitForStopped(ServiceControl& service);
    PolicyClock& clock_;
};

// The extension when its option is given, otherwise nothing.
std::unique_ptr<MonitorHooks> MakeKillHung(const LongOptions& options);

}  // namespace tendro
