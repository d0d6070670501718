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
#include "servicemode/account.h"
#include "servicemode/file_security.h"
#include "servicemode/stored_options.h"
#include "common/text.h"
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

// The key at `path` (made when missing) then takes no values: 0, or the error.
DWORD DenyValues(const std::wstring& path) {
    LocalMemory noWrite;
    RegKey key;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(D;OICI;0x2;;;WD)(A;OICI;KA;;;WD)", SDDL_REVISION_1, noWrite.put(), nullptr))
        return ::GetLastError();
    LSTATUS status = CreateRegKey(HKEY_LOCAL_MACHINE, path, nullptr, WRITE_DAC, key);
    return status ? status : SetRegKeyDacl(key.get(), noWrite.get());
}

std::wstring CurrentUser() {
    wchar_t user[256];
    DWORD size = 256;
    return ::GetUserNameW(user, &size) ? user : L"";
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
    EXPECT_EQ(config.path, L"\"" + TendroPath() + L"\" --service=" + *name);
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

// Path options are stored whole; a relative one is refused in the Windows folder (the installer's).
TEST(ServiceInstall, PathsAreStoredWhole) {
    InstallName name;
    wchar_t log[MAX_PATH], metrics[MAX_PATH], here[MAX_PATH], system[MAX_PATH];
    ::GetFullPathNameW(L"web.log", MAX_PATH, log, nullptr), ::GetFullPathNameW(L"..\\m\\t.prom", MAX_PATH, metrics, nullptr);
    RunResult run = Install(*name, {L"-s", L"web", L"--log-file=web.log", L"--metrics=..\\m\\t.prom", L"--log-keep=2"});
    ASSERT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_EQ(ReadStoredOptions(*name), (std::vector<std::wstring>{L"-s", L"web", L"--log-file=" + std::wstring(log),
                                                                   L"--metrics=" + std::wstring(metrics), L"--log-keep=2"}));
    EXPECT_TRUE(HasLine(run, L"Init", L"Log file: " + std::wstring(log))) << run.outText;
    ::GetCurrentDirectoryW(MAX_PATH, here), ::GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_TRUE(::SetCurrentDirectoryW(system));
    InstallName other;
    run = Install(*other, {L"-s", L"web", L"--log-file=web.log"});
    ::SetCurrentDirectoryW(here);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(HasLine(run, L"Err!", L"--log-file=web.log: a relative path would start from " +
                                          std::wstring(system) + L", the current folder: give the whole path"))
        << run.outText;
    EXPECT_FALSE(ReadConfig(*other).exists);
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
        {{L"--uninstall-all", L"-s", L"web"}, L"Option --uninstall-all takes no other service command"},
        {{L"-s", L"web", L"--install=TendroOther"}, L"--install takes no --install among the options it stores"},
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
    ASSERT_EQ(DenyValues(path), 0u);
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
    const std::wstring user = CurrentUser();
    ASSERT_NE(user, L"");
    const struct {
        std::wstring account;
        std::string input;  // none for an account without a password: a read of it fails the run
        std::wstring expectedAccount;  // empty: refused
        std::wstring readSid;
    } cases[] = {
        {L"NT AUTHORITY\\LocalService", "", L"NT AUTHORITY\\LocalService", L"LS"},
        {L"networkservice", "", L"NT AUTHORITY\\NetworkService", L"NS"},
        {user, "pa55word\r\n", L".\\" + user, AccountSid(user)},
        {user, "", L"", L""},
        {user, std::string("pa55\0word\n", 10), L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.account);
        InstallName name;
        RunResult run = RunTendroWithInput({L"--install=" + *name, L"--account=" + c.account,
                                            L"-s", L"web"}, c.input);
        EXPECT_EQ(run.outText.find(L"pa55word"), std::wstring::npos);
        if (c.expectedAccount.empty()) {
            EXPECT_EQ(run.exitCode, 1u);
            ASSERT_EQ(run.out.size(), 1u) << run.outText;
            EXPECT_TRUE(HasLine(run, L"Err!", c.input.empty() ? L"No password for " + c.account
                                 : L"The password for " + c.account + L" on standard input holds a NUL character"));
            EXPECT_FALSE(ReadConfig(*name).exists);
            continue;
        }
        ASSERT_EQ(run.exitCode, 0u) << run.outText;
        EXPECT_EQ(ReadConfig(*name).account, c.expectedAccount);
        EXPECT_EQ(ParametersDacl(*name), Protected + L"(A;OICI;KR;;;" + c.readSid + L")");
    }
}

// Piped passwords: UTF-8 with or without a byte-order mark, UTF-16 with one; anything else
// that is not text is refused ("! " and the start of the reason).
TEST(ServiceInstall, PipedPasswordEncodings) {
    const struct { std::string bytes; std::wstring expected; } cases[] = {
        {"pa55word\r\n", L"pa55word\r\n"}, {"\xEF\xBB\xBF" "caf\xC3\xA9", L"caf\u00e9"},
        {std::string("\xFF\xFEp\0w\0\xE9\0\r\0\n\0", 12), L"pw\u00e9\r\n"},
        {std::string("\xFE\xFF\0p\xD8\x3D\xDE\x00", 8), L"p\U0001F600"},
        {std::string("\xFF\xFEp\0w", 5), L"! is not whole UTF-16"},
        {std::string("\xFF\xFE\x00\xD8p\0", 6), L"! is not valid UTF-16"},
        {"caf\xE9\n", L"! is not valid UTF-8"}, {"\xEF\xBB\xBF\xC3", L"! is not valid UTF-8"},
        {std::string("pa\0ss", 6), L"! holds a NUL"}, {std::string("\xFF\xFEp\0\0\0", 6), L"! holds a NUL"},
    };
    for (const auto& c : cases) {
        Password password;
        const wchar_t* problem = DecodePasswordBytes(c.bytes, password.text());
        EXPECT_EQ(problem ? (L"! " + std::wstring(problem)).substr(0, c.expected.size()) : password.text(),
                  c.expected) << c.bytes;
        EXPECT_TRUE(!problem || password.text().empty());
    }
}

// A re-install keeps the account unless told; a failed one says the password was not put back.
TEST(ServiceInstall, AReinstallKeepsTheAccountOrSaysWhatItCouldNotPutBack) {
    const std::wstring user = CurrentUser(), account = L".\\" + user;
    InstallName name;
    RunResult run = RunTendroWithInput({L"--install=" + *name, L"--account=" + user, L"-s", L"web"},
                                       "pa55word\n");
    ASSERT_EQ(run.exitCode, 0u) << run.outText;
    run = RunTendroWithInput({L"--install=" + *name, L"-s", L"db"}, "");
    ASSERT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Init", L" as " + account + L";")) << run.outText;
    EXPECT_EQ(ReadConfig(*name).account, account);
    EXPECT_EQ(ParametersDacl(*name), Protected + L"(A;OICI;KR;;;" + AccountSid(user) + L")");
    // This update fails at the Parameters key, after the account was changed.
    ASSERT_EQ(DenyValues(ParametersKeyPath(*name)), 0u);
    run = RunTendroWithInput({L"--install=" + *name, L"--account=LocalService", L"-s", L"db"}, "");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(HasLine(run, L"Err!", L"; service " + *name + L" runs as " + account +
                                          L" again, but its password could not be put back: give it "
                                          L"again with tendro.exe --install=" + *name +
                                          L" --account=" + account + L" and the options")) << run.outText;
    EXPECT_EQ(ReadConfig(*name).account, account);
}

// Who can take over tendro.exe's path: program, folder and a folder above (C:\ as Windows has it).
TEST(ProgramPathSecurity, WhoCanTakeItOver) {
    const std::wstring admin = L"S-1-5-21-1-2-3-1001", user = L"S-1-5-21-1-2-3-1002";
    const std::wstring ti = L"S-1-5-80-956008885-3572952549-2243434932-2563963394-2164473548";
    const std::wstring root = L"O:SYD:PAI(A;OICIIO;FA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
                              L"(A;OICI;0x1200a9;;;BU)(A;OICIIO;0x1301bf;;;AU)(A;;0x4;;;AU)";
    const std::wstring folder = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    const std::wstring file = L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
    // Threats: "WHERE SID" (" owner" for the owner). Junction: the folder is one (its target's DACL read).
    const struct {
        std::wstring file, folder, root; std::vector<std::wstring> threats; bool junction = false;
    } cases[] = {
        {file, folder, root, {}},
        // A folder made under C:\ by an administrator: users may modify it.
        {L"O:" + admin + L"D:(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1301bf;;;AU)",
         L"O:" + admin + L"D:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1301bf;;;AU)", root,
         {L"exe S-1-5-11", L"dir S-1-5-11"}},
        {file, L"O:" + user + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;" + user + L")", root,
         {L"dir " + user + L" owner", L"dir " + user}},
        {file, folder, L"O:BA", {L"C:\\ S-1-1-0"}},  // no DACL
        {L"O:BAD:(A;;GW;;;BU)", folder, root, {L"exe S-1-5-32-545"}},
        // Adding files above is no threat, deleting a child is.
        {file, folder, L"O:BAD:(A;;GW;;;BU)(A;;0x40;;;IU)", {L"C:\\ S-1-5-4"}},
        // The owner's rights, TrustedInstaller, inherit-only and deny entries.
        {L"O:" + ti + L"D:(A;;FA;;;OW)(A;;FA;;;" + ti + L")(D;;FA;;;BU)",
         L"O:" + admin + L"D:(A;OICIIO;FA;;;BU)(A;;FA;;;OW)", root, {}},
        {file, L"O:BAD:(A;;SD;;;WD)", root, {L"dir S-1-1-0"}},
        {L"O:" + user + L"D:(A;;FA;;;OW)", folder, root, {L"exe " + user + L" owner", L"exe " + user}},
        {file, folder, root, {L"dir reparse"}, true},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> found;
        for (const PathThreat& t : FindPathThreats({{L"exe", c.file, PathSecurity::Program},
                                                    {L"dir", c.folder, PathSecurity::ProgramFolder, c.junction},
                                                    {L"C:\\", c.root, PathSecurity::FolderAbove}},
                                                   {L"S-1-5-18", L"S-1-5-32-544", ti, admin}))
            found.push_back(t.path + L" " + (t.reparsePoint ? L"reparse" : t.sid) + (t.owner ? L" owner" : L""));
        EXPECT_EQ(found, c.threats) << ToNarrow(c.file + L" " + c.folder + L" " + c.root);
    }
    // A program on a network path is refused before anything of it is read.
    const struct { const wchar_t* path; UINT drive; bool refused; } paths[] = {
        {L"C:\\T\\tendro.exe", DRIVE_FIXED, false}, {L"\\\\?\\C:\\T\\tendro.exe", DRIVE_FIXED, false},
        {L"Z:\\T\\tendro.exe", DRIVE_REMOTE, true}, {L"\\\\files\\tools\\tendro.exe", DRIVE_NO_ROOT_DIR, true},
        {L"\\\\?\\UNC\\files\\tools\\tendro.exe", DRIVE_NO_ROOT_DIR, true}};
    for (const auto& p : paths)
        EXPECT_EQ(NetworkPathRefusal(p.path, p.drive).rfind(L"Not installed: " + std::wstring(p.path) +
                                                            L" is on a network path", 0) == 0, p.refused)
            << ToNarrow(p.path);
}

