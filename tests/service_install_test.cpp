// --install and --uninstall end to end: tendro.exe registers, updates and removes services in
// Wine's service manager, and the test reads back what was registered.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
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

// Path options are stored whole, made so from the folder that the install runs in (the
// service runs in another one).
TEST(ServiceInstall, PathsAreStoredWhole) {
    InstallName name;
    auto whole = [](const wchar_t* path) {
        wchar_t full[MAX_PATH];
        return std::wstring(full, ::GetFullPathNameW(path, MAX_PATH, full, nullptr));
    };
    RunResult run = Install(*name, {L"-s", L"web", L"--log-file=web.log", L"--metrics=..\\m\\t.prom",
                                    L"--log-keep=2"});
    ASSERT_EQ(run.exitCode, 0u) << run.outText;
    const std::vector<std::wstring> stored{L"-s", L"web", L"--log-file=" + whole(L"web.log"),
                                           L"--metrics=" + whole(L"..\\m\\t.prom"), L"--log-keep=2"};
    EXPECT_EQ(ReadStoredOptions(*name), stored);
    EXPECT_TRUE(HasLine(run, L"Init", L"Log file: " + whole(L"web.log"))) << run.outText;
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
        {user, "\xEF\xBB\xBFpa55word\n", L".\\" + std::wstring(user), AccountSid(user)},
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
            EXPECT_TRUE(HasLine(run, L"Err!", c.input.empty()
                                                  ? L"No password for " + c.account
                                                  : L"The password for " + c.account +
                                                        L" on standard input holds a NUL character"))
                << run.outText;
            EXPECT_FALSE(ReadConfig(*name).exists);
            continue;
        }
        ASSERT_EQ(run.exitCode, 0u) << run.outText;
        EXPECT_EQ(ReadConfig(*name).account, c.expectedAccount);
        EXPECT_EQ(ParametersDacl(*name), Protected + L"(A;OICI;KR;;;" + c.readSid + L")");
    }
}

