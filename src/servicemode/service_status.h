// Tendro as a Windows service: the status it reports to the service manager and the controls
// it takes. The handler runs on the dispatcher's thread; the monitor runs on the service's
// own thread and hears of a stop or a shutdown through the run's stop signal only.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "common/stop_signal.h"

namespace tendro {

// Where a status goes: SetServiceStatus, or a test's recorder.
using StatusSink = std::function<void(const SERVICE_STATUS&)>;
// Where a pause, a continue and a parameter change go once reported (the monitor's side);
// called on the dispatcher's thread.
using ControlListener = std::function<void(DWORD control)>;

class ServiceStatusReporter {
public:
    // How often the check point moves while a state is pending.
    static constexpr uint32_t CheckPointIntervalMs = 500;

    ServiceStatusReporter(StatusSink sink, StopSignal& stop);
    ~ServiceStatusReporter();
    ServiceStatusReporter(const ServiceStatusReporter&) = delete;
    ServiceStatusReporter& operator=(const ServiceStatusReporter&) = delete;

    // START_PENDING, its check point moving until Running() or Stopped().
    void StartPending();
    // RUNNING: stops, shutdowns and pre-shutdowns are taken from now on.
    void Running();
    // STOPPED: with exitCode 0 and a stop that was asked for, NO_ERROR; otherwise the run
    // ended by itself, which for a service is a failure: ERROR_SERVICE_SPECIFIC_ERROR with
    // Tendro's exit code, so that the failure actions apply.
    void Stopped(int exitCode);

    // PAUSED, or RUNNING again after a pause (Running()): the monitor has taken the control.
    // Neither takes back a pause or continue pending (one that came after the monitor's
    // decision): PAUSED while CONTINUE_PENDING and RUNNING while PAUSE_PENDING are ignored,
    // and the monitor's next decision answers it.
    void Paused();

    // Pause, continue and parameter change go to `listener` from now on; without one they
    // are refused.
    void Listen(ControlListener listener);

    // The control handler's answer (HandlerEx): a stop or a shutdown raises the run's stop
    // signal and reports STOP_PENDING; INTERROGATE is answered; with a listener, PAUSE
    // (while RUNNING) reports PAUSE_PENDING and CONTINUE (while paused or pausing) reports
    // CONTINUE_PENDING before the listener hears of it, and PARAMCHANGE goes to it as it is;
    // anything else is refused.
    DWORD Control(DWORD control);

    // The status last reported.
    SERVICE_STATUS Current() const;

private:
    void Report(DWORD state, DWORD controlsAccepted);
    void ReportLocked(DWORD state, DWORD controlsAccepted);  // mutex_ held
    DWORD Accepted() const;
    void Pump();

    StatusSink sink_;
    StopSignal& stop_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    SERVICE_STATUS status_{};
    bool stopped_ = false;  // STOPPED reported
    bool ending_ = false;
    ControlListener listener_;
    std::atomic<bool> listening_{false};
    std::thread pump_;
};

// The controls a running Tendro takes; with a listener, pause, continue and parameter
// change too.
constexpr DWORD TendroControlsAccepted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
constexpr DWORD TendroListenedControls =
    SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_PARAMCHANGE;

}  // namespace tendro
