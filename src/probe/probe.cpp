#include "probe/probe.h"

#include <algorithm>
#include <map>

#include "app/startup.h"
#include "common/text.h"
#include "log/log.h"
#include "probe/probe_check.h"

namespace tendro {

namespace {

class Probes final : public MonitorHooks {
public:
    Probes(const LongOptions& options, const StopSignal& stop)
        : given_(options.probes),
          limitMs_(options.probeTimeoutMs),
          failuresToDown_(options.probeFailures),
          stop_(stop) {}

    std::optional<int> OptionsRead(const CmdLineParser& settings) override {
        if (failuresToDown_ > 1 && settings.Has(CmdLineParser::RunOnce)) {
            std::wstring n = std::to_wstring(failuresToDown_);
            WriteLog(LogError, L"Invalid value for option --probe-failures: \"" + n +
                                   L"\" (-o makes one pass: a probe that must fail in " + n +
                                   L" passes in a row never does)");
            return 1;
        }
        return std::nullopt;
    }

    std::optional<std::wstring> BeforeMonitoring(const CmdLineParser& settings,
                                                 ServiceObjects& services) override {
        (void)services;
        LocalMachineNames localNames = BuildLocalMachineNames();
        for (const ProbeOption& option : given_) {
            std::optional<std::wstring> name = GroupName(settings, localNames, option.service);
            if (!name)
                return L"Invalid value for option --probe: \"" + option.service + L"=" +
                       option.url + L"\" (" + option.service + L" is not a monitored service)";
            // Two forms of one name: the later replaces the earlier.
            probes_[*name] = Probe{option.target, 0, {}};
        }
        return std::nullopt;
    }

    bool DownWhileRunning(ServiceControl& service, bool firstPass) override {
        auto found = probes_.find(service.name);
        if (found == probes_.end()) return false;
        Probe& probe = found->second;
        probed_ = &probe;

        std::optional<std::wstring> failure =
            winsock_.StartError() != 0 && probe.target.scheme == ProbeTarget::Tcp
                ? std::optional<std::wstring>(L"Winsock not started: error " +
                                              std::to_wstring(winsock_.StartError()))
                : RunProbe(probe.target, limitMs_, probe.slot, stop_);
        if (stop_.Stopping()) {
            // The run is ending: an unfinished probe says nothing about the service.
            WriteLogFormat(LogInfo, L" Probe: %s", std::wstring(kProbeStopped));
            return false;
        }
        if (!failure) {
            WriteLogFormat(LogInfo, L" Probe: %s", std::wstring(L"passed"));
            probe.failures = 0;
            return false;
        }
        WriteLogFormat(LogInfo, L" Probe: failed (%s)", *failure);
        uint32_t level = firstPass ? LogInit : LogError;
        if (level <= Verbosity)
            WriteLog(level, FormatText(L"Probe of service %s failed: %s", service.name.c_str(),
                                       failure->c_str()));
        if (++probe.failures < failuresToDown_) return false;
        // Down: the failure response gives the service a fresh start and a fresh run.
        probe.failures = 0;
        return true;
    }

    void Observe(const MonitorEvent& event) override {
        const auto* checked = std::get_if<ServiceFound>(&event);
        if (!checked) return;
        // A service found down without its probe breaks the run of failed probes.
        if (checked->down && !probed_) {
            auto found = probes_.find(checked->service.name);
            if (found != probes_.end()) found->second.failures = 0;
        }
        probed_ = nullptr;
    }

    // The runs of failed probes of the names that stay go on.
    void CarryHistory(MonitorHooks& previous, const ServiceList& group) override {
        auto* before = dynamic_cast<Probes*>(&previous);
        if (!before) return;
        for (const std::wstring& name : group) {
            auto now = probes_.find(name);
            auto then = before->probes_.find(name);
            if (now != probes_.end() && then != before->probes_.end())
                now->second.failures = then->second.failures;
        }
    }

private:
    struct Probe {
        ProbeTarget target;
        int32_t failures = 0;  // passes in a row whose probe failed
        ProbeSlot slot;
    };

    // The name of the group that a --probe name means, in the form the group uses; nothing
    // when it means none. A name given with -s or listed by the host product counts whether
    // or not the service is in the group now: the group may lack it (-k, a disabled service
    // with -a, an -e name), and a re-read of -a -d may bring it in. Its probe runs while it is
    // in the group.
    static std::optional<std::wstring> GroupName(const CmdLineParser& settings,
                                                 const LocalMachineNames& localNames,
                                                 const std::wstring& given) {
        std::wstring name = given;
        ServiceNameParts parts = SplitServiceName(given);
        if (!parts.machine.empty() && localNames.count(parts.machine)) name = parts.shortName;
        auto same = [&](const std::wstring& entry) { return EqualsNoCase(entry, name); };
        for (const ServiceList* names : {&settings.specifiedServices, &settings.hostServices})
            if (auto it = std::find_if(names->begin(), names->end(), same); it != names->end())
                return *it;
        return std::nullopt;
    }

    std::vector<ProbeOption> given_;
    int32_t limitMs_;
    int32_t failuresToDown_;
    const StopSignal& stop_;
    WinsockSession winsock_;
    // Group name (compared as the service objects compare) to its probe. A name that leaves
    // the group on a re-read keeps its probe.
    std::map<std::wstring, Probe, NoCaseLess> probes_;
    Probe* probed_ = nullptr;  // the probe run in the current service's check
};

}  // namespace

std::unique_ptr<MonitorHooks> MakeProbes(const LongOptions& options, const StopSignal& stop) {
    if (options.probes.empty()) return nullptr;
    return std::make_unique<Probes>(options, stop);
}

}  // namespace tendro
