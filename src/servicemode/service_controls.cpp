#include "servicemode/service_controls.h"

#include "common/error.h"
#include "common/text.h"
#include "log/log.h"

namespace tendro {

ServiceControls::ServiceControls(ServiceStatusReporter& reporter, std::wstring serviceName)
    : reporter_(reporter),
      name_(std::move(serviceName)),
      limitTimer_(::CreateWaitableTimerW(nullptr, TRUE, nullptr)) {
    if (!limitTimer_) ThrowLastError("Can't create the timer of the pause limit");
}

void ServiceControls::Take(DWORD control) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (control == SERVICE_CONTROL_PARAMCHANGE) {
        paramChange_ = true;
    } else {
        wantPaused_ = control == SERVICE_CONTROL_PAUSE;
        changed_ = true;
    }
    // The pass boundary comes now: the pause between passes ends.
    if (waits_) waits_->WakeFor(std::wstring());
}

void ServiceControls::Observe(const MonitorEvent& event) {
    if (std::holds_alternative<PassBegun>(event)) PassBegins();
}

void ServiceControls::PassBegins() {
    if (!started_) reporter_.Running();
    started_ = true;
    bool want, changed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        want = wantPaused_;
        changed = changed_;
        changed_ = false;
        // A pause that has run its limit ends by itself.
        if (!changed && paused_ && ::GetTickCount64() - pausedAt_ >= limitMs_) {
            wantPaused_ = want = false;
            paused_ = false;
            WriteLog(LogInit, FormatText(L"Tendro continues by itself: the pause of service %s "
                                         L"has reached its limit of %d s (--pause-limit)",
                                         name_.c_str(), static_cast<int>(limitMs_ / 1000)));
            reporter_.Running();
            return;
        }
    }
    if (!changed) return;
    if (want && !paused_) {
        paused_ = true;
        pausedAt_ = ::GetTickCount64();
        WriteLog(LogInit, FormatText(L"Tendro is paused: nothing is stopped, started or killed "
                                     L"until sc continue %s, or by itself after %d s",
                                     name_.c_str(), static_cast<int>(limitMs_ / 1000)));
    } else if (!want && paused_) {
        paused_ = false;
        WriteLog(LogInit, L"Tendro continues");
    }
    if (paused_)
        reporter_.Paused();
    else
        reporter_.Running();
}

void ServiceControls::PauseStarting(PauseWaits& waits) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waits_ = &waits;
        // A control taken during the pass: the next pass begins at once.
        if (changed_ || paramChange_) waits.WakeFor(std::wstring());
    }
    if (!paused_) return;
    // The limit may run out before the frequency does: a timer's call on this thread ends
    // the pause then.
    const uint64_t elapsed = ::GetTickCount64() - pausedAt_;
    const uint64_t left = elapsed >= limitMs_ ? 0 : limitMs_ - elapsed;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(left * 10000);  // relative, in 100 ns
    if (::SetWaitableTimer(limitTimer_.get(), &due, 0, LimitReached, this, FALSE))
        waits.WaitAlertably();
}

void CALLBACK ServiceControls::LimitReached(void* self, DWORD low, DWORD high) {
    (void)low, (void)high;
    auto* controls = static_cast<ServiceControls*>(self);
    std::lock_guard<std::mutex> lock(controls->mutex_);
    if (controls->waits_) controls->waits_->WakeFor(std::wstring());
}

void ServiceControls::PauseEnded(const std::wstring& wokenBy) {
    (void)wokenBy;
    ::CancelWaitableTimer(limitTimer_.get());
    std::lock_guard<std::mutex> lock(mutex_);
    waits_ = nullptr;
}

bool ServiceControls::ReplaceRun() {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool due = paramChange_;
    paramChange_ = false;
    return due;
}

}  // namespace tendro
