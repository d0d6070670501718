// One monitored service, opened through its machine's service control manager.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <system_error>

#include "common/handle.h"
#include "common/stop_signal.h"
#include "common/text.h"

namespace tendro {

// The two forms of a service name: "svc" (local) and "\\server\svc".
struct ServiceNameParts {
    std::wstring machine;    // server word; empty for a local name
    std::wstring shortName;  // the service's key name
};
ServiceNameParts SplitServiceName(const std::wstring& name);
// True for a name that splits soundly: a non-empty short name without backslashes, or
// "\\server\service" with both words non-empty; never with a '/' or ':'.
bool IsSoundServiceName(const std::wstring& name);

// How long Start waits for a service that stays START_PENDING.
constexpr uint32_t StartWaitLimitMs = 120000;

// Impersonates a logon token for the life of the scope (nothing when the token is null).
class ImpersonationScope {
public:
    explicit ImpersonationScope(HANDLE token) noexcept;
    ~ImpersonationScope();
    ImpersonationScope(const ImpersonationScope&) = delete;
    ImpersonationScope& operator=(const ImpersonationScope&) = delete;
    // Reverts early; the destructor then does nothing more.
    void Revert() noexcept;

private:
    HANDLE token_;
};

// Words for the service states 1..7; 0 (state not obtained) is "Undefined".
extern const wchar_t* const ServiceStateWords[7];
std::wstring ServiceStateWord(uint32_t state);

class ServiceControl {
public:
    SharedScHandle scm;
    SharedToken token;
    ScHandle handle;
    std::wstring name;
    std::wstring machine;
    std::wstring shortName;
    uint32_t isPlainService = 1;
    uint32_t openError = 0;

    ServiceControl() = default;
    ServiceControl(SharedScHandle scm, SharedToken token, std::wstring name,
                   uint32_t isPlainService);
    ServiceControl(ServiceControl&&) noexcept = default;
    ServiceControl& operator=(ServiceControl&&) noexcept = default;
    ServiceControl(const ServiceControl&) = delete;
    ServiceControl& operator=(const ServiceControl&) = delete;

    // 1 when the service reached STOPPED with exit code 0, 0 on any failure.
    int32_t Stop();
    // Stop whose wait ends as the run's stop signal says (ResponseWait). The Windows error of
    // a failure goes to *error when given: ERROR_TIMEOUT when the 10 s stop wait ran out, the
    // service's exit code when it stopped with one. ERROR_OPERATION_ABORTED (0, nothing
    // logged) when the stop went out but the signal ended the wait: not a failure of the stop.
    int32_t Stop(const StopSignal& stop, DWORD* error = nullptr);
    // 1 when the service reached RUNNING, -1 on any failure (also after StartWaitLimitMs
    // of START_PENDING).
    int32_t Start();
    // Start with another bound on the START_PENDING wait, which also ends as the run's stop
    // signal says. The Windows error of a failed StartServiceW goes to *error when given;
    // ERROR_OPERATION_ABORTED (-1, nothing logged) when the start went out but the signal
    // ended the wait.
    int32_t StartWithin(uint32_t waitLimitMs, const StopSignal& stop = StopSignal::Never(),
                        DWORD* error = nullptr);
    // The current state (1..7), 0 when it could not be obtained.
    uint32_t GetStatus();
    // The service process id, -1 when there is none or it could not be obtained.
    int32_t GetServicePid();
    // Exports and checks a host-product service's definition; success (0) for plain services.
    std::system_error LoadDefinition();
};

// Service name to its object; names compare without case.
using ServiceObjects = std::map<std::wstring, ServiceControl, NoCaseLess>;

}  // namespace tendro
