#include "app/failure_response.h"

namespace tendro {

ServiceControl& ServiceForEntry(ServiceObjects& services, const std::wstring& name,
                                ServiceControl& placeholder) {
    auto found = services.find(name);
    if (found != services.end()) return found->second;
    placeholder = ServiceControl(SharedScHandle(), SharedToken(), name, 1);
    return placeholder;
}

void RespondToFailure(const CmdLineParser& settings, ServiceObjects& services,
                      ServiceControl& failed) {
    const bool startAgain = !settings.Has(CmdLineParser::StopOnly);
    if (settings.Has(CmdLineParser::RestartFailedOnly)) {
        failed.Stop();
        if (startAgain) failed.Start();
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
        ServiceForEntry(services, *entry, placeholder).Stop();
    if (!startAgain) return;
    for (auto entry = first; entry != group.end(); ++entry)
        ServiceForEntry(services, *entry, placeholder).Start();
}

}  // namespace tendro
