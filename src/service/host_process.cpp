#include "service/host_process.h"

// Placeholder until the host process ids land.
namespace tendro {

std::wstring ProcessStateWord(uint32_t) { return L""; }
int32_t GetProcessPid(ServiceControl& service) { return service.GetServicePid(); }
HostProcessInfo GetHostProcessInfo(ServiceControl&) { return {}; }
Handle OpenMonitoredProcess(ServiceControl&) { return Handle(); }

}  // namespace tendro
