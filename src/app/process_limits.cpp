#include "app/process_limits.h"

#include <windows.h>
#include <mmsystem.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <climits>

#include "common/handle.h"
#include "common/text.h"
#include "log/log.h"
#include "service/host_process.h"

namespace tendro {

namespace {

// Size the memory counters are read with: the basic counters, without the private bytes.
constexpr DWORD MemoryCountersSize = 72;
constexpr double BytesToMegabytes = 9.5367431640625e-07;
constexpr DWORD CpuSampleMilliseconds = 1000;

class SystemCpuSampleSource final : public CpuSampleSource {
public:
    bool ReadProcessTimes(HANDLE process, uint64_t& kernel, uint64_t& user) override {
        FILETIME creation{}, exit{}, kernelTime{}, userTime{};
        if (!::GetProcessTimes(process, &creation, &exit, &kernelTime, &userTime)) return false;
        kernel = (uint64_t{kernelTime.dwHighDateTime} << 32) | kernelTime.dwLowDateTime;
        user = (uint64_t{userTime.dwHighDateTime} << 32) | userTime.dwLowDateTime;
        return true;
    }
    uint32_t Milliseconds() override { return ::timeGetTime(); }
    void Pause(uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

SystemCpuSampleSource systemSource;
CpuSampleSource* currentSource = &systemSource;

// Working set of the monitored process in bytes; -1 when it cannot be read.
int64_t ReadWorkingSet(ServiceControl& service) {
    Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE,
                                 static_cast<DWORD>(GetProcessPid(service))));
    if (!process) return -1;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = MemoryCountersSize;
    if (!::GetProcessMemoryInfo(process.get(),
                                reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                MemoryCountersSize))
        return -1;
    return static_cast<int64_t>(counters.WorkingSetSize);
}

// Thread count of the monitored process from a process snapshot; 0 when it is not found.
int32_t CountThreads(ServiceControl& service) {
    Handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;
    DWORD pid = static_cast<DWORD>(GetProcessPid(service));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == pid) return static_cast<int32_t>(entry.cntThreads);
    }
    return 0;
}

// Counts one strike against the service and logs the hit; true when the strikes now exceed
// the grace count.
bool CountStrike(const CmdLineParser& settings, StrikeCounts& strikeCounts,
                 ServiceControl& service, const wchar_t* hitFormat, int32_t threshold) {
    int32_t& count = strikeCounts[service.name];
    if (count < INT32_MAX) ++count;
    WriteLog(LogError, FormatText(hitFormat, GetProcessPid(service), threshold, count));
    return count > settings.ignoreIntervals;
}

}  // namespace

CpuSampleSource& CurrentCpuSampleSource() { return *currentSource; }

CpuSampleSource* SetCpuSampleSource(CpuSampleSource* source) {
    CpuSampleSource* previous = currentSource;
    currentSource = source ? source : &systemSource;
    return previous == &systemSource ? nullptr : previous;
}

float MeasureCpuLoad(ServiceControl& service) {
    Handle process = OpenMonitoredProcess(service);
    CpuSampleSource& source = CurrentCpuSampleSource();
    uint64_t kernel0 = 0, user0 = 0, kernel1 = 0, user1 = 0;
    uint32_t t0 = source.Milliseconds();
    if (!source.ReadProcessTimes(process.get(), kernel0, user0)) return -1.0f;
    source.Pause(CpuSampleMilliseconds);
    uint32_t t1 = source.Milliseconds();
    if (!source.ReadProcessTimes(process.get(), kernel1, user1)) return -1.0f;
    // Unsigned difference: a wrap of the millisecond counter in between does no harm.
    uint32_t elapsed = t1 - t0;
    if (elapsed == 0) return -1.0f;
    int64_t grown = static_cast<int64_t>(kernel1 - kernel0) + static_cast<int64_t>(user1 - user0);
    int64_t usedMilliseconds = grown / 10000;
    return static_cast<float>(static_cast<double>(usedMilliseconds) * 100.0 /
                              static_cast<double>(elapsed));
}

bool CheckProcessLimits(const CmdLineParser& settings, StrikeCounts& strikeCounts,
                        ServiceControl& service, ProcessReadings* readings) {
    ProcessReadings taken;
    bool killRequested = false;
    if (settings.memoryThreshold != -1) {
        int64_t workingSet = ReadWorkingSet(service);
        taken.workingSetBytes = workingSet;
        double megabytes = static_cast<double>(workingSet) * BytesToMegabytes;
        WriteLogDetail(L"    Memory:  %.2fMB", megabytes);
        WriteLogFormat(LogInfo, L"    Threads: %d", CountThreads(service));
        if (megabytes > static_cast<double>(settings.memoryThreshold) &&
            CountStrike(settings, strikeCounts, service,
                        L"Process %d hit memory threshold of %dMB limit %d times",
                        settings.memoryThreshold)) {
            killRequested = true;
            taken.killReason = KillReason::Memory;
        }
    }
    if (settings.cpuThreshold != -1) {
        float load = MeasureCpuLoad(service);
        taken.cpuLoad = load;
        WriteLogDetail(L"    Load:    %.2f%%", load);
        if (load > static_cast<float>(settings.cpuThreshold) &&
            CountStrike(settings, strikeCounts, service,
                        L"Process %d hit CPU threshold of %d%% %d times", settings.cpuThreshold)) {
            if (!killRequested) taken.killReason = KillReason::Cpu;
            killRequested = true;
        }
    }
    if (readings) *readings = taken;
    return killRequested;
}

bool TerminateMonitoredProcess(ServiceControl& service) {
    WriteLogFormat(LogError, L"Process %d will be terminated", GetProcessPid(service));
    if (Verbosity == LogInfo) WriteLogFormat(LogInfo, L"Killing process %d", GetProcessPid(service));
    DWORD error = ERROR_SUCCESS;
    Handle process(::OpenProcess(PROCESS_TERMINATE, FALSE,
                                 static_cast<DWORD>(GetProcessPid(service))));
    if (!process)
        error = ::GetLastError();
    else if (!::TerminateProcess(process.get(), 0))
        error = ::GetLastError();
    else
        return true;
    process.reset();
    WriteLog(LogError, L"Unable terminate process!");
    WriteLog(LogError, WindowsErrorText(error));
    return false;
}

}  // namespace tendro
