#include "servicemode/apply_options.h"

#include <sddl.h>

#include <string>
#include <vector>

#include "common/handle.h"
#include "common/registry.h"
#include "log/log.h"
#include "process/child_process.h"
#include "servicemode/stored_options.h"

namespace tendro {

namespace {

// Parameters\Reload made afresh (volatile: a reboot takes it) for the service's account to
// record in; its sequence now. An error code when it cannot be made.
LSTATUS OpenReloadKey(const std::wstring& name, const std::wstring& accountSid, RegKey& key,
                      DWORD& sequence) {
    std::wstring sddl = L"D:P(A;;KA;;;SY)(A;;KA;;;BA)";
    if (!accountSid.empty()) sddl += L"(A;;0x20003;;;" + accountSid + L")";  // read, set value
    LocalMemory security;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                 security.put(), nullptr))
        return static_cast<LSTATUS>(::GetLastError());
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), security.get(), FALSE};
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, ReloadKeyPath(name).c_str(), 0,
                                       nullptr, REG_OPTION_VOLATILE,
                                       KEY_QUERY_VALUE | KEY_SET_VALUE | WRITE_DAC, &attributes,
                                       key.put(), nullptr);
    // Also over a key that was there: its DACL is ours alone.
    if (status == ERROR_SUCCESS) status = SetRegKeyDacl(key.get(), security.get());
    sequence = 0;
    DWORD size = sizeof(sequence);
    if (status == ERROR_SUCCESS)
        ::RegQueryValueExW(key.get(), ReloadSequenceValue, nullptr, nullptr,
                           reinterpret_cast<BYTE*>(&sequence), &size);
    return status;
}

}  // namespace

int ApplyToRunningService(SC_HANDLE service, const std::wstring& name,
                          const std::wstring& accountSid, const std::wstring& newAccount,
                          const std::function<std::wstring()>& restoreOptions) {
    const std::wstring typedName = quote_argument(name);
    SERVICE_STATUS status{};
    const bool running = ::QueryServiceStatus(service, &status) &&
                         (status.dwCurrentState == SERVICE_RUNNING ||
                          status.dwCurrentState == SERVICE_PAUSED);
    if (!running) {
        WriteLog(LogInit, L"Service " + name + L" takes the new options at its next start: sc start " +
                              typedName);
        return 0;
    }
    const std::wstring nextStart =
        L"; it takes them at its next start: sc stop " + typedName + L", then sc start " + typedName;
    // The process runs as the old account, which may no longer read the options.
    if (!newAccount.empty()) {
        WriteLog(LogInit, L"Service " + name + L" takes the new options and the account " +
                              newAccount + L" at its next start: sc stop " + typedName +
                              L", then sc start " + typedName);
        return 0;
    }
    RegKey key;
    DWORD before = 0;
    if (LSTATUS error = OpenReloadKey(name, accountSid, key, before); error != ERROR_SUCCESS) {
        WriteLog(LogError, L"Can't create the key HKLM\\" + ReloadKeyPath(name) + L": " +
                               WindowsErrorText(static_cast<DWORD>(error)) + nextStart);
        return 1;
    }
    if (!::ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status)) {
        WriteLog(LogError, L"Can't send the new options to the running service " + name + L": " +
                               WindowsErrorText(::GetLastError()) + nextStart);
        return 1;
    }
    const ULONGLONG begin = ::GetTickCount64();
    for (;;) {
        DWORD sequence = 0, size = sizeof(sequence);
        std::vector<std::wstring> outcome;
        if (::RegQueryValueExW(key.get(), ReloadSequenceValue, nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&sequence), &size) == ERROR_SUCCESS &&
            sequence != before &&
            ReadRegMultiString(key.get(), ReloadOutcomeValue, outcome) == ERROR_SUCCESS &&
            !outcome.empty()) {
            if (outcome[0] == L"applied") {
                for (size_t i = 1; i < outcome.size(); ++i) WriteLog(LogInit, outcome[i]);
                WriteLog(LogInit, L"The running service " + name + L" has applied the new options");
                return 0;
            }
            for (size_t i = 1; i + 1 < outcome.size(); ++i) WriteLog(LogError, outcome[i]);
            WriteLog(LogError, (outcome.size() > 1 ? outcome.back()
                                                   : L"The new options of service " + name +
                                                         L" are refused") +
                                   restoreOptions());
            return 1;
        }
        if (::GetTickCount64() - begin > ApplyWaitMs) break;
        ::Sleep(100);
    }
    // It may have read the new options and apply them later: told once more, it reads what
    // is stored now.
    std::wstring line = L"The running service " + name + L" has not said within " +
                        std::to_wstring(ApplyWaitMs / 1000) +
                        L" s whether it took the new options" + restoreOptions();
    line += ::ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status)
                ? L"; the service is told to read them once more"
                : L"; the service could not be told to read them once more: " +
                      WindowsErrorText(::GetLastError()) + nextStart;
    WriteLog(LogError, line);
    return 1;
}

}  // namespace tendro
