// --install and --uninstall end to end: tendro.exe registers, updates and removes services in
// Wine's service manager, and the test reads back what was registered.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>
#include <winsvc.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/registry.h"
#include "servicemode/stored_options.h"
#include "support/run_tendro.h"
#include "support/system_text.h"
#include "support/test_services.h"

namespace tendro::test {
namespace {

// Every service a test may have created, removed with its Parameters key when the test ends.
class InstallName {
public:
    InstallName() : name_(UniqueServiceName(L"TendroInst")) {}
    ~InstallName() {
        ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle service(::OpenServiceW(scm.get(), name_.c_str(), SERVICE_STOP | DELETE));
        SERVICE_STATUS status{};
        if (service) ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        if (service) ::DeleteService(service.get());
        DeleteRegTree(HKEY_LOCAL_MACHINE, ParametersKeyPath(name_));
        // A key that a test made without a service (the manager removes its services' keys).
        if (!service) DeleteRegTree(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\" + name_);
    }
    const std::wstring& operator*() const { return name_; }

private:
    std::wstring name_;
};

struct Config {
    bool exists = false;
    DWORD type = 0, start = 0;
    std::wstring path, display, account, description;
    bool delayed = false;
    DWORD delayedError = 0, failureActionsError = 0;
    std::vector<DWORD> restartDelays;  // failure actions, when they read back
    DWORD resetPeriod = 0;
};

Config ReadConfig(const std::wstring& name) {
    Config config;
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(::OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    if (!service) return config;
    config.exists = true;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (::QueryServiceConfigW(service.get(), q, 8192, &needed)) {
        config.type = q->dwServiceType;
        config.start = q->dwStartType;
        config.path = q->lpBinaryPathName;
        config.display = q->lpDisplayName;
        config.account = q->lpServiceStartName ? q->lpServiceStartName : L"";
    }
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
    if (::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(), 8192,
                               &needed) &&
        description->lpDescription)
        config.description = description->lpDescription;
    if (::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                               buffer.data(), 8192, &needed))
        config.delayed = reinterpret_cast<SERVICE_DELAYED_AUTO_START_INFO*>(buffer.data())
                             ->fDelayedAutostart;
    else
        config.delayedError = ::GetLastError();
    if (::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), 8192,
                               &needed)) {
        auto* actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer.data());
        config.resetPeriod = actions->dwResetPeriod;
        for (DWORD i = 0; i < actions->cActions; ++i)
            config.restartDelays.push_back(actions->lpsaActions[i].Delay);
    } else {
        config.failureActionsError = ::GetLastError();
    }
    return config;
}

std::wstring SidText(PSID sid) {
    LocalMemory text;
    if (!::ConvertSidToStringSidW(sid, reinterpret_cast<wchar_t**>(text.put()))) return {};
    return static_cast<const wchar_t*>(text.get());
}

std::wstring WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    return ::CreateWellKnownSid(type, nullptr, sid, &size) ? SidText(sid) : std::wstring();
}

std::wstring AccountSid(const std::wstring& account) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    wchar_t domain[256];
    DWORD size = sizeof(sid), domainSize = 256;
    SID_NAME_USE use{};
    return ::LookupAccountNameW(nullptr, account.c_str(), sid, &size, domain, &domainSize, &use)
               ? SidText(sid)
               : std::wstring();
}

// The SIDs of the Parameters key's ACEs, in order; "protected" first when the DACL is.
std::vector<std::wstring> ParametersDacl(const std::wstring& name) {
    RegKey key;
    std::vector<BYTE> security;
    std::vector<std::wstring> sids;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath(name).c_str(), 0, READ_CONTROL,
                        key.put()) != ERROR_SUCCESS ||
        ReadRegKeyDacl(key.get(), security) != ERROR_SUCCESS)
        return sids;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorControl(security.data(), &control, &revision);
    if (control & SE_DACL_PROTECTED) sids.push_back(L"protected");
    if (!::GetSecurityDescriptorDacl(security.data(), &present, &dacl, &defaulted) || !dacl)
        return sids;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) sids.push_back(SidText(&ace->SidStart));
    }
    return sids;
}

bool HasLine(const RunResult& run, const std::wstring& level, const std::wstring& text) {
    return std::any_of(run.out.begin(), run.out.end(), [&](const std::wstring& line) {
        return line.rfind(level + L": ", 0) == 0 && line.find(text) != std::wstring::npos;
    });
}

