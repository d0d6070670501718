#include "app/monitor_hooks.h"

#include "common/error.h"

namespace tendro {

PauseWaits::PauseWaits() : wake_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!wake_) ThrowLastError("Can't create the wake event of the pause");
}

void PauseWaits::WakeFor(const std::wstring& service) {
    ::AcquireSRWLockExclusive(&lock_);
    if (wokenBy_.empty()) wokenBy_ = service;
    ::ReleaseSRWLockExclusive(&lock_);
    ::SetEvent(wake_.get());
}

void PauseWaits::Begin() {
    ::ResetEvent(wake_.get());
    ::AcquireSRWLockExclusive(&lock_);
    wokenBy_.clear();
    ::ReleaseSRWLockExclusive(&lock_);
    alertable_ = false;
}

std::wstring PauseWaits::WokenBy() {
    ::AcquireSRWLockExclusive(&lock_);
    std::wstring name = wokenBy_;
    ::ReleaseSRWLockExclusive(&lock_);
    return name;
}

MonitorHooks& NoMonitorHooks() {
    static MonitorHooks none;
    return none;
}

}  // namespace tendro
