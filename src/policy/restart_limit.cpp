#include "policy/restart_limit.h"

#include <algorithm>

#include "log/log.h"

namespace tendro {

namespace {

constexpr uint64_t MaxDoubledHoldMs = 3600ull * 1000;

int32_t WholeSeconds(uint64_t milliseconds) {
    return static_cast<int32_t>(std::min<uint64_t>((milliseconds + 999) / 1000, INT32_MAX));
}

}  // namespace

RestartLimitPolicy::RestartLimitPolicy(RestartLimit limit, PolicyClock& clock)
    : limit_(limit), windowMs_(static_cast<uint64_t>(limit.seconds) * 1000), clock_(clock) {}

void RestartLimitPolicy::DropOld(Record& record, uint64_t now) const {
    while (!record.responses.empty() && now - record.responses.front() >= windowMs_)
        record.responses.pop_front();
}

void RestartLimitPolicy::Observe(const MonitorEvent& event) {
    if (const auto* found = std::get_if<ServiceFound>(&event))
        Found(*found);
    else if (const auto* response = std::get_if<ResponseEnded>(&event))
        Responded(response->failed.name);
}

void RestartLimitPolicy::Found(const ServiceFound& service) {
    auto found = records_.find(service.service.name);
    if (found == records_.end()) return;
    Record& record = found->second;
    // A state that could not be read proves nothing: the service counts as not seen up.
    if (!service.Up()) {
        record.upSince.reset();
        return;
    }
    const uint64_t now = clock_.NowMs();
    if (!record.upSince) record.upSince = now;
    if (record.holdLength == 0 || now < record.holdEnd) return;
    record.holding = false;
    if (now - std::max(*record.upSince, record.holdEnd) >= windowMs_) {
        record.responses.clear();
        record.holdLength = 0;
    }
}

std::optional<RestartHold> RestartLimitPolicy::HoldFailureResponse(ServiceControl& failed) {
    const uint64_t now = clock_.NowMs();
    Record& record = records_[failed.name];
    record.upSince.reset();
    if (record.holding) {
        if (now < record.holdEnd) {
            const int32_t left = WholeSeconds(record.holdEnd - now);
            WriteLog(LogError, FormatText(L"Restarts of service %s are held for %d more seconds",
                                          failed.name.c_str(), left));
            return RestartHold{false, static_cast<int32_t>(record.responses.size()),
                               limit_.seconds, left};
        }
        record.holding = false;
    }
    DropOld(record, now);
    // On probation (a hold has ended, no forgiveness since): within SECONDS of the hold's end
    // one response runs, the try; the next one is held at once. Later the count of N applies.
    const bool probation = record.holdLength != 0 && now - record.holdEnd < windowMs_;
    bool hold = record.responses.size() >= static_cast<size_t>(limit_.failures);
    if (probation) {
        const bool tried = !record.responses.empty() && record.responses.back() >= record.holdEnd;
        hold = tried;
    }
    if (hold) {
        uint64_t length = windowMs_;
        if (record.holdLength != 0) {
            length = record.holdLength;
            if (probation) length = std::max(length, std::min(2 * length, MaxDoubledHoldMs));
        }
        record.holding = true;
        record.holdLength = length;
        record.holdEnd = now + length;
        WriteLog(LogError,
                 FormatText(L"Service %s failed %d times within %d seconds; restarts held for %d seconds",
                            failed.name.c_str(), static_cast<int>(record.responses.size()),
                            static_cast<int>(limit_.seconds), WholeSeconds(length)));
        return RestartHold{true, static_cast<int32_t>(record.responses.size()), limit_.seconds,
                           WholeSeconds(length)};
    }
    record.pendingDue = now;
    return std::nullopt;
}

void RestartLimitPolicy::Responded(const std::wstring& name) {
    Record& record = records_[name];
    record.responses.push_back(record.pendingDue.value_or(clock_.NowMs()));
    record.pendingDue.reset();
}

uint64_t RestartLimitPolicy::HoldSecondsLeft(const std::wstring& name) const {
    auto found = records_.find(name);
    if (found == records_.end() || !found->second.holding) return 0;
    const uint64_t now = clock_.NowMs();
    return now < found->second.holdEnd ? WholeSeconds(found->second.holdEnd - now) : 0;
}

void RestartLimitPolicy::CarryHistory(MonitorHooks& previous, const ServiceList& group) {
    auto* before = dynamic_cast<RestartLimitPolicy*>(&previous);
    if (!before) return;
    for (const std::wstring& name : group)
        if (auto found = before->records_.find(name); found != before->records_.end())
            records_[name] = found->second;
}

std::unique_ptr<RestartLimitPolicy> MakeRestartLimit(const LongOptions& options) {
    if (!options.restartLimit) return nullptr;
    return std::make_unique<RestartLimitPolicy>(*options.restartLimit, SystemPolicyClock());
}

}  // namespace tendro
