#include "policy/policy_clock.h"

#include <windows.h>

namespace tendro {

namespace {

class SystemClock final : public PolicyClock {
public:
    uint64_t NowMs() override { return ::GetTickCount64(); }
    void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

PolicyClock& SystemPolicyClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace tendro
