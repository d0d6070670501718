#include "app/extensions.h"

#include "checkmode/check_mode.h"
#include "metrics/metrics_file.h"
#include "policy/kill_hung.h"
#include "policy/restart_limit.h"
#include "probe/probe.h"
#include "watch/watch.h"

namespace tendro {

Extensions::Extensions(const LongOptions& options, CheckCapture* checkCapture,
                       const StopSignal& stop) {
    // The order is the order in which every hook point visits them: the check mode first,
    // so that it sees the start-up before anything else logs; the watch last, as it adds
    // to the pause.
    Add(MakeCheckMode(options, checkCapture));
    Add(MakeProbes(options, stop));
    Add(MakeKillHung(options, stop));
    std::unique_ptr<RestartLimitPolicy> restartLimit = MakeRestartLimit(options);
    // The metrics show what is left of a hold.
    HoldSecondsReader holds;
    if (restartLimit)
        holds = [policy = restartLimit.get()](const std::wstring& name) {
            return policy->HoldSecondsLeft(name);
        };
    Add(std::move(restartLimit));
    Add(MakeMetricsFile(options, std::move(holds), [this] { return Paused(); }));
    Add(MakeWatch(options));
}

void Extensions::Add(std::unique_ptr<MonitorHooks> extension) {
    if (!extension) return;
    modules_.push_back(extension.get());
    owned_.push_back(std::move(extension));
}

void Extensions::AddShared(MonitorHooks& hooks) { modules_.push_back(&hooks); }

std::optional<int> Extensions::OptionsRead(const CmdLineParser& settings) {
    for (auto& module : modules_)
        if (auto code = module->OptionsRead(settings)) return code;
    return std::nullopt;
}

std::optional<std::wstring> Extensions::BeforeMonitoring(const CmdLineParser& settings,
                                                         ServiceObjects& services) {
    for (auto& module : modules_)
        if (auto refusal = module->BeforeMonitoring(settings, services)) return refusal;
    return std::nullopt;
}

bool Extensions::DownWhileRunning(ServiceControl& service, bool firstPass) {
    bool down = false;
    for (auto& module : modules_) down = module->DownWhileRunning(service, firstPass) || down;
    return down;
}

std::optional<RestartHold> Extensions::HoldFailureResponse(ServiceControl& failed) {
    for (auto& module : modules_)
        if (auto hold = module->HoldFailureResponse(failed)) return hold;
    return std::nullopt;
}

bool Extensions::StopFailed(ServiceControl& service, DWORD error) {
    bool terminated = false;
    for (auto& module : modules_) terminated = module->StopFailed(service, error) || terminated;
    return terminated;
}

void Extensions::PauseStarting(PauseWaits& waits) {
    for (auto& module : modules_) module->PauseStarting(waits);
}

void Extensions::PauseEnded(const std::wstring& wokenBy) {
    for (auto& module : modules_) module->PauseEnded(wokenBy);
}

bool Extensions::ReplaceRun() {
    bool replace = false;
    for (auto& module : modules_) replace = module->ReplaceRun() || replace;
    return replace;
}

bool Extensions::Paused() {
    for (auto& module : modules_)
        if (module->Paused()) return true;
    return false;
}

void Extensions::CarryHistory(MonitorHooks& previous, const ServiceList& group) {
    auto* before = dynamic_cast<Extensions*>(&previous);
    if (!before) return;
    for (auto& module : modules_)
        for (auto& old : before->modules_)
            if (old != module) module->CarryHistory(*old, group);
    // An outage under way goes on in the new run.
    for (const std::wstring& name : group)
        if (auto outage = before->outages_.find(name); outage != before->outages_.end())
            outages_.insert(*outage);
}

void Extensions::BuildsReplacement() {
    for (auto& module : modules_) module->BuildsReplacement();
}

void Extensions::RunReplaced() {
    for (auto& module : modules_) module->RunReplaced();
}

void Extensions::Observe(const MonitorEvent& event) {
    for (auto& module : modules_) module->Observe(event);
    const auto* found = std::get_if<ServiceFound>(&event);
    if (!found) return;
    // An outage lasts from the first pass that finds the service not up to the first that
    // finds it up again, however many passes lie between.
    auto outage = outages_.find(found->service.name);
    if (!found->Up() && outage == outages_.end()) {
        outages_.emplace(found->service.name, ::GetTickCount64());
        Observe(OutageBegan{found->service, found->cause});
    } else if (found->Up() && outage != outages_.end()) {
        const uint64_t seconds = (::GetTickCount64() - outage->second) / 1000;
        outages_.erase(outage);
        Observe(OutageEnded{found->service, seconds});
    }
}

int Extensions::ProgramEnding(int exitCode) {
    for (auto& module : modules_) exitCode = module->ProgramEnding(exitCode);
    return exitCode;
}

void Extensions::ReportSystemError(const std::system_error& error) {
    for (auto& module : modules_) module->ReportSystemError(error);
}

}  // namespace tendro
