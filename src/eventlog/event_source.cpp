#include "eventlog/event_source.h"

#include <vector>

#include "common/error.h"
#include "common/handle.h"
#include "common/registry.h"
#include "common/text.h"
#include "eventlog/event_ids.h"
#include "servicemode/stored_options.h"

namespace tendro {

std::wstring EventSourceKeyPath() {
    return std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") +
           EventSourceName;
}

LSTATUS RegisterTendroEventSource(const std::wstring& messageFile) {
    RegKey key;
    LSTATUS status = CreateRegKey(HKEY_LOCAL_MACHINE, EventSourceKeyPath(), nullptr,
                                  KEY_SET_VALUE, key);
    if (status != ERROR_SUCCESS) return status;
    status = ::RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                              reinterpret_cast<const BYTE*>(messageFile.c_str()),
                              static_cast<DWORD>((messageFile.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) return status;
    // Error, warning and information.
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    return ::RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&types), sizeof(types));
}

LSTATUS RemoveTendroEventSource() { return DeleteRegTree(HKEY_LOCAL_MACHINE, EventSourceKeyPath()); }

bool OtherTendroServiceInstalled(const std::wstring& except) {
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!scm) ThrowLastError("Can't open the service manager");
    std::vector<BYTE> buffer;
    DWORD needed = 0, count = 0, resume = 0;
    for (;;) {
        BOOL done = ::EnumServicesStatusExW(scm.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                            SERVICE_STATE_ALL, buffer.data(),
                                            static_cast<DWORD>(buffer.size()), &needed, &count,
                                            &resume, nullptr);
        if (!done && ::GetLastError() != ERROR_MORE_DATA)
            ThrowLastError("Can't list the services");
        const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            const std::wstring name = entries[i].lpServiceName;
            if (EqualsNoCase(name, except)) continue;
            ScHandle service(::OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_CONFIG));
            if (!service) continue;
            DWORD size = 0;
            ::QueryServiceConfigW(service.get(), nullptr, 0, &size);
            std::vector<BYTE> config(size ? size : sizeof(QUERY_SERVICE_CONFIGW));
            auto* info = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
            if (::QueryServiceConfigW(service.get(), info, static_cast<DWORD>(config.size()), &size) &&
                info->lpBinaryPathName && IsTendroService(info->lpBinaryPathName, name))
                return true;
        }
        if (done) return false;
        // More to come: a buffer of the size asked for, from where the last call stopped.
        buffer.resize(std::max<size_t>(needed, buffer.size()));
        count = 0;
    }
}

}  // namespace tendro
