// The process that the host product runs for one of its services.
#pragma once

#include <cstdint>
#include <string>

#include "common/handle.h"
#include "service/service_control.h"

namespace tendro {

struct HostProcessInfo {
    uint32_t state = 0;  // "ProcessState"; 2 when unknown, 0 for a plain service
    uint32_t pid = 0;    // "ProcessID"; 0 for none
};

// A process state in which the service counts as up: 1 (running) or 3 (scheduled).
inline bool IsHostProcessUp(uint32_t state) { return state == 1 || state == 3; }

// Word of a process state: 1 "Running", 3 "Scheduled", 4 "Failed", 5 "Frozen",
// 6 "Job Running", any other the empty word.
std::wstring ProcessStateWord(uint32_t state);

// The monitored process: the service process of a plain service, the verified recorded child
// of a host-product service; -1 when there is none.
int32_t GetProcessPid(ServiceControl& service);
HostProcessInfo GetHostProcessInfo(ServiceControl& service);
// The monitored process opened for query and memory reads; empty on failure.
Handle OpenMonitoredProcess(ServiceControl& service);

}  // namespace tendro
