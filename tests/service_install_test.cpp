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
#include "logfile/log_file.h"
#include "servicemode/stored_options.h"
#include "support/run_tendro.h"
#include "support/system_text.h"
#include "support/temp_folder.h"
#include "support/test_services.h"

namespace tendro::test {
namespace {

// Every service a test may have created, removed with its Parameters key when the test ends.
class InstallName {
public:
    InstallName() : name_(UniqueServiceName(L"TendroInst")) {}
    ~InstallName() {
        ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle service(::OpenServiceW(scm.get(), name_.c_str(), DELETE));  // never started
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
    bool operator==(const Config&) const = default;
};

bool DelayedStartSet(const std::wstring& name) {
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(::OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    SERVICE_DELAYED_AUTO_START_INFO delayed[16]{};
    DWORD needed = 0;
    return ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                                  reinterpret_cast<BYTE*>(delayed), sizeof(delayed), &needed) &&
           delayed[0].fDelayedAutostart;
}

Config ReadConfig(const std::wstring& name) {
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(::OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    BYTE buffer[8192], more[8192];
    DWORD needed = 0;
    auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    auto* d = reinterpret_cast<SERVICE_DESCRIPTIONW*>(more);
    if (!service || !::QueryServiceConfigW(service.get(), q, 8192, &needed)) return {};
    const bool described = ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, more,
                                                  8192, &needed) && d->lpDescription;
    return {true, q->dwServiceType, q->dwStartType, q->lpBinaryPathName, q->lpDisplayName,
            q->lpServiceStartName ? q->lpServiceStartName : L"", described ? d->lpDescription : L""};
}

std::wstring AccountSid(const std::wstring& account) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    wchar_t domain[256];
    DWORD size = sizeof(sid), domainSize = 256;
    SID_NAME_USE use{};
    LocalMemory text;
    if (!::LookupAccountNameW(nullptr, account.c_str(), sid, &size, domain, &domainSize, &use) ||
        !::ConvertSidToStringSidW(sid, reinterpret_cast<wchar_t**>(text.put())))
        return {};
    return static_cast<const wchar_t*>(text.get());
}

// The Parameters key's DACL in SDDL; empty when the key cannot be read.
std::wstring ParametersDacl(const std::wstring& name) {
    RegKey key;
    std::vector<BYTE> security;
    LocalMemory text;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath(name).c_str(), 0, READ_CONTROL,
                        key.put()) != ERROR_SUCCESS ||
        ReadRegKeyDacl(key.get(), security) != ERROR_SUCCESS ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            security.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
            reinterpret_cast<wchar_t**>(text.put()), nullptr))
        return {};
    return static_cast<const wchar_t*>(text.get());
}

// SYSTEM and Administrators only, nothing inherited.
const std::wstring Protected = L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";

// 0 when the service's ImagePath was changed (nullptr: nothing changed), else the error.
DWORD ChangeImagePath(const std::wstring& name, const wchar_t* path) {
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(::OpenServiceW(scm.get(), name.c_str(), SERVICE_CHANGE_CONFIG));
    return service && ::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                             SERVICE_NO_CHANGE, path, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr)
               ? 0
               : ::GetLastError();
}

bool HasLine(const RunResult& run, const std::wstring& level, const std::wstring& text) {
    return std::any_of(run.out.begin(), run.out.end(), [&](const std::wstring& line) {
        return line.rfind(level + L": ", 0) == 0 && line.find(text) != std::wstring::npos;
    });
}

RunResult Install(const std::wstring& name, std::vector<std::wstring> options) {
    options.insert(options.begin(), L"--install=" + name);
    return RunTendro(options);
}

