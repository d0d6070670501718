// Memory and CPU limits on the monitored process of a running local service.
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/monitor_hooks.h"
#include "cmdline/cmdline_parser.h"
#include "service/service_control.h"

namespace tendro {

// What the CPU sample needs from the system: the process's kernel and user times, the
// millisecond clock and the pause between the two readings. The program uses the system's
// own; tests put in their own readings.
class CpuSampleSource {
public:
    virtual ~CpuSampleSource() = default;
    // Kernel and user time in 100-nanosecond units; false when they cannot be read.
    virtual bool ReadProcessTimes(HANDLE process, uint64_t& kernel, uint64_t& user) = 0;
    // The millisecond counter (timeGetTime).
    virtual uint32_t Milliseconds() = 0;
    virtual void Pause(uint32_t milliseconds) = 0;
};

// The source in use; the system's unless replaced.
CpuSampleSource& CurrentCpuSampleSource();
// Replaces the source (nullptr restores the system's); returns the one replaced.
CpuSampleSource* SetCpuSampleSource(CpuSampleSource* source);

// Load of the monitored process over a one-second sample, in percent of one processor;
// -1.0 when it cannot be measured.
float MeasureCpuLoad(ServiceControl& service);

// The memory check, then the CPU check, each when its threshold is on. Counts strikes in
// strikeCounts; true when the service's strikes exceed the grace count. The readings taken,
// and the check that decided a kill, go to `readings` when it is given.
bool CheckProcessLimits(const CmdLineParser& settings, StrikeCounts& strikeCounts,
                        ServiceControl& service, ProcessReadings* readings = nullptr);

// Terminates the monitored process, reporting a failure; true when it was terminated.
bool TerminateMonitoredProcess(ServiceControl& service);

}  // namespace tendro
