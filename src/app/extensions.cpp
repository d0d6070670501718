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

void Extensions::PassStarting(const CmdLineParser& settings) {
    for (auto& module : modules_) module->PassStarting(settings);
}

bool Extensions::DownWhileRunning(ServiceControl& service, bool firstPass) {
    bool down = false;
    for (auto& module : modules_) down = module->DownWhileRunning(service, firstPass) || down;
    return down;
}

void Extensions::ServiceChecked(ServiceControl& service, uint32_t state, bool isDown) {
    for (auto& module : modules_) module->ServiceChecked(service, state, isDown);
}

void Extensions::ProcessMeasured(ServiceControl& service, const ProcessReadings& readings) {
    for (auto& module : modules_) module->ProcessMeasured(service, readings);
}

void Extensions::ServiceStopping(ServiceControl& service) {
    for (auto& module : modules_) module->ServiceStopping(service);
}

void Extensions::ServiceStarting(ServiceControl& service) {
    for (auto& module : modules_) module->ServiceStarting(service);
}

void Extensions::StartFailed(ServiceControl& service) {
    for (auto& module : modules_) module->StartFailed(service);
}

void Extensions::ProcessKilled(ServiceControl& service, KillReason reason) {
    for (auto& module : modules_) module->ProcessKilled(service, reason);
}

bool Extensions::HoldFailureResponse(ServiceControl& failed) {
    for (auto& module : modules_)
        if (module->HoldFailureResponse(failed)) return true;
    return false;
}

void Extensions::FailureResponded(const CmdLineParser& settings, ServiceControl& failed) {
    for (auto& module : modules_) module->FailureResponded(settings, failed);
}

bool Extensions::StopFailed(ServiceControl& service, DWORD error) {
    bool terminated = false;
    for (auto& module : modules_) terminated = module->StopFailed(service, error) || terminated;
    if (terminated) ProcessKilled(service, KillReason::Hung);
    return terminated;
}

void Extensions::PassEnded(const CmdLineParser& settings, ServiceObjects& services) {
    for (auto& module : modules_) module->PassEnded(settings, services);
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
}

int Extensions::ProgramEnding(int exitCode) {
    for (auto& module : modules_) exitCode = module->ProgramEnding(exitCode);
    return exitCode;
}

void Extensions::ReportSystemError(const std::system_error& error) {
    for (auto& module : modules_) module->ReportSystemError(error);
}

}  // namespace tendro