// Piped passwords: UTF-8 with or without a byte-order mark, UTF-16 with one; anything else
// that is not text is refused.
TEST(ServiceInstall, PipedPasswordEncodings) {
    const struct {
        std::string bytes;
        const wchar_t* text;     // nullptr: refused
        const wchar_t* problem;  // its start
    } cases[] = {
        {"pa55word\r\n", L"pa55word\r\n", nullptr},
        {"\xEF\xBB\xBF" "caf\xC3\xA9", L"caf\u00e9", nullptr},
        {std::string("\xFF\xFEp\0w\0\xE9\0\r\0\n\0", 12), L"pw\u00e9\r\n", nullptr},
        {std::string("\xFE\xFF\0p\xD8\x3D\xDE\x00", 8), L"p\U0001F600", nullptr},
        {std::string("\xFF\xFEp\0w", 5), nullptr, L"is not whole UTF-16"},
        {std::string("\xFF\xFE\x00\xD8p\0", 6), nullptr, L"is not valid UTF-16"},
        {"caf\xE9\n", nullptr, L"is not valid UTF-8"},
        {"\xEF\xBB\xBF\xC3", nullptr, L"is not valid UTF-8"},
        {std::string("pa\0ss", 6), nullptr, L"holds a NUL"},
        {std::string("\xFF\xFEp\0\0\0", 6), nullptr, L"holds a NUL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        Password password;
        const wchar_t* problem = DecodePasswordBytes(c.bytes, password.text());
        if (c.text) {
            EXPECT_EQ(problem, nullptr);
            EXPECT_EQ(password.text(), c.text);
        } else {
            ASSERT_NE(problem, nullptr);
            EXPECT_EQ(std::wstring(problem).rfind(c.problem, 0), 0u) << ToNarrow(problem);
            EXPECT_EQ(password.text(), L"");
        }
    }
}

// A re-install without --account keeps the account (no password read: standard input is
// empty); one with another account that then fails says that the old password is lost.
TEST(ServiceInstall, AReinstallKeepsTheAccountOrSaysWhatItCouldNotPutBack) {
    wchar_t user[256];
    DWORD size = 256;
    ASSERT_TRUE(::GetUserNameW(user, &size));
    const std::wstring account = L".\\" + std::wstring(user);
    InstallName name;
    RunResult run = RunTendroWithInput({L"--install=" + *name, L"--account=" + std::wstring(user),
                                        L"-s", L"web"}, "pa55word\n");
    ASSERT_EQ(run.exitCode, 0u) << run.outText;
    const std::wstring readable = Protected + L"(A;OICI;KR;;;" + AccountSid(user) + L")";
    run = RunTendroWithInput({L"--install=" + *name, L"-s", L"db"}, "");
    ASSERT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Init", L" as " + account + L";")) << run.outText;
    EXPECT_EQ(ReadConfig(*name).account, account);
    EXPECT_EQ(ParametersDacl(*name), readable);

    // The Parameters key takes no values now: the update to LocalService fails after the
    // account was changed, and the undo gives the service its account back, not its password.
    RegKey key;
    LocalMemory noWrite;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(D;OICI;0x2;;;WD)(A;OICI;KA;;;WD)", SDDL_REVISION_1, noWrite.put(), nullptr));
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath(*name).c_str(), 0, WRITE_DAC,
                              key.put()), ERROR_SUCCESS);
    ASSERT_EQ(SetRegKeyDacl(key.get(), noWrite.get()), ERROR_SUCCESS);
    run = RunTendroWithInput({L"--install=" + *name, L"--account=LocalService", L"-s", L"db"}, "");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(HasLine(run, L"Err!", L"; service " + *name + L" runs as " + account +
                                          L" again, but its password could not be put back: "
                                          L"give it again with tendro.exe --install=" + *name +
                                          L" --account=" + account + L" and the options"))
        << run.outText;
    EXPECT_EQ(ReadConfig(*name).account, account);
}