// End to end: a tendro.exe in a folder that everyone may change is not installed.
TEST(ProgramPathSecurity, AnInstallFromAFolderThatEveryoneMayChangeIsRefused) {
    const std::wstring path = BinaryDir() + UniqueServiceName(L"OpenDir");
    LocalMemory open;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;WD)", SDDL_REVISION_1, open.put(), nullptr));
    TempFolder folder(path);
    ASSERT_TRUE(::SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                   open.get()));
    ASSERT_TRUE(::CopyFileW(ProgramPath(L"tendro.exe").c_str(), folder.File(L"tendro.exe").c_str(), FALSE));
    InstallName name;
    RunResult run = RunProgram(folder.File(L"tendro.exe"), {L"--install=" + *name, L"-s", L"web"});
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_EQ(run.out.size(), 1u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Err!", L"Not installed: " + AccountName(L"S-1-1-0") + L" may change or replace " +
                                          path + L", so it could run another program as the service; put "
                                          L"tendro.exe in a folder that only administrators can change, "
                                          L"such as %ProgramFiles%\\Tendro")) << run.outText;
    EXPECT_FALSE(ReadConfig(*name).exists);
}

// The default log folder's refusals (Wine shows none: one owner, no junctions, no inheritance); the
// DACL that an install gives a folder keeps earlier installs' accounts and passes.
TEST(LogFolderSecurity, ReparsePointsAndOwners) {
    const SidSet trusted{L"S-1-5-18", L"S-1-5-32-544"};
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    const std::wstring mine = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", ns = L"(A;OICI;0x1301bf;;;S-1-5-20)";
    // A refusal's start after "Won't log into folder F: "; the DACL an install for NetworkService gives it.
    const struct { DWORD attributes; std::wstring security, refusal, afterInstall; } cases[] = {
        {folder, L"O:SY" + mine, L"", mine + ns},
        {folder, L"O:BA" + mine + L"(A;OICI;0x1301bf;;;LS)", L"", mine + ns + L"(A;OICI;0x1301bf;;;S-1-5-19)"},
        {folder, L"O:S-1-5-21-1-2-3-1002" + mine, L"it is owned by S-1-5-21-1-2-3-1002, not by SYSTEM or Administrators", L""},
        {folder | FILE_ATTRIBUTE_REPARSE_POINT, L"O:SY" + mine, L"it is a reparse point", L""},
        {INVALID_FILE_ATTRIBUTES, L"", L"it is missing, and only SYSTEM or an administrator may make it", L""},
        {folder, L"", L"its owner cannot be read", L""},
        {folder, L"O:BAD:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;CIID;0x6;;;BU)",
         AccountName(L"S-1-5-32-545") + L" may add or delete files in it", mine + ns},
        {folder, L"O:BA" + mine + L"(A;OICI;0x1301bf;;;BU)", AccountName(L"S-1-5-32-545") + L" may add", mine + ns},
    };
    for (const auto& c : cases) {
        std::wstring refusal = LogFolderRefusal(L"F", c.attributes, c.security, trusted);
        EXPECT_EQ(refusal.rfind(L"Won't log into folder F: " + c.refusal, 0), c.refusal.empty() ? std::wstring::npos : 0u)
            << ToNarrow(refusal);
        if (c.afterInstall.empty()) continue;
        const std::wstring dacl = ProtectedLogFolderDacl(c.security, L"NS");
        EXPECT_EQ(dacl, c.afterInstall);
        EXPECT_EQ(LogFolderRefusal(L"F", folder, L"O:BA" + dacl, trusted), L"");
    }
    // The log file in it, perhaps from before its protection: a reparse point or another's.
    const SidSet withAccount{L"S-1-5-18", L"S-1-5-32-544", L"S-1-5-20"};
    const struct { DWORD attributes; std::wstring owner, refusal; } files[] = {
        {FILE_ATTRIBUTE_ARCHIVE, L"O:S-1-5-20", L""}, {INVALID_FILE_ATTRIBUTES, L"", L""},
        {FILE_ATTRIBUTE_ARCHIVE, L"O:S-1-5-21-1-2-3-1002", L"it is owned by S-1-5-21-1-2-3-1002, not by SYSTEM"},
        {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT, L"O:SY", L"it is a reparse point"},
        {FILE_ATTRIBUTE_ARCHIVE, L"", L"its owner cannot be read"},
    };
    for (const auto& f : files) {
        std::wstring refusal = LogFileRefusal(L"F\\T.log", f.attributes, f.owner, withAccount);
        EXPECT_EQ(refusal.rfind(L"Won't log into file F\\T.log: " + f.refusal, 0),
                  f.refusal.empty() ? std::wstring::npos : 0u) << ToNarrow(refusal);
    }
}

