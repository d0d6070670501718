#include "service/host_process.h"

#include "common/text.h"
#include "hostproduct/contract.h"
#include "process/child_process.h"

namespace tendro {

namespace {

std::wstring ProcessInfoKey(const ServiceControl& service) {
    return FormatText(host::ProcessInfoKeyFormat, service.shortName.c_str());
}

// One REG_DWORD value; `value` is left alone when it cannot be read.
bool ReadDword(HKEY key, const wchar_t* subkey, const wchar_t* name, uint32_t& value) {
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (::RegGetValueW(key, subkey, name, RRF_RT_REG_DWORD, nullptr, &data, &size) !=
        ERROR_SUCCESS)
        return false;
    value = data;
    return true;
}

// True when the process `pid` is running and was started by the service's own process. A
// recorded id that now belongs to an unrelated process fails here, and so does a program that
// has ended while its parent still holds a handle to it.
bool IsServiceChild(ServiceControl& service, uint32_t pid) {
    DWORD parentId = 0;
    {
        Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        DWORD exitCode = 0;
        bool running = process && ::GetExitCodeProcess(process.get(), &exitCode) &&
                       exitCode == STILL_ACTIVE;
        std::error_code ignored;
        Handle parent = parent_process(process.get(), &ignored);
        if (parent && running) parentId = ::GetProcessId(parent.get());
    }
    return static_cast<int32_t>(parentId) == service.GetServicePid();
}

}  // namespace

std::wstring ProcessStateWord(uint32_t state) {
    switch (state) {
    case 1: return L"Running";
    case 3: return L"Scheduled";
    case 4: return L"Failed";
    case 5: return L"Frozen";
    case 6: return L"Job Running";
    default: return L"";
    }
}

int32_t GetProcessPid(ServiceControl& service) {
    if (service.isPlainService != 0) return service.GetServicePid();
    uint32_t pid = 0;
    if (!ReadDword(HKEY_LOCAL_MACHINE, ProcessInfoKey(service).c_str(), host::ValueProcessId,
                   pid) ||
        pid == 0)
        return -1;
    return IsServiceChild(service, pid) ? static_cast<int32_t>(pid) : -1;
}

HostProcessInfo GetHostProcessInfo(ServiceControl& service) {
    if (service.isPlainService != 0) return {0, 0};
    RegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProcessInfoKey(service).c_str(), 0, KEY_QUERY_VALUE,
                        key.put()) != ERROR_SUCCESS)
        return {2, 0};
    HostProcessInfo info{2, 0};
    ReadDword(key.get(), nullptr, host::ValueProcessState, info.state);
    if (ReadDword(key.get(), nullptr, host::ValueProcessId, info.pid) && info.pid != 0 &&
        !IsServiceChild(service, info.pid))
        return {2, 0};
    return info;
}

Handle OpenMonitoredProcess(ServiceControl& service) {
    return Handle(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE,
                                static_cast<DWORD>(GetProcessPid(service))));
}

}  // namespace tendro
