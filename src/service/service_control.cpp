#include "service/service_control.h"

#include <shlwapi.h>

#include <algorithm>

#include "log/log.h"

namespace tendro {

namespace {

// SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP
constexpr DWORD kServiceAccess = 0x35;
// The stop wait gives up after this long, and never sleeps longer than this at once.
constexpr DWORD kStopWaitLimitMs = 10000;
// Poll interval while a pending state shows no progress (or has no wait hint).
constexpr DWORD kPollIntervalMs = 1000;

// QueryServiceStatusEx under the service's logon token; false when the service is not open.
bool ReadProcessStatus(const ServiceControl& service, SERVICE_STATUS_PROCESS& status) {
    ImpersonationScope impersonation(service.token.get());
    DWORD needed = 0;
    return service.scm && service.handle &&
           ::QueryServiceStatusEx(service.handle.get(), SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
}

}  // namespace

const wchar_t* const ServiceStateWords[7] = {L"Stopped", L"Start pending", L"Stop pending",
                                             L"Running", L"continue pending", L"Pause pending",
                                             L"Paused"};

std::wstring ServiceStateWord(uint32_t state) {
    if (state == 0 || state > 7) return L"Undefined";
    return ServiceStateWords[state - 1];
}

ServiceNameParts SplitServiceName(const std::wstring& name) {
    ServiceNameParts parts;
    const wchar_t* text = name.c_str();
    const wchar_t* shortName = ::PathFindFileNameW(text);
    parts.shortName = shortName;
    if (::PathIsUNCServerShareW(text)) {
        // The server word runs from after "\\" to the backslash before the service word.
        size_t end = static_cast<size_t>(shortName - text);
        if (end > 3) parts.machine = name.substr(2, end - 3);
    }
    return parts;
}

bool IsSoundServiceName(const std::wstring& name) {
    if (name.find_first_of(L"/:") != std::wstring::npos) return false;
    if (name.rfind(L"\\\\", 0) != 0) return !name.empty() && name.find(L'\\') == std::wstring::npos;
    size_t separator = name.find(L'\\', 2);
    return separator != std::wstring::npos && separator > 2 && separator + 1 < name.size() &&
           name.find(L'\\', separator + 1) == std::wstring::npos;
}

ImpersonationScope::ImpersonationScope(HANDLE token) noexcept : token_(token) {
    if (token_ != nullptr) ::ImpersonateLoggedOnUser(token_);
}

ImpersonationScope::~ImpersonationScope() { Revert(); }

void ImpersonationScope::Revert() noexcept {
    if (token_ == nullptr) return;
    // Keep the caller's last error: it is often read right after the revert.
    DWORD error = ::GetLastError();
    ::RevertToSelf();
    ::SetLastError(error);
    token_ = nullptr;
}

ServiceControl::ServiceControl(SharedScHandle scm_, SharedToken token_, std::wstring name_,
                               uint32_t isPlainService_)
    : scm(std::move(scm_)), token(std::move(token_)), name(std::move(name_)),
      isPlainService(isPlainService_) {
    ServiceNameParts parts = SplitServiceName(name);
    machine = std::move(parts.machine);
    shortName = std::move(parts.shortName);
    if (scm) {
        ImpersonationScope impersonation(token.get());
        handle.reset(::OpenServiceW(scm.get(), shortName.c_str(), kServiceAccess));
    }
    if (!handle) openError = ::GetLastError();
}

int32_t ServiceControl::Stop() { return Stop(StopSignal::Never()); }

int32_t ServiceControl::Stop(const StopSignal& stop, DWORD* errorOut) {
    WriteLogFormat(LogInfo, L"Stopping service %s", name);
    ImpersonationScope impersonation(token.get());

    // The error reported is the thread's last error when the failure was found.
    auto fail = [&](const wchar_t* reason = nullptr) {
        impersonation.Revert();
        DWORD error = ::GetLastError();
        if (errorOut) *errorOut = error;
        if (reason != nullptr) WriteLog(LogError, reason);
        WriteLog(LogError, FormatText(L"Can't stop service %s", name.c_str()));
        WriteLog(LogError, L"\t" + WindowsErrorText(error));
        return 0;
    };

    if (!scm) return fail(L"Unable to obtain Service control manager!");
    if (!handle) return fail(L"Service not open!");

    SERVICE_STATUS status{};
    if (!::ControlService(handle.get(), SERVICE_CONTROL_STOP, &status)) {
        // Not running (1062): the returned status says STOPPED, and its exit code counts.
        // Stopping already (1061 with STOP_PENDING): its own stop is waited for as any other.
        const DWORD error = ::GetLastError();
        const bool stopping = error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL &&
                              status.dwCurrentState == SERVICE_STOP_PENDING;
        if (error != ERROR_SERVICE_NOT_ACTIVE && !stopping) return fail();
    }

    const DWORD start = ::GetTickCount();
    DWORD lastCheckPoint = 0xFFFFFFFF;
    while (status.dwCurrentState != SERVICE_STOPPED) {
        if (::GetTickCount() - start >= kStopWaitLimitMs) {
            ::SetLastError(ERROR_TIMEOUT);
            return fail();
        }
        DWORD pause = kPollIntervalMs;
        if (status.dwCheckPoint != lastCheckPoint) {
            lastCheckPoint = status.dwCheckPoint;
            pause = std::min(status.dwWaitHint, kStopWaitLimitMs);
        }
        if (!stop.ResponseWait(pause)) {
            // The run is stopping and its time for waits is spent (or it is shutting down):
            // the stop went out but is not waited for. No failure of the stop: the caller says
            // so, and nothing takes it for a stop wait that ran out.
            if (errorOut) *errorOut = ERROR_OPERATION_ABORTED;
            return 0;
        }
        if (!::QueryServiceStatus(handle.get(), &status)) return fail();
    }
    if (status.dwWin32ExitCode != 0) {
        ::SetLastError(status.dwWin32ExitCode);
        return fail();
    }
    return 1;
}

int32_t ServiceControl::Start() { return StartWithin(StartWaitLimitMs); }

int32_t ServiceControl::StartWithin(uint32_t waitLimitMs, const StopSignal& stop,
                                    DWORD* errorOut) {
    ImpersonationScope impersonation(token.get());
    WriteLogFormat(LogInfo, L"Starting service %s", name);

    if (!scm) {
        WriteLog(LogError, L"Unable to obtain Service control manager!");
        return -1;
    }
    if (!handle) {
        WriteLog(LogError, L"Unable to open service!");
        return -1;
    }
    if (!::StartServiceW(handle.get(), 0, nullptr)) {
        if (errorOut) *errorOut = ::GetLastError();
        WriteLog(LogError, L"Unable to start service!");
        return -1;
    }

    auto queryFailed = [] {
        WriteLog(LogError, FormatText(L"QueryServiceStatus failed: %d",
                                      static_cast<int>(::GetLastError())));
    };
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(handle.get(), &status)) {
        // No status at all: nothing to say about a state or an exit code.
        queryFailed();
        return -1;
    }

