#include "cmdline/cmdline_parser.h"
#include "log/log.h"

namespace tendro {

bool CmdLineParser::ConnectServiceManagers(Connections& connections) {
    bool connected = true;
    for (const auto& name : specifiedServices) {
        connected = ConnectServiceManager(connections, SplitServiceName(name).machine);
        if (!connected) break;
    }
    // Every host-product service is local.
    if (connected && Has(MonitorAll)) connected = ConnectServiceManager(connections, L"");
    ErasePasswords();
    return connected;
}

bool CmdLineParser::ConnectServiceManager(Connections& connections, const std::wstring& machine) {
    if (connections.count(machine) != 0) return true;
    WriteLogFormat(LogInit, L"Connecting to service manager on %s",
                   machine.empty() ? std::wstring(L"the local machine") : machine);

    SharedToken token;
    auto user = logonUsers.find(machine);
    if (user != logonUsers.end()) {
        const std::wstring& principal = user->second;
        WriteLogFormat(LogInit, L"\tLog on user %s", principal);
        auto password = passwords.find(machine);
        HANDLE logon = nullptr;
        if (!::LogonUserW(principal.c_str(), nullptr,
                          password != passwords.end() ? password->second.c_str() : L"",
                          LOGON32_LOGON_NEW_CREDENTIALS, LOGON32_PROVIDER_WINNT50, &logon)) {
            WriteLog(LogError, L"\t\t" + WindowsErrorText(::GetLastError()));
            return false;
        }
        token = MakeSharedToken(logon);
        if (!::ImpersonateLoggedOnUser(token.get())) {
            DWORD error = ::GetLastError();
            WriteLog(LogError, FormatText(L"\t\tImpersonating user %s failed", principal.c_str()));
            WriteLog(LogError, L"\t\t" + WindowsErrorText(error));
            return false;
        }
    }

    SC_HANDLE scm = ::OpenSCManagerW(machine.c_str(), nullptr, SC_MANAGER_CONNECT);
    DWORD error = ::GetLastError();
    if (token) ::RevertToSelf();
    if (scm == nullptr) {
        WriteLog(LogError, L"\t" + WindowsErrorText(error));
        return false;
    }
    connections[machine] = ServiceManagerConnection{MakeSharedScHandle(scm), std::move(token)};
    return true;
}

}  // namespace tendro
