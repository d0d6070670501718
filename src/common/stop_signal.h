// The run's stop signal. A console run has one that nobody raises, so its waits are plain
// sleeps; as a service, the control handler raises it for a stop or for the system's shutdown.
//
// - A stop ends the pause between passes and any probe at once. A failure response that is
//   running is finished, so that the group is never left half restarted, but its waits (the
//   stop wait, the start wait, kill-hung's wait) share a budget of StopBudgetMs from the
//   moment the stop was asked for; past it they give up.
// - A shutdown ends every wait at once, and nothing more is stopped or started.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "common/handle.h"

namespace tendro {

// How long the waits of a response may still take, in all, once a stop is asked for.
constexpr uint32_t StopBudgetMs = 30000;

class StopSignal {
public:
    // `budgetMs`: the stop budget of this run (tests give a shorter one).
    explicit StopSignal(uint32_t budgetMs = StopBudgetMs);
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Safe from any thread (the control handler runs on the dispatcher's).
    void RequestStop() noexcept;
    void RequestShutdown() noexcept;

    // A stop or a shutdown has been asked for.
    bool Stopping() const noexcept;
    bool ShuttingDown() const noexcept;
    // Set (manual reset) once a stop or a shutdown is asked for: for waits of one's own.
    HANDLE Event() const noexcept { return stopping_.get(); }
    // Set once a shutdown is asked for.
    HANDLE ShutdownEvent() const noexcept { return shutdown_.get(); }

    // A wait inside a failure response: sleeps `ms`, ending early at a shutdown or when the
    // stop budget is spent. True when the whole time was slept.
    bool ResponseWait(uint32_t ms) const;
    // Whether a response may go on waiting: false at a shutdown or once the budget is spent.
    bool MayWait() const noexcept;
    // Milliseconds a response wait may still take: INFINITE while no stop is asked for.
    uint32_t WaitBudgetMs() const noexcept;

    // The signal of a run that is never stopped from within (tests, console helpers).
    static const StopSignal& Never();

private:
    Handle stopping_;
    Handle shutdown_;
    uint32_t budgetMs_;
    std::atomic<uint64_t> stopAskedAt_{0};  // GetTickCount64 of the first stop, 0 for none
};

}  // namespace tendro
