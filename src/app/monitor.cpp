#include "app/monitor.h"

#include <windows.h>

#include <algorithm>

#include "app/failure_response.h"
#include "app/process_limits.h"
#include "common/error.h"
#include "log/log.h"
#include "service/host_process.h"

namespace tendro {

uint32_t PassPauseMilliseconds(int32_t frequency) {
    int32_t seconds = std::clamp<int32_t>(frequency, 0, MaxFrequencySeconds);
    return static_cast<uint32_t>(seconds) * 1000u;
}

void CheckService(const CmdLineParser& settings, StrikeCounts& strikeCounts,
                  ServiceObjects& services, const std::wstring& name, bool firstPass,
                  MonitorHooks& hooks, PassResponses* pass) {
    ServiceControl placeholder;
    ServiceControl& service = ServiceForEntry(services, name, placeholder);

    bool isDown = false;
    DownCause cause = DownCause::Stopped;
    ProcessReadings readings;
    uint32_t state = service.GetStatus();
    if (state == 0) cause = DownCause::Unreadable;
    if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) {
        isDown = true;
        WriteLogFormat(firstPass ? LogInit : LogError, L"Service %s is NOT running!", name);
    }

    // The status block. The reads are made in every verbosity; only the lines depend on it.
    WriteLogFormat(LogInfo, L"Service: %s", name);
    WriteLogFormat(LogInfo, L" Status: %s", ServiceStateWord(service.GetStatus()));
    if (service.isPlainService != 0) {
        WriteLogFormat(LogInfo, L"    PID: %d", service.GetServicePid());
    } else {
        HostProcessInfo info = GetHostProcessInfo(service);
        WriteLogFormat(LogInfo, L" CV PID: %d", service.GetServicePid());
        WriteLogFormat(LogInfo, L"EXE PID: %d", info.pid == 0 ? -1 : static_cast<int32_t>(info.pid));
        WriteLogFormat(LogInfo, L"Process: %s", ProcessStateWord(info.state));
        // The host product's record decides, whatever the service manager said.
        if (!IsHostProcessUp(info.state) && !isDown) cause = DownCause::ProgramNotRunning;
        isDown = !IsHostProcessUp(info.state);
    }
    // Found up: not down, and in a running state by the service manager's first read.
    if (!isDown && state != 0 && state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING &&
        hooks.DownWhileRunning(service, firstPass)) {
        isDown = true;
        cause = DownCause::Probe;
    }
    hooks.Observe(ServiceFound{service, state, isDown, cause, firstPass});

    if (settings.Has(CmdLineParser::PassiveMode)) {
        if (Verbosity >= LogInit) WriteLog(LogInit, L"Passive mode enabled. No services restarted");
        return;
    }
    // Paused (a service's pause): as with -p, nothing is measured, stopped, started or killed.
    if (hooks.Paused()) {
        if (isDown)
            WriteLogFormat(firstPass ? LogInit : LogError,
                           L"Tendro is paused: no response for service %s", name);
        return;
    }

    // A service whose state cannot be read is neither restarted nor measured.
    if (service.GetStatus() == 0) return;

    if (isDown) {
        if (!firstPass) WriteLog(LogError, L"Service or process is down");
    } else {
        // Processes are measured only for services of this machine.
        if (!service.machine.empty()) return;
        bool killRequested = CheckProcessLimits(settings, strikeCounts, service, &readings);
        hooks.Observe(ProcessMeasured{service, readings});
        if (!killRequested) return;
    }

    strikeCounts[service.name] = 0;
    // Only a termination that happened counts as a kill.
    if (!isDown) {
        const int32_t pid = GetProcessPid(service);
        if (TerminateMonitoredProcess(service))
            hooks.Observe(ProcessKilled{service, readings.killReason.value_or(KillReason::Memory), pid});
    }
    if (pass)
        RespondToFailure(settings, services, service, hooks, *pass);
    else
        RespondToFailure(settings, services, service, hooks);
}

void RunMonitorPass(CmdLineParser& settings, Connections& connections,
                    StrikeCounts& strikeCounts, ServiceObjects& services, bool firstPass,
                    MonitorHooks& hooks, const StopSignal& stop) {
    hooks.Observe(PassBegun{settings, firstPass});
    if (!firstPass && settings.Has(CmdLineParser::MonitorAll) &&
        settings.Has(CmdLineParser::RereadList)) {
        if (Verbosity == LogInfo) WriteLog(LogInfo, L"Rereading services list");
        // Whatever list the re-read leaves is walked; an empty one gives an empty pass.
        settings.ValidateServices(connections, strikeCounts, services);
    }
    if (Verbosity == LogInfo) WriteLog(LogInfo, L"Service check commencing");
    PassResponses pass(stop);
    for (const std::wstring& name : settings.monitoredServices) {
        if (stop.Stopping()) break;
        CheckService(settings, strikeCounts, services, name, firstPass, hooks, &pass);
    }
    hooks.Observe(PassEnded{settings, services});
}

bool PauseBetweenPasses(uint32_t milliseconds, PauseWaits& waits, MonitorHooks& hooks,
                        const StopSignal& stop) {
    // No pause at all (-f 0): nothing to wait for, nor to wake.
    if (milliseconds == 0) {
        ::Sleep(0);
        return !stop.Stopping();
    }
    waits.Begin();
    hooks.PauseStarting(waits);
    HANDLE events[] = {stop.Event(), waits.WakeEvent()};
    const ULONGLONG start = ::GetTickCount64();
    bool woken = false;
    for (;;) {
        const ULONGLONG elapsed = ::GetTickCount64() - start;
        if (elapsed >= milliseconds) break;
        DWORD result = ::WaitForMultipleObjectsEx(2, events, FALSE,
                                                  static_cast<DWORD>(milliseconds - elapsed),
                                                  waits.Alertable());
        if (result == WAIT_IO_COMPLETION) continue;  // a queued call ran; it may have woken us
        if (result == WAIT_FAILED) {
            const DWORD error = ::GetLastError();
            hooks.PauseEnded(std::wstring());  // what the hooks added to the wait goes first
            ThrowSystemError(error, "Can't wait between passes");
        }
        woken = result == WAIT_OBJECT_0 + 1;
        break;
    }
    hooks.PauseEnded(woken ? waits.WokenBy() : std::wstring());
    return !stop.Stopping();
}

bool RunMonitorCycle(CmdLineParser& settings, Connections& connections,
                     StrikeCounts& strikeCounts, ServiceObjects& services, MonitorHooks& hooks,
                     const StopSignal& stop, bool resumed) {
    const bool runOnce = settings.Has(CmdLineParser::RunOnce);
    PauseWaits waits;
    for (bool firstPass = !resumed;; firstPass = false) {
        RunMonitorPass(settings, connections, strikeCounts, services, firstPass, hooks, stop);
        if (runOnce || stop.Stopping()) break;
        // Counted from the end of the last service's check.
        if (!PauseBetweenPasses(PassPauseMilliseconds(settings.frequency), waits, hooks, stop))
            break;
        if (hooks.ReplaceRun()) return true;
    }
    if (Verbosity >= LogInit) WriteLog(LogInit, L"Tendro Stopped");
    return false;
}

}  // namespace tendro
