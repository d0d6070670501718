#include "servicemode/service_status.h"

namespace tendro {

namespace {

// What the manager is told to allow between two check points.
constexpr DWORD PendingWaitHintMs = 2000;

bool IsPending(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
           state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
}

}  // namespace

ServiceStatusReporter::ServiceStatusReporter(StatusSink sink, StopSignal& stop)
    : sink_(std::move(sink)), stop_(stop) {
    status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    pump_ = std::thread([this] { Pump(); });
}

ServiceStatusReporter::~ServiceStatusReporter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    pump_.join();
}

void ServiceStatusReporter::Report(DWORD state, DWORD controlsAccepted) {
    std::lock_guard<std::mutex> lock(mutex_);
    ReportLocked(state, controlsAccepted);
}

void ServiceStatusReporter::ReportLocked(DWORD state, DWORD controlsAccepted) {
    // STOPPED is the last word, and a stop under way is never taken back by RUNNING.
    if (stopped_ || (status_.dwCurrentState == SERVICE_STOP_PENDING && state != SERVICE_STOPPED))
        return;
    // The monitor decides between two passes and reports after: a pause or a continue taken
    // in between is pending, and the monitor's next pass answers it. Until then, a report
    // that contradicts it comes from the decision before it.
    const DWORD now = status_.dwCurrentState;
    if ((now == SERVICE_PAUSE_PENDING && state == SERVICE_RUNNING) ||
        (now == SERVICE_CONTINUE_PENDING && state == SERVICE_PAUSED))
        return;
    status_.dwCurrentState = state;
    status_.dwControlsAccepted = controlsAccepted;
    status_.dwCheckPoint = IsPending(state) ? 1 : 0;
    status_.dwWaitHint = IsPending(state) ? PendingWaitHintMs : 0;
    if (state != SERVICE_STOPPED) {
        status_.dwWin32ExitCode = NO_ERROR;
        status_.dwServiceSpecificExitCode = 0;
    }
    sink_(status_);
    changed_.notify_all();
}

void ServiceStatusReporter::StartPending() { Report(SERVICE_START_PENDING, 0); }

void ServiceStatusReporter::Running() {
    // A stop that came during the start-up is already under way.
    if (stop_.Stopping()) return;
    Report(SERVICE_RUNNING, Accepted());
}

void ServiceStatusReporter::Paused() {
    if (stop_.Stopping()) return;
    Report(SERVICE_PAUSED, Accepted());
}

void ServiceStatusReporter::Listen(ControlListener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
    listening_ = static_cast<bool>(listener_);
}

DWORD ServiceStatusReporter::Accepted() const {
    return TendroControlsAccepted | (listening_ ? TendroListenedControls : 0);
}

void ServiceStatusReporter::Stopped(int exitCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.dwCurrentState = SERVICE_STOPPED;
    status_.dwControlsAccepted = 0;
    status_.dwCheckPoint = 0;
    status_.dwWaitHint = 0;
    const bool failed = exitCode != 0 || !stop_.Stopping();
    status_.dwWin32ExitCode = failed ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status_.dwServiceSpecificExitCode = failed ? static_cast<DWORD>(exitCode) : 0;
    stopped_ = true;
    sink_(status_);
    changed_.notify_all();
}

DWORD ServiceStatusReporter::Control(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            stop_.RequestStop();
            Report(SERVICE_STOP_PENDING, 0);
            return NO_ERROR;
        case SERVICE_CONTROL_SHUTDOWN:
        case SERVICE_CONTROL_PRESHUTDOWN:
            stop_.RequestShutdown();
            Report(SERVICE_STOP_PENDING, 0);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_PARAMCHANGE: {
            ControlListener listener;
            {
                // The state read and the pending state reported in one step.
                std::lock_guard<std::mutex> lock(mutex_);
                listener = listener_;
                const DWORD state = status_.dwCurrentState;
                if (!listener) return ERROR_CALL_NOT_IMPLEMENTED;
                const bool pausing = state == SERVICE_PAUSED || state == SERVICE_PAUSE_PENDING;
                if (control == SERVICE_CONTROL_PAUSE) {
                    if (pausing) return NO_ERROR;  // already on its way
                    if (state != SERVICE_RUNNING && state != SERVICE_CONTINUE_PENDING)
                        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
                    ReportLocked(SERVICE_PAUSE_PENDING, Accepted());
                } else if (control == SERVICE_CONTROL_CONTINUE) {
                    if (!pausing) return NO_ERROR;
                    ReportLocked(SERVICE_CONTINUE_PENDING, Accepted());
                } else if (state == SERVICE_STOP_PENDING || state == SERVICE_START_PENDING) {
                    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
                }
            }
            listener(control);
            return NO_ERROR;
        }
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

SERVICE_STATUS ServiceStatusReporter::Current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

// Moves the check point of a pending state on, so that the manager sees progress.
void ServiceStatusReporter::Pump() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ending_) {
        if (changed_.wait_for(lock, std::chrono::milliseconds(CheckPointIntervalMs)) !=
                std::cv_status::timeout ||
            ending_ || stopped_ || !IsPending(status_.dwCurrentState))
            continue;
        ++status_.dwCheckPoint;
        sink_(status_);
    }
}

}  // namespace tendro