std::vector<std::wstring> Joined(std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::wstring Sy = WellKnownSid(WinLocalSystemSid);
const std::wstring Ba = WellKnownSid(WinBuiltinAdministratorsSid);

TEST(ServiceInstall, InstallsUpdatesAndUninstalls) {
    InstallName name;
    std::vector<std::wstring> options{L"-s", L"web", L"-f", L"5", L"-l", L"db01=ops:s3cret@corp",
                                      L"--probe-timeout=500"};
    RunResult run = RunTendro(Joined({L"--install=" + *name}, options));
    ASSERT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Init", L"Installed service " + *name));
    EXPECT_TRUE(HasLine(run, L"Init", L"Options: -s web -f 5 -l db01=ops:******@corp --probe-timeout=500"));
    EXPECT_EQ(run.outText.find(L"s3cret"), std::wstring::npos);
    wchar_t logFile[MAX_PATH];
    ::ExpandEnvironmentStringsW((L"%ProgramData%\\Tendro\\" + *name + L".log").c_str(), logFile, MAX_PATH);
    EXPECT_TRUE(HasLine(run, L"Init", L"Log file: " + std::wstring(logFile)));
    EXPECT_TRUE(HasLine(run, L"Init", L"sc start " + *name));

    Config config = ReadConfig(*name);
    EXPECT_EQ(config.path, L"\"" + ProgramPath(L"tendro.exe") + L"\" --service=" + *name);
    EXPECT_EQ(config.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.display, L"Tendro " + *name);
    EXPECT_EQ(config.account, L"LocalSystem");
    EXPECT_EQ(config.description, L"Keeps services running: web");
    EXPECT_EQ(ReadStoredOptions(*name), options);
    EXPECT_EQ(ParametersDacl(*name), (std::vector<std::wstring>{L"protected", Sy, Ba}));
    // Where the manager cannot keep these settings (Wine), the install says so and goes on.
    EXPECT_TRUE(config.delayed || HasLine(run, L"Info", L"Delayed automatic start not set"));
    if (config.failureActionsError == 0) {
        EXPECT_EQ(config.restartDelays, (std::vector<DWORD>{10000, 30000, 60000}));
        EXPECT_EQ(config.resetPeriod, 86400u);
    } else {
        EXPECT_EQ(config.failureActionsError, static_cast<DWORD>(ERROR_INVALID_LEVEL));
    }

    std::vector<std::wstring> changed{L"-a", L"-s", L"db", L"--watch"};
    run = RunTendro(Joined({L"--install=" + *name}, changed));
    ASSERT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Init", L"Updated service " + *name));
    EXPECT_TRUE(HasLine(run, L"Init", L"takes the new options at its next start"));
    EXPECT_EQ(ReadStoredOptions(*name), changed);
    EXPECT_EQ(ReadConfig(*name).description,
              L"Keeps services running: db and the services of Corvanta Pro");
    EXPECT_EQ(ParametersDacl(*name), (std::vector<std::wstring>{L"protected", Sy, Ba}));

    run = RunTendro({L"--uninstall=" + *name});
    EXPECT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Init", L"Removed service " + *name));
    EXPECT_FALSE(ReadConfig(*name).exists);
    RegKey key;
    EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath(*name).c_str(), 0, KEY_READ,
                              key.put()),
              ERROR_FILE_NOT_FOUND);
    run = RunTendro({L"--uninstall=" + *name});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(HasLine(run, L"Err!", L"Not installed: service " + *name)) << run.outText;
}

TEST(ServiceInstall, RefusedOptionsInstallNothing) {
    const struct {
        std::vector<std::wstring> options;
        std::wstring line;
    } cases[] = {
        {{L"-s", L"web", L"--bogus"}, L"Unknown option --bogus"},
        {{L"-f", L"5", L"--probe-timeout=500"}, L"--install needs the services to keep running: -s NAME or -a"},
        {{L"-o", L"-s", L"web"}, L"--install takes no -o: a service never ends after one pass"},
        {{L"-o", L"--check", L"-a"}, L"--install takes no --check: a service never ends after one pass"},
        {{L"--uninstall=x", L"-s", L"web"}, L"Options --install and --uninstall cannot be combined"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        InstallName name;
        RunResult run = RunTendro(Joined({L"--install=" + *name}, c.options));
        EXPECT_EQ(run.exitCode, 1u);
        ASSERT_EQ(run.out.size(), 1u) << run.outText;
        EXPECT_TRUE(HasLine(run, L"Err!", c.line)) << run.outText;
        EXPECT_FALSE(ReadConfig(*name).exists);
    }
    RunResult run = RunTendro({L"--account=x", L"-s", L"web"});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(HasLine(run, L"Err!", L"Option --account is given only with --install"));
}

TEST(ServiceInstall, AFailedStepUndoesTheInstall) {
    // A Parameters key left behind that nobody may write: the install gets as far as that key.
    InstallName name;
    std::wstring path = ParametersKeyPath(*name);
    LocalMemory deny;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(D;OICI;KA;;;WD)", SDDL_REVISION_1, deny.put(), nullptr));
    {
        RegKey key;
        ASSERT_EQ(CreateRegKey(HKEY_LOCAL_MACHINE, path, nullptr, WRITE_DAC, key), ERROR_SUCCESS);
        ASSERT_EQ(SetRegKeyDacl(key.get(), deny.get()), ERROR_SUCCESS);
    }
    RunResult run = RunTendro({L"--install=" + *name, L"-s", L"web"});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(HasLine(run, L"Err!", L"Can't create the key HKLM\\" + path + L": " +
                                          SystemMessage(ERROR_ACCESS_DENIED) +
                                          L" (the install needs an elevated prompt)"))
        << run.outText;
    EXPECT_FALSE(ReadConfig(*name).exists);
    LocalMemory open;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;KA;;;WD)",
                                                                       SDDL_REVISION_1, open.put(),
                                                                       nullptr));
    RegKey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, WRITE_DAC, key.put()),
              ERROR_SUCCESS);
    EXPECT_EQ(SetRegKeyDacl(key.get(), open.get()), ERROR_SUCCESS);
}

