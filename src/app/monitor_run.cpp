#include "app/monitor_run.h"

#include "app/startup.h"
#include "common/text.h"
#include "eventlog/event_log.h"
#include "hostproduct/host_product_info.h"
#include "log/log.h"

namespace tendro {

std::optional<int> BuildRun(MonitorRun& run, const RunBase& base, int argc, wchar_t** argv,
                            std::optional<ArgumentCopies>& original) {
    run.extensions = std::make_unique<Extensions>(run.longOptions, base.checkCapture, base.stop);
    if (base.shared) run.extensions->AddShared(*base.shared);
    if (base.eventLog) run.extensions->Add(base.eventLog->MakeReader());
    if (run.replaces) run.extensions->BuildsReplacement();
    CmdLineParser& settings = run.settings;
    if (auto code = run.extensions->OptionsRead(settings)) return code;
    if (Verbosity >= LogInit) {
        WriteLog(LogInit, FormatText(L"Corvanta Tendro: Service Monitoring Utility v2.6.0 (%d)",
                                     static_cast<int>(::GetCurrentProcessId())));
        WriteLog(LogInit, L"CLI: " + LoggedCommandLine(original ? original->items()
                                                                : std::vector<std::wstring>(),
                                                       argv, argc));
    }
    original.reset();

    bool hostProduct = DetectHostProduct();
    EnableDebugPrivilege();
    if (hostProduct && Verbosity >= LogInit)
        WriteLog(LogInit, HostProductInfo.productName + L" detected");
    settings.PrintSettings();
    if (hostProduct) settings.LoadCVServices();

    if (!settings.CheckSpecifiedServices(base.localNames) ||
        !settings.ConnectServiceManagers(run.connections) ||
        !settings.ValidateServices(run.connections, run.strikeCounts, run.services))
        return 1;
    if (settings.monitoredServices.empty()) {
        WriteLog(LogError, L"At least one valid service needs to be specified!");
        return 0;
    }
    if (auto refused = run.extensions->BeforeMonitoring(settings, run.services)) {
        WriteLog(LogError, *refused);
        return 1;
    }
    return std::nullopt;
}

void CarryHistory(MonitorRun& previous, MonitorRun& next) {
    for (auto& [name, count] : next.strikeCounts)
        if (auto found = previous.strikeCounts.find(name); found != previous.strikeCounts.end())
            count = found->second;
    next.extensions->CarryHistory(*previous.extensions, next.settings.monitoredServices);
}

}  // namespace tendro