TEST(ServiceInstall, InstallsUpdatesAndUninstalls) {
    InstallName name;
    std::vector<std::wstring> options{L"-s", L"web", L"-f", L"5", L"-l", L"db01=ops:s3cret@corp",
                                      L"--probe-timeout=500"};
    RunResult run = Install(*name, options);
    ASSERT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Init", L"Installed service " + *name));
    EXPECT_TRUE(HasLine(run, L"Init", L"Options: -s web -f 5 -l db01=ops:******@corp --probe-timeout=500"));
    EXPECT_EQ(run.outText.find(L"s3cret"), std::wstring::npos);
    EXPECT_TRUE(HasLine(run, L"Init", L"Log file: " + DefaultLogFilePath(*name)));  // see log_file_test
    EXPECT_TRUE(HasLine(run, L"Init", L"sc start " + *name));

    Config config = ReadConfig(*name);
    EXPECT_EQ(config.path, L"\"" + ProgramPath(L"tendro.exe") + L"\" --service=" + *name);
    EXPECT_EQ(config.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.display, L"Tendro " + *name);
    EXPECT_EQ(config.account, L"LocalSystem");
    EXPECT_EQ(config.description, L"Keeps services running: web");
    EXPECT_EQ(ReadStoredOptions(*name), options);
    EXPECT_EQ(ParametersDacl(*name), Protected);
    // The delay is set, or (Wine refuses it) an Info line says so and the install goes on. The
    // failure actions were accepted (a refusal fails the install); Wine cannot read them back.
    EXPECT_TRUE(DelayedStartSet(*name) ||
                HasLine(run, L"Info", L"Delayed automatic start not set"));

    std::vector<std::wstring> changed{L"-a", L"-s", L"db", L"--watch"};
    run = Install(*name, changed);
    ASSERT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Init", L"Updated service " + *name));
    EXPECT_TRUE(HasLine(run, L"Init", L"takes the new options at its next start"));
    EXPECT_EQ(ReadStoredOptions(*name), changed);
    EXPECT_EQ(ReadConfig(*name).description,
              L"Keeps services running: db and the services of Corvanta Pro");
    EXPECT_EQ(ParametersDacl(*name), Protected);

    run = RunTendro({L"--uninstall=" + *name});
    EXPECT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Init", L"Removed service " + *name));
    EXPECT_FALSE(ReadConfig(*name).exists);
    EXPECT_EQ(ParametersDacl(*name), L"");  // the key is gone
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
        RunResult run = Install(*name, c.options);
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
    // A Parameters key left behind that takes no values: the install gets as far as that key.
    InstallName name;
    std::wstring path = ParametersKeyPath(*name);
    LocalMemory noWrite;
    RegKey key;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(D;OICI;0x2;;;WD)(A;OICI;KA;;;WD)", SDDL_REVISION_1, noWrite.put(), nullptr));
    ASSERT_EQ(CreateRegKey(HKEY_LOCAL_MACHINE, path, nullptr, WRITE_DAC, key), ERROR_SUCCESS);
    ASSERT_EQ(SetRegKeyDacl(key.get(), noWrite.get()), ERROR_SUCCESS);
    RunResult run = Install(*name, {L"-s", L"web"});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(HasLine(run, L"Err!", L"Can't create the key HKLM\\" + path + L": " +
                                          SystemMessage(ERROR_ACCESS_DENIED) +
                                          L" (the install needs an elevated prompt)"))
        << run.outText;
    EXPECT_FALSE(ReadConfig(*name).exists);
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
        EXPECT_TRUE(ReadConfig(other.Name()) == before);
        EXPECT_EQ(ParametersDacl(other.Name()), L"");  // no key made
    }
}

TEST(ServiceInstall, AccountsAndTheirPasswords) {
    wchar_t user[256];
    DWORD size = 256;
    ASSERT_TRUE(::GetUserNameW(user, &size));
    const struct {
        std::wstring account;
        std::string input;  // none for an account without a password: a read of it fails the run
        std::wstring expectedAccount;  // empty: refused
        std::wstring readSid;
    } cases[] = {
        {L"NT AUTHORITY\\LocalService", "", L"NT AUTHORITY\\LocalService", L"LS"},
        {L"networkservice", "", L"NT AUTHORITY\\NetworkService", L"NS"},
        {user, "pa55word\r\n", L".\\" + std::wstring(user), AccountSid(user)},
        {user, "", L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.account);
        InstallName name;
        RunResult run = RunTendroWithInput({L"--install=" + *name, L"--account=" + c.account,
                                            L"-s", L"web"}, c.input);
        EXPECT_EQ(run.outText.find(L"pa55word"), std::wstring::npos);
        if (c.expectedAccount.empty()) {
            EXPECT_EQ(run.exitCode, 1u);
            EXPECT_TRUE(HasLine(run, L"Err!", L"No password for " + c.account)) << run.outText;
            EXPECT_FALSE(ReadConfig(*name).exists);
            continue;
        }
        ASSERT_EQ(run.exitCode, 0u) << run.outText;
        EXPECT_EQ(ReadConfig(*name).account, c.expectedAccount);
        EXPECT_EQ(ParametersDacl(*name), Protected + L"(A;OICI;KR;;;" + c.readSid + L")");
    }
}

TEST(ServiceInstall, UninstallStopsARunningService) {
    // A Tendro service as the manager sees it: a tendro.exe in another folder (the fixture
    // under that name) with --service=NAME. It stops as a Tendro stopped during a group
    // restart may: STOP_PENDING for longer than its stop budget of 30 s.
    TempFolder folder(BinaryDir() + UniqueServiceName(L"TendroDir"));
    const std::wstring exe = folder.File(L"tendro.exe");
    ASSERT_TRUE(::CopyFileW(ProgramPath(L"svcfixture.exe").c_str(), exe.c_str(), FALSE));
    TestService service;
    std::wstring path = L"\"" + exe + L"\" --name " + service.Name() +
                        L" --stop-pending 31000 --service=" + service.Name();
    ASSERT_EQ(ChangeImagePath(service.Name(), path.c_str()), 0u);
    ASSERT_TRUE(service.Start());
    RunResult run = RunTendro({L"--uninstall=" + service.Name()});
    EXPECT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Init", L"Stopped and removed service " + service.Name()));
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
    // The fixture's own handle keeps the deleted service until the test ends.
    EXPECT_EQ(ChangeImagePath(service.Name(), nullptr), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
}

}  // namespace
}  // namespace tendro::test
