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
    explicit Probes(const LongOptions& options)
        : given_(options.probes),
          limitMs_(options.probeTimeoutMs),
          failuresToDown_(options.probeFailures) {}

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
            probes_[*name] = Probe{option.target, 0};
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
                : RunProbe(probe.target, limitMs_);
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

    void ServiceChecked(ServiceControl& service, uint32_t state, bool isDown) override {
        (void)state;
        // A service found down without its probe breaks the run of failed probes.
        if (isDown && !probed_) {
            auto found = probes_.find(service.name);
            if (found != probes_.end()) found->second.failures = 0;
        }
        probed_ = nullptr;
    }

private:
    struct Probe {
        ProbeTarget target;
        int32_t failures = 0;  // passes in a row whose probe failed
    };

    // The name of the group that a --probe name means; nothing when it means none. With -a
    // and -d a service of the host product counts too, as a re-read may bring it in.
    static std::optional<std::wstring> GroupName(const CmdLineParser& settings,
                                                 const LocalMachineNames& localNames,
                                                 const std::wstring& given) {
        std::wstring name = given;
        ServiceNameParts parts = SplitServiceName(given);
        if (!parts.machine.empty() && localNames.count(parts.machine)) name = parts.shortName;
        auto same = [&](const std::wstring& entry) { return EqualsNoCase(entry, name); };
        const ServiceList& group = settings.monitoredServices;
        if (auto it = std::find_if(group.begin(), group.end(), same); it != group.end())
            return *it;
        if (settings.Has(CmdLineParser::MonitorAll) && settings.Has(CmdLineParser::RereadList)) {
            const ServiceList& host = settings.hostServices;
            const ServiceList& excluded = settings.excludedServices;
            for (const std::wstring& entry : host)
                if (same(entry) &&
                    std::find(excluded.begin(), excluded.end(), entry) == excluded.end())
                    return entry;
        }
        return std::nullopt;
    }

    std::vector<ProbeOption> given_;
    int32_t limitMs_;
    int32_t failuresToDown_;
    WinsockSession winsock_;
    // Group name (compared as the service objects compare) to its probe. A name that leaves
    // the group on a re-read keeps its probe.
    std::map<std::wstring, Probe, NoCaseLess> probes_;
    Probe* probed_ = nullptr;  // the probe run in the current service's check
};

}  // namespace

std::unique_ptr<MonitorHooks> MakeProbes(const LongOptions& options) {
    if (options.probes.empty()) return nullptr;
    return std::make_unique<Probes>(options);
}

}  // namespace tendro
