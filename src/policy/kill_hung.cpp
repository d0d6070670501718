#include "policy/kill_hung.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/handle.h"
#include "common/text.h"
#include "log/log.h"
#include "service/host_process.h"

namespace tendro {

namespace {

constexpr DWORD PollIntervalMs = 1000;

// The status under the service's logon token, without a log line when it cannot be read.
bool ReadStatus(const ServiceControl& service, SERVICE_STATUS_PROCESS& status) {
    if (!service.scm || !service.handle) return false;
    ImpersonationScope impersonation(service.token.get());
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service.handle.get(), SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) != 0;
}

// The registered service type; false (with the thread's last error) when it cannot be read.
bool ReadServiceType(const ServiceControl& service, DWORD& type) {
    ImpersonationScope impersonation(service.token.get());
    DWORD needed = 0;
    ::QueryServiceConfigW(service.handle.get(), nullptr, 0, &needed);
    if (needed == 0) return false;
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service.handle.get(), config, needed, &needed)) return false;
    type = config->dwServiceType;
    return true;
}

void ReportTerminateFailure(DWORD error) {
    WriteLog(LogError, L"Unable terminate process!");
    WriteLog(LogError, WindowsErrorText(error));
}

// Terminates `pid` and waits (at most KilledStopWaitMs, within what the run's stop leaves) for
// it to end; false when it could not be terminated.
bool TerminateServiceProcess(const ServiceControl& service, int32_t pid, const StopSignal& stop) {
    WriteLog(LogError, FormatText(L"Service %s did not stop; terminating its process %d",
                                  service.name.c_str(), pid));
    Handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
    if (!process || !::TerminateProcess(process.get(), 0)) {
        DWORD error = ::GetLastError();
        process.reset();
        ReportTerminateFailure(error);
        return false;
    }
    HANDLE waits[] = {process.get(), stop.ShutdownEvent()};
    ::WaitForMultipleObjects(2, waits, FALSE, std::min(KilledStopWaitMs, stop.WaitBudgetMs()));
    return true;
}

}  // namespace

bool IsHungStop(DWORD stopError, DWORD state) {
    if (state == SERVICE_STOPPED) return false;
    // 1061 is a refusal at once: a service found stopping has had its stop wait already.
    if (stopError == ERROR_SERVICE_CANNOT_ACCEPT_CTRL) return false;
    // The run's stop budget, not the stop wait, ended the wait: the service may be stopping.
    if (stopError == ERROR_OPERATION_ABORTED) return false;
    return stopError == ERROR_TIMEOUT || state == SERVICE_STOP_PENDING;
}

bool KillHungPolicy::StopFailed(ServiceControl& service, DWORD error) {
    // A run that is shutting down, or whose stop has spent its time, ends nothing more.
    if (!stop_.MayWait()) return false;
    SERVICE_STATUS_PROCESS status{};
    if (!ReadStatus(service, status) || !IsHungStop(error, status.dwCurrentState)) return false;
    if (!service.machine.empty()) {
        WriteLog(LogError, FormatText(L"Service %s did not stop; processes of other machines are "
                                      L"not terminated",
                                      service.name.c_str()));
        return false;
    }
    const int32_t pid = static_cast<int32_t>(status.dwProcessId);
    if (pid <= 0) return false;
    DWORD type = 0;
    if (!ReadServiceType(service, type)) {
        ReportTerminateFailure(::GetLastError());
        return false;
    }
    if ((type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS)) != SERVICE_WIN32_OWN_PROCESS) {
        WriteLog(LogError, FormatText(L"Service %s did not stop; its process %d is shared with "
                                      L"other services and is left alone",
                                      service.name.c_str(), pid));
        return false;
    }
    if (service.isPlainService == 0) {
        // The program that the host product runs, when it is still the service's own child.
        int32_t program = GetProcessPid(service);
        if (program > 0 && program != pid) TerminateServiceProcess(service, program, stop_);
    }
    if (!TerminateServiceProcess(service, pid, stop_)) return false;
    WaitForStopped(service);
    return true;
}

// Polls as the stop wait does: the wait hint when the check point moved, else every second.
void KillHungPolicy::WaitForStopped(ServiceControl& service) {
    const uint64_t start = clock_.NowMs();
    DWORD lastCheckPoint = 0xFFFFFFFF;
    for (;;) {
        SERVICE_STATUS_PROCESS status{};
        if (!ReadStatus(service, status) || status.dwCurrentState == SERVICE_STOPPED) return;
        uint64_t elapsed = clock_.NowMs() - start;
        if (elapsed >= KilledStopWaitMs) return;
        DWORD pause = PollIntervalMs;
        if (status.dwCheckPoint != lastCheckPoint) {
            lastCheckPoint = status.dwCheckPoint;
            pause = std::min<DWORD>(status.dwWaitHint, KilledStopWaitMs);
        }
        if (!stop_.ResponseWait(
                static_cast<uint32_t>(std::min<uint64_t>(pause, KilledStopWaitMs - elapsed))))
            return;
    }
}

std::unique_ptr<MonitorHooks> MakeKillHung(const LongOptions& options, const StopSignal& stop) {
    if (!options.killHung) return nullptr;
    return std::make_unique<KillHungPolicy>(SystemPolicyClock(), stop);
}

}  // namespace tendro
