#include "common/stop_signal.h"

#include <algorithm>

namespace tendro {

StopSignal::StopSignal(uint32_t budgetMs)
    : stopping_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      shutdown_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), budgetMs_(budgetMs) {}

void StopSignal::RequestStop() noexcept {
    uint64_t none = 0;
    stopAskedAt_.compare_exchange_strong(none, std::max<uint64_t>(1, ::GetTickCount64()));
    ::SetEvent(stopping_.get());
}

void StopSignal::RequestShutdown() noexcept {
    RequestStop();
    ::SetEvent(shutdown_.get());
}

bool StopSignal::Stopping() const noexcept { return stopAskedAt_.load() != 0; }

bool StopSignal::ShuttingDown() const noexcept {
    return ::WaitForSingleObject(shutdown_.get(), 0) == WAIT_OBJECT_0;
}

uint32_t StopSignal::WaitBudgetMs() const noexcept {
    uint64_t askedAt = stopAskedAt_.load();
    if (askedAt == 0) return INFINITE;
    if (ShuttingDown()) return 0;
    uint64_t spent = ::GetTickCount64() - askedAt;
    return spent >= budgetMs_ ? 0 : static_cast<uint32_t>(budgetMs_ - spent);
}

bool StopSignal::MayWait() const noexcept { return WaitBudgetMs() != 0; }

bool StopSignal::ResponseWait(uint32_t ms) const {
    const uint64_t start = ::GetTickCount64();
    for (;;) {
        const uint64_t elapsed = ::GetTickCount64() - start;
        if (elapsed >= ms) return true;
        const uint32_t left = static_cast<uint32_t>(ms - elapsed);
        const uint32_t budget = WaitBudgetMs();
        if (budget == 0) return false;
        if (budget == INFINITE) {
            // No stop yet: a shutdown ends the wait, a stop starts the budget.
            HANDLE events[] = {shutdown_.get(), stopping_.get()};
            DWORD result = ::WaitForMultipleObjects(2, events, FALSE, left);
            if (result == WAIT_TIMEOUT) return true;
            if (result != WAIT_OBJECT_0 + 1) return false;
            continue;
        }
        if (budget < left) {
            ::WaitForSingleObject(shutdown_.get(), budget);
            return false;
        }
        return ::WaitForSingleObject(shutdown_.get(), left) == WAIT_TIMEOUT;
    }
}

const StopSignal& StopSignal::Never() {
    static const StopSignal never;
    return never;
}

}  // namespace tendro
