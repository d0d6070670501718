#include "app/failure_response.h"

namespace tendro {

ServiceControl& ServiceForEntry(ServiceObjects& services, const std::wstring& name,
                                ServiceControl& placeholder) {
    auto found = services.find(name);
    if (found != services.end()) return found->second;
    placeholder = ServiceControl(SharedScHandle(), SharedToken(), name, 1);
    return placeholder;
}

namespace {

void StopForResponse(ServiceControl& service, MonitorHooks& hooks) {
    hooks.ServiceStopping(service);
    if (service.Stop() == 0) hooks.StopFailed(service);
}

void StartForResponse(ServiceControl& service, MonitorHooks& hooks) {
    hooks.ServiceStarting(service);
    if (service.Start() != 1) hooks.StartFailed(service);
}

void RespondWithin(const CmdLineParser& settings, ServiceObjects& services,
                   ServiceControl& failed, MonitorHooks& hooks) {
    const bool startAgain = !settings.Has(CmdLineParser::StopOnly);
    if (settings.Has(CmdLineParser::RestartFailedOnly)) {
        StopForResponse(failed, hooks);
        if (startAgain) StartForResponse(failed, hooks);
        return;
    }

    ServiceControl placeholder;
    const ServiceList& group = settings.monitoredServices;
    auto first = group.begin();
    if (settings.Has(CmdLineParser::RestartFromFailure)) {
        // The last entry equal to the failed service's name, compared with case.
        for (auto entry = group.begin(); entry != group.end(); ++entry)
            if (*entry == failed.name) first = entry;
    }
    for (auto entry = first; entry != group.end(); ++entry)
        StopForResponse(ServiceForEntry(services, *entry, placeholder), hooks);
    if (!startAgain) return;
    for (auto entry = first; entry != group.end(); ++entry)
        StartForResponse(ServiceForEntry(services, *entry, placeholder), hooks);
}

}  // namespace

void RespondToFailure(const CmdLineParser& settings, ServiceObjects& services,
                      ServiceControl& failed, MonitorHooks& hooks) {
    if (hooks.HoldFailureResponse(failed)) return;
    RespondWithin(settings, services, failed, hooks);
    hooks.FailureResponded(settings, failed);
}

}  // namespace tendro
