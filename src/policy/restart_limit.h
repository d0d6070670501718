// --restart-limit: restarts of a service that keeps failing are held.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"
#include "common/text.h"
#include "policy/policy_clock.h"

namespace tendro {

// Counts the failure responses that each service causes. A response due for a service that
// has caused N of them within the last SECONDS is held for SECONDS, and so is every response
// due while the hold lasts. After a hold the service is on probation until it is forgiven:
// within SECONDS of the hold's end one response runs (the try) and the next is held at once,
// for twice the last hold (doubling stops at one hour, and never shortens a hold); later the
// count of N applies again and a hold lasts as long as the last. A service that a pass finds
// up SECONDS after a hold has ended (and that no pass found down since) is forgiven: its
// count and hold length start afresh.
class RestartLimitPolicy final : public MonitorHooks {
public:
    RestartLimitPolicy(RestartLimit limit, PolicyClock& clock);

    // Reads the services found (up or not) and the responses that ran.
    void Observe(const MonitorEvent& event) override;
    std::optional<RestartHold> HoldFailureResponse(ServiceControl& failed) override;
    // Counts and holds of the names that stay are kept (the same clock runs on).
    void CarryHistory(MonitorHooks& previous, const ServiceList& group) override;

    // Whole seconds left of the service's hold, 0 when its restarts are not held.
    uint64_t HoldSecondsLeft(const std::wstring& name) const;

private:
    struct Record {
        std::deque<uint64_t> responses;     // times of counted responses, oldest first
        std::optional<uint64_t> pendingDue;  // a response let through, not yet run
        bool holding = false;
        uint64_t holdEnd = 0;                // end of the current or last hold
        uint64_t holdLength = 0;             // of the last hold; 0: none since a fresh start
        std::optional<uint64_t> upSince;     // the first pass that found it up, since a down
    };

    void DropOld(Record& record, uint64_t now) const;
    void Found(const ServiceFound& found);
    void Responded(const std::wstring& name);

    RestartLimit limit_;
    uint64_t windowMs_;
    PolicyClock& clock_;
    std::map<std::wstring, Record, NoCaseLess> records_;
};

// The extension when its option is given, otherwise nothing.
std::unique_ptr<RestartLimitPolicy> MakeRestartLimit(const LongOptions& options);

}  // namespace tendro