    int32_t result = 1;
    const DWORD start = ::GetTickCount();
    while (status.dwCurrentState == SERVICE_START_PENDING) {
        DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= waitLimitMs) {
            WriteLog(LogError, FormatText(L"Can't start service %s: still starting after %d seconds",
                                          name.c_str(), static_cast<int>(waitLimitMs / 1000)));
            return -1;
        }
        DWORD pause = status.dwWaitHint != 0 ? status.dwWaitHint : kPollIntervalMs;
        if (!stop.ResponseWait(std::min<DWORD>(pause, waitLimitMs - elapsed))) {
            // The run is stopping and its time is up: the service is left starting.
            if (errorOut) *errorOut = ERROR_OPERATION_ABORTED;
            return -1;
        }
        if (!::QueryServiceStatus(handle.get(), &status)) {
            queryFailed();
            result = -1;
            break;
        }
    }

    if (status.dwCurrentState == SERVICE_RUNNING) return result;
    WriteLog(LogError, FormatText(L"Can't start service; its exit code: %d",
                                  static_cast<int>(status.dwWin32ExitCode)));
    return -1;
}

uint32_t ServiceControl::GetStatus() {
    SERVICE_STATUS_PROCESS status{};
    if (!ReadProcessStatus(*this, status)) {
        WriteLog(LogError, FormatText(L"Can't get status for service %s", name.c_str()));
        return 0;
    }
    return status.dwCurrentState;
}

int32_t ServiceControl::GetServicePid() {
    SERVICE_STATUS_PROCESS status{};
    if (!ReadProcessStatus(*this, status)) {
        WriteLog(LogError, FormatText(L"No PID for %s!", name.c_str()));
        return -1;
    }
    return status.dwProcessId == 0 ? -1 : static_cast<int32_t>(status.dwProcessId);
}

}  // namespace tendro