TEST(ServiceInstall, AnotherServiceIsLeftAsItIs) {
    TestService other;
    Config before = ReadConfig(other.Name());
    for (const wchar_t* command : {L"--install=", L"--uninstall="}) {
        RunResult run = RunTendro({command + other.Name(), L"-s", L"web"});
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_TRUE(HasLine(run, L"Err!", L"Service " + other.Name() +
                                              L" is not a Tendro service: left as it is"))
            << run.outText;
        Config after = ReadConfig(other.Name());
        EXPECT_EQ(after.path, before.path);
        EXPECT_EQ(after.display, before.display);
        EXPECT_EQ(after.description, before.description);
        EXPECT_TRUE(ParametersDacl(other.Name()).empty());
    }
}

TEST(ServiceInstall, AccountsAndTheirPasswords) {
    wchar_t user[256];
    DWORD size = 256;
    ASSERT_TRUE(::GetUserNameW(user, &size));
    const struct {
        std::wstring account;
        std::string input;
        bool keepOpen;  // a read of standard input would wait until the run times out
        std::wstring expectedAccount;  // empty: refused
        std::wstring readSid;
    } cases[] = {
        {L"NT AUTHORITY\\LocalService", "", true, L"NT AUTHORITY\\LocalService", L"S-1-5-19"},
        {L"networkservice", "", true, L"NT AUTHORITY\\NetworkService", L"S-1-5-20"},
        {user, "pa55word\r\n", false, L".\\" + std::wstring(user), AccountSid(user)},
        {user, "", false, L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.account);
        InstallName name;
        RunResult run = RunTendroWithInput({L"--install=" + *name, L"--account=" + c.account,
                                            L"-s", L"web"},
                                           c.input, c.keepOpen, 20000);
        ASSERT_FALSE(run.timedOut);
        EXPECT_EQ(run.outText.find(L"pa55word"), std::wstring::npos);
        if (c.expectedAccount.empty()) {
            EXPECT_EQ(run.exitCode, 1u);
            EXPECT_TRUE(HasLine(run, L"Err!", L"No password for " + c.account)) << run.outText;
            EXPECT_FALSE(ReadConfig(*name).exists);
            continue;
        }
        ASSERT_EQ(run.exitCode, 0u) << run.outText;
        EXPECT_EQ(ReadConfig(*name).account, c.expectedAccount);
        std::vector<std::wstring> dacl = ParametersDacl(*name);
        EXPECT_EQ(dacl, (std::vector<std::wstring>{L"protected", Sy, Ba, c.readSid}));
    }
}

TEST(ServiceInstall, UninstallStopsARunningService) {
    // A Tendro service as the manager sees it: a tendro.exe in another folder (the fixture
    // under that name) with --service=NAME.
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + UniqueServiceName(L"TendroDir");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring exe = folder + L"\\tendro.exe";
    struct Remove {
        std::wstring folder, exe;
        ~Remove() {
            ::DeleteFileW(exe.c_str());
            ::RemoveDirectoryW(folder.c_str());
        }
    } remove{folder, exe};
    ASSERT_TRUE(::CopyFileW(ProgramPath(L"svcfixture.exe").c_str(), exe.c_str(), FALSE));
    TestService service;
    {
        ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle handle(::OpenServiceW(scm.get(), service.Name().c_str(), SERVICE_CHANGE_CONFIG));
        std::wstring path = L"\"" + exe + L"\" --name " + service.Name() + L" --service=" + service.Name();
        ASSERT_TRUE(::ChangeServiceConfigW(handle.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                           SERVICE_NO_CHANGE, path.c_str(), nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr));
    }
    ASSERT_TRUE(service.Start());
    RunResult run = RunTendro({L"--uninstall=" + service.Name()});
    EXPECT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Init", L"Stopped and removed service " + service.Name()));
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
    // The fixture's own handle keeps the deleted service until the test ends.
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle handle(::OpenServiceW(scm.get(), service.Name().c_str(), SERVICE_CHANGE_CONFIG));
    ASSERT_TRUE(handle);
    BOOL changed = ::ChangeServiceConfigW(handle.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                          SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr);
    DWORD error = ::GetLastError();
    EXPECT_FALSE(changed);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
}

}  // namespace
}  // namespace tendro::test
