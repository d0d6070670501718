// The controls of a Tendro service as the monitor takes them, always between two passes:
// RUNNING when the first pass begins; a pause, which takes effect once the pass under way has
// ended (PAUSED; passes then run as with -p) and ends at a continue or when --pause-limit runs
// out; and a parameter change, which ends the run's cycle so that a run built from the stored
// options replaces it. These hooks outlive every run of the service.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "app/monitor_events.h"
#include "app/monitor_hooks.h"
#include "common/handle.h"
#include "servicemode/service_status.h"

namespace tendro {

class ServiceControls final : public MonitorHooks {
public:
    ServiceControls(ServiceStatusReporter& reporter, std::wstring serviceName);

    // A pause, continue or parameter change, from the dispatcher's thread (the reporter's
    // listener): taken at the next pass boundary, which it brings forward.
    void Take(DWORD control);
    // The --pause-limit of the run that begins.
    void SetPauseLimit(int32_t seconds) { limitMs_ = static_cast<uint64_t>(seconds) * 1000; }

    // At PassBegun: RUNNING at the first, and the pause or continue asked for since the last.
    void Observe(const MonitorEvent& event) override;
    void PauseStarting(PauseWaits& waits) override;
    void PauseEnded(const std::wstring& wokenBy) override;
    bool ReplaceRun() override;
    bool Paused() override { return paused_; }

private:
    void PassBegins();
    static void CALLBACK LimitReached(void* self, DWORD low, DWORD high);

    ServiceStatusReporter& reporter_;
    std::wstring name_;
    std::mutex mutex_;
    // Asked for by the controls, guarded by mutex_.
    bool wantPaused_ = false;
    bool changed_ = false;      // a pause or continue to be taken
    bool paramChange_ = false;  // new options to be read
    PauseWaits* waits_ = nullptr;  // during the pause between passes
    // The monitor's thread only.
    bool started_ = false;
    bool paused_ = false;
    uint64_t pausedAt_ = 0;
    uint64_t limitMs_ = 3600 * 1000;
    Handle limitTimer_;  // ends a pause between passes when the pause limit runs out
};

}  // namespace tendro