// A start-up that fails before the log is open says why in the default file, in the folder that
// the install made (no rights there but the trusted accounts' and the service's own).
TEST(LogFolderSecurity, AFailedStartUpIsLoggedInTheDefaultFile) {
    const struct { std::wstring stored, line; } cases[] = {
        {L"--log-file=C:\\no\\such\\folder\\t.log", L"Invalid value for option --log-file: \"C:\\no\\such"
         L"\\folder\\t.log\" (can't open it: " + SystemMessage(ERROR_PATH_NOT_FOUND)},
        {L"--bogus", L"Unknown option --bogus"},
    };
    for (const auto& c : cases) {
        InstallName name;
        const std::wstring log = DefaultLogFilePath(*name), folder = log.substr(0, log.rfind(L'\\'));
        const bool missing = ::RemoveDirectoryW(folder.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
        RunResult run = Install(*name, {L"-s", L"web", L"--account=LocalService"});
        ASSERT_EQ(run.exitCode, 0u) << run.outText;
        EXPECT_EQ(HasLine(run, L"Init", L"Made folder " + folder), missing) << run.outText;
        std::vector<PathSecurity> made{ReadPathChain(folder)[0]};
        made[0].kind = PathSecurity::ProgramFolder;
        SidSet mayChange = TrustedAccounts();
        mayChange.insert(L"S-1-5-19");  // LocalService: modify
        EXPECT_TRUE(!missing || FindPathThreats(made, mayChange).empty()) << ToNarrow(made[0].sddl);

        RegKey key;
        ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath(*name).c_str(), 0, KEY_SET_VALUE,
                                  key.put()), 0);
        ASSERT_EQ(WriteRegMultiString(key.get(), StoredOptionsValue, {L"-s", L"web", c.stored}), 0);
        ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle service(::OpenServiceW(scm.get(), (*name).c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
        SERVICE_STATUS status{};  // it stops by itself, with exit code 1
        for (DWORD begin = ::GetTickCount(), ok = ::StartServiceW(service.get(), 0, nullptr); ok &&
             ::QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
             ::GetTickCount() - begin < 20000;) ::Sleep(20);
        EXPECT_EQ(std::pair(status.dwCurrentState, status.dwServiceSpecificExitCode),
                  std::pair(DWORD{SERVICE_STOPPED}, DWORD{1}));
        const std::wstring content = ToWide(ReadWhole(log).value_or(""), CP_UTF8);
        EXPECT_TRUE(content.starts_with(L"Err!: ") && content.find(c.line) != std::wstring::npos)
            << ToNarrow(content);
        ::DeleteFileW(log.c_str());
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

// Only the services of this tendro.exe go; one of a tendro.exe elsewhere stays.
TEST(ServiceInstall, UninstallAllRemovesTheServicesOfThisProgramOnly) {
    InstallName first, second, elsewhere;
    for (const InstallName* name : {&first, &second, &elsewhere})
        ASSERT_EQ(Install(**name, {L"-s", L"web"}).exitCode, 0u);
    const std::wstring otherPath = L"\"C:\\Other\\tendro.exe\" --service=" + *elsewhere;
    ASSERT_EQ(ChangeImagePath(*elsewhere, otherPath.c_str()), 0u);
    RunResult run = RunTendro({L"--uninstall-all"});
    EXPECT_EQ(run.exitCode, 0u) << run.outText;
    for (const InstallName* name : {&first, &second}) {
        EXPECT_TRUE(HasLine(run, L"Init", L"Removed service " + **name)) << run.outText;
        EXPECT_FALSE(ReadConfig(**name).exists);
    }
    EXPECT_EQ(run.outText.find(*elsewhere), std::wstring::npos);
    EXPECT_EQ(ReadConfig(*elsewhere).path, otherPath);
    EXPECT_EQ(ReadStoredOptions(*elsewhere), (std::vector<std::wstring>{L"-s", L"web"}));
    run = RunTendro({L"--uninstall-all"});
    EXPECT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Init", L"No Tendro service runs " + TendroPath()));
}

}  // namespace
}  // namespace tendro::test
