#include <algorithm>

#include "cmdline/cmdline_parser.h"
#include "common/error.h"
#include "log/log.h"

namespace tendro {

namespace {

// dwStartType from QueryServiceConfigW under the service's token; false when it was not read.
bool ReadStartType(const ServiceControl& service, DWORD& startType) {
    if (!service.scm || !service.handle) return false;
    ImpersonationScope impersonation(service.token.get());
    DWORD needed = 0;
    if (::QueryServiceConfigW(service.handle.get(), nullptr, 0, &needed) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    LocalMemory block(::LocalAlloc(LMEM_FIXED, needed));
    if (!block) return false;
    auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(block.get());
    if (!::QueryServiceConfigW(service.handle.get(), config, needed, &needed)) return false;
    startType = config->dwStartType;
    return true;
}

void LogIfVerbose(const wchar_t* text) {
    if (Verbosity >= LogInit) WriteLog(LogInit, text);
}

bool HasStartType(const ServiceControl& service, DWORD wanted) {
    DWORD startType = 0;
    return ReadStartType(service, startType) && startType == wanted;
}

}  // namespace

int32_t CmdLineParser::ValidateServices(Connections& connections, StrikeCounts& strikeCounts,
                                        ServiceObjects& services) {
    monitoredServices.clear();
    services.clear();
    AssembleMonitoredServices();
    if (monitoredServices.empty()) return 1;

    for (const auto& name : monitoredServices) strikeCounts.try_emplace(name, 0);

    for (auto entry = monitoredServices.begin(); entry != monitoredServices.end();) {
        auto next = std::next(entry);
        const std::wstring& name = *entry;
        ServiceNameParts parts = SplitServiceName(name);
        WriteLogFormat(LogInit, L"Validating service: %s", name);

        bool hostService =
            parts.machine.empty() &&
            std::find(hostServices.begin(), hostServices.end(), parts.shortName) !=
                hostServices.end();
        ServiceManagerConnection connection;
        auto found = connections.find(parts.machine);
        if (found != connections.end()) connection = found->second;
        ServiceControl service(std::move(connection.scm), std::move(connection.token), name,
                               hostService ? 0 : 1);
        // A machine without a connection (never connected) cannot open anything.
        if (!service.handle && service.openError == 0) service.openError = ERROR_INVALID_HANDLE;

        if (service.openError != 0) {
            WriteLog(LogError, FormatText(L"\tCannot connect to service %s", name.c_str()));
            WriteLog(LogError, L"\t" + WindowsErrorText(service.openError));
            return 0;
        }

        std::system_error definition = service.LoadDefinition();
        if (definition.code().value() != 0) {
            LogIfVerbose(L"\n\tCan't read service definition. Ignoring!");
            WriteConsoleText(STD_ERROR_HANDLE, L"\t" + DescribeSystemError(definition) + L"\n");
            monitoredServices.erase(entry);
            entry = next;
            continue;
        }

        if (Has(SkipManualStopped) && HasStartType(service, SERVICE_DEMAND_START) &&
            service.GetStatus() == SERVICE_STOPPED) {
            LogIfVerbose(L"\tService is manual start and stopped. Ignoring!");
            monitoredServices.erase(entry);
            entry = next;
            continue;
        }

        if (HasStartType(service, SERVICE_DISABLED)) {
            if (!Has(MonitorAll)) {
                WriteLog(LogError, FormatText(L"\tDisabled service %s is specified!", name.c_str()));
                PrintUsage();
                return 0;
            }
            LogIfVerbose(L"\tService is disabled. Ignoring!");
            monitoredServices.erase(entry);
            entry = next;
            continue;
        }

        services.try_emplace(name, std::move(service));
        entry = next;
    }
    return 1;
}

}  // namespace tendro
