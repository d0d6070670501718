#include "app/monitor.h"

#include "log/log.h"

// Placeholder until the monitor cycle lands.
namespace tendro {

void RunMonitorCycle(CmdLineParser& settings, Connections&, StrikeCounts&, ServiceObjects&) {
    if (settings.Has(CmdLineParser::RunOnce)) WriteLogFormat(LogInit, L"%s", std::wstring(L"Tendro Stopped"));
}

}  // namespace tendro
