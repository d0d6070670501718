// The time of the restart policies: a monotonic millisecond clock and a sleep, behind a seam
// so that tests can move time themselves.
#pragma once

#include <cstdint>

namespace tendro {

class PolicyClock {
public:
    virtual ~PolicyClock() = default;
    // Milliseconds of a monotonic clock (GetTickCount64).
    virtual uint64_t NowMs() = 0;
    virtual void Sleep(uint32_t milliseconds) = 0;
};

// The system's clock.
PolicyClock& SystemPolicyClock();

}  // namespace tendro
