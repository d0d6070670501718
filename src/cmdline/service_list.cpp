#include <algorithm>
#include <set>

#include "cmdline/cmdline_parser.h"
#include "log/log.h"

namespace tendro {

bool CmdLineParser::CheckSpecifiedServices(const LocalMachineNames& localNames) {
    // A name without a sound split would reach the wrong service or machine.
    for (const auto& name : specifiedServices) {
        if (!IsSoundServiceName(name)) {
            WriteLog(LogError, FormatText(L"Service name %s is not valid!", name.c_str()));
            return false;
        }
    }

    std::set<std::wstring> localServerWords;  // as written, exact order
    for (auto& name : specifiedServices) {
        ServiceNameParts parts = SplitServiceName(name);
        if (parts.machine.empty() || localNames.count(parts.machine) == 0) continue;
        localServerWords.insert(parts.machine);
        name = std::move(parts.shortName);
    }
    if (!localServerWords.empty() && Verbosity >= LogInit) {
        WriteLog(LogInit,
                 L"The following specified servers are actually referring to the local machine:");
        for (const auto& word : localServerWords) WriteLog(LogInit, L"\t" + word);
    }

    std::set<std::wstring, NoCaseLess> seen;
    for (const auto& name : specifiedServices) {
        if (!seen.insert(name).second) {
            WriteLog(LogError, FormatText(L"Service %s has been already specified!", name.c_str()));
            return false;
        }
    }
    return true;
}

void CmdLineParser::AssembleMonitoredServices() {
    monitoredServices.assign(specifiedServices.begin(), specifiedServices.end());
    if (!Has(MonitorAll)) return;
    for (const auto& name : hostServices) {
        if (std::find(excludedServices.begin(), excludedServices.end(), name) !=
            excludedServices.end())
            WriteLogFormat(LogInit, L"Excluded service: %s", name);
        else
            monitoredServices.push_back(name);
    }
}

}  // namespace tendro