// Who can take over tendro.exe's path, decided on DACLs as SDDL: the program, its folder and
// a folder above (a system drive's root as Windows has it: every user may add a folder there).
TEST(ProgramPathSecurity, WhoCanTakeItOver) {
    const std::wstring admin = L"S-1-5-21-1-2-3-1001", user = L"S-1-5-21-1-2-3-1002";
    const std::wstring ti = L"S-1-5-80-956008885-3572952549-2243434932-2563963394-2164473548";
    const SidSet trusted{L"S-1-5-18", L"S-1-5-32-544", ti, admin};
    const std::wstring root =
        L"O:SYD:PAI(A;OICIIO;FA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
        L"(A;OICIIO;0x1301bf;;;AU)(A;;0x4;;;AU)";
    const std::wstring folder = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    const std::wstring file = L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
    const struct {
        const char* what;
        std::wstring file, folder, root;
        std::vector<std::wstring> threats;  // "INDEX SID", " owner" when it is the owner
        int reparse = -1;                   // the index of a junction (its target's DACL read)
    } cases[] = {
        {"admins and the system only", file, folder, root, {}},
        {"a folder made under C:\\ by an administrator: users may modify it",
         L"O:" + admin + L"D:(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1301bf;;;AU)",
         L"O:" + admin + L"D:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1301bf;;;AU)", root,
         {L"0 S-1-5-11", L"1 S-1-5-11"}},
        {"a folder made by a user", file, L"O:" + user + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;" + user + L")",
         root, {L"1 " + user + L" owner", L"1 " + user}},
        {"no DACL above", file, folder, L"O:BA", {L"2 S-1-1-0"}},
        {"the program writable through GENERIC_WRITE", L"O:BAD:(A;;GW;;;BU)", folder, root,
         {L"0 S-1-5-32-545"}},
        {"adding files above is no threat, deleting a child is",
         file, folder, L"O:BAD:(A;;GW;;;BU)(A;;0x40;;;IU)", {L"2 S-1-5-4"}},
        {"the owner's rights, TrustedInstaller, inherit-only and deny entries",
         L"O:" + ti + L"D:(A;;FA;;;OW)(A;;FA;;;" + ti + L")(D;;FA;;;BU)",
         L"O:" + admin + L"D:(A;OICIIO;FA;;;BU)(A;;FA;;;OW)", root, {}},
        {"a deleting right on the program's folder", file, L"O:BAD:(A;;SD;;;WD)", root, {L"1 S-1-1-0"}},
        {"an untrusted owner's rights", L"O:" + user + L"D:(A;;FA;;;OW)", folder, root,
         {L"0 " + user + L" owner", L"0 " + user}},
        {"a junction above, whatever its target's DACL", file, folder, root, {L"1 reparse"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<PathSecurity> chain{{L"C:\\T\\tendro.exe", c.file, PathSecurity::Program},
                                        {L"C:\\T", c.folder, PathSecurity::ProgramFolder},
                                        {L"C:\\", c.root, PathSecurity::FolderAbove}};
        if (c.reparse >= 0) chain[c.reparse].reparsePoint = true;
        std::vector<std::wstring> found;
        for (const PathThreat& t : FindPathThreats(chain, trusted)) {
            size_t index = 0;
            while (chain[index].path != t.path) ++index;
            found.push_back(std::to_wstring(index) + L" " + (t.reparsePoint ? L"reparse" : t.sid) +
                            (t.owner ? L" owner" : L""));
        }
        EXPECT_EQ(found, c.threats);
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

// End to end: a tendro.exe in a folder that everyone may change is not installed; the line
// names the folder and the account.
TEST(ProgramPathSecurity, AnInstallFromAFolderThatEveryoneMayChangeIsRefused) {
    TempFolder folder(BinaryDir() + UniqueServiceName(L"OpenDir"));
    const std::wstring exe = folder.File(L"tendro.exe");
    ASSERT_TRUE(::CopyFileW(ProgramPath(L"tendro.exe").c_str(), exe.c_str(), FALSE));
    const std::wstring path = exe.substr(0, exe.rfind(L'\\'));
    LocalMemory open;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;WD)", SDDL_REVISION_1, open.put(), nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(open.get(), &present, &dacl, &defaulted);
    ASSERT_EQ(::SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, dacl, nullptr), 0u);
    InstallName name;
    RunResult run = RunProgram(exe, {L"--install=" + *name, L"-s", L"web"});
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_EQ(run.out.size(), 1u) << run.outText;
    EXPECT_TRUE(HasLine(run, L"Err!", L"Not installed: " + AccountName(L"S-1-1-0") +
                                          L" may change or replace " + path +
                                          L", so it could run another program as the service; "
                                          L"put tendro.exe in a folder that only administrators "
                                          L"can change, such as %ProgramFiles%\\Tendro"))
        << run.outText;
    EXPECT_FALSE(ReadConfig(*name).exists);
}

// The default log folder: refused when missing (a service that is not an administrator would
// own it), as a reparse point, with an owner other than a trusted account, or when others may
// add files (Wine shows none of them: every file is owned by its one user, no folder is a
// junction, no DACL is inherited). The DACL that an install gives a folder that is there
// keeps the accounts of earlier installs and passes.
TEST(LogFolderSecurity, ReparsePointsAndOwners) {
    const SidSet trusted{L"S-1-5-18", L"S-1-5-32-544"};
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    const std::wstring mine = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", ns = L"(A;OICI;0x1301bf;;;S-1-5-20)";
    const struct {
        DWORD attributes;
        std::wstring security;
        std::wstring refusal;       // its start after "Won't log into folder F: "
        std::wstring afterInstall;  // the DACL an install for NetworkService gives it
    } cases[] = {
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
}

// A service whose start-up fails before its log file is open (that file cannot be opened, or
// a stored option is refused) says why in its default log file, in the folder that the
// install made; that folder gives nobody but the trusted accounts any right.
TEST(LogFolderSecurity, AFailedStartUpIsLoggedInTheDefaultFile) {
    const struct {
        std::vector<std::wstring> stored;  // written over the installed options
        std::wstring line;
    } cases[] = {
        {{L"-s", L"web", L"--log-file=C:\\no\\such\\folder\\t.log"},
         L"Invalid value for option --log-file: \"C:\\no\\such\\folder\\t.log\" (can't open it: " +
             SystemMessage(ERROR_PATH_NOT_FOUND)},
        {{L"-s", L"web", L"--bogus"}, L"Unknown option --bogus"},
    };
    for (const auto& c : cases) {
        InstallName name;
        const std::wstring log = DefaultLogFilePath(*name), folder = log.substr(0, log.rfind(L'\\'));
        const bool missing = ::RemoveDirectoryW(folder.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
        RunResult run = Install(*name, {L"-s", L"web", L"--account=LocalService"});
        ASSERT_EQ(run.exitCode, 0u) << run.outText;
        EXPECT_EQ(HasLine(run, L"Init", L"Made folder " + folder), missing) << run.outText;
        std::vector<PathSecurity> made{{folder, L"", PathSecurity::ProgramFolder}};
        PSECURITY_DESCRIPTOR raw = nullptr;
        PSID owner = nullptr;
        PACL dacl = nullptr;
        ASSERT_EQ(::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          &owner, nullptr, &dacl, nullptr, &raw), 0u);
        LocalMemory security(raw), text;
        ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            raw, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, reinterpret_cast<wchar_t**>(text.put()), nullptr));
        made[0].sddl = static_cast<const wchar_t*>(text.get());
        // Windows keeps the DACL as made; Wine keeps what its owner and everyone may do.
        SidSet mayChange = TrustedAccounts();
        mayChange.insert(L"S-1-5-19");  // LocalService: modify
        if (missing) {
            EXPECT_TRUE(FindPathThreats(made, mayChange).empty()) << ToNarrow(made[0].sddl);
        }

        RegKey key;
        ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath(*name).c_str(), 0,
                                  KEY_SET_VALUE, key.put()), ERROR_SUCCESS);
        ASSERT_EQ(WriteRegMultiString(key.get(), StoredOptionsValue, c.stored), ERROR_SUCCESS);
        ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle service(::OpenServiceW(scm.get(), (*name).c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
        ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr));
        SERVICE_STATUS status{};
        const DWORD begin = ::GetTickCount();
        while (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
               ::GetTickCount() - begin < 20000)
            ::Sleep(20);
        EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
        EXPECT_EQ(status.dwServiceSpecificExitCode, 1u);
        const std::wstring content = ToWide(ReadWhole(log).value_or(""), CP_UTF8);
        EXPECT_EQ(content.rfind(L"Err!: ", 0), 0u) << ToNarrow(content);
        EXPECT_NE(content.find(c.line), std::wstring::npos) << ToNarrow(content);
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

TEST(ServiceInstall, UninstallAllRemovesTheServicesOfThisProgramOnly) {
    // Two services of this tendro.exe, one of a tendro.exe in another folder (never started,
    // so its file need not be there).
    InstallName first, second, elsewhere;
    for (const InstallName* name : {&first, &second, &elsewhere})
        ASSERT_EQ(Install(**name, {L"-s", L"web"}).exitCode, 0u);
    std::wstring otherPath = L"\"C:\\Other\\tendro.exe\" --service=" + *elsewhere;
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
    EXPECT_TRUE(HasLine(run, L"Init", L"No Tendro service runs " + ProgramPath(L"tendro.exe")))
        << run.outText;
}

}  // namespace
}  // namespace tendro::test
