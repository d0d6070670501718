#include "servicemode/install.h"
#include "servicemode/service_main.h"
#include "logfile/log_file.h"

#include <windows.h>
#include <sddl.h>
#include <winsvc.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "cmdline/cmdline_parser.h"
#include "common/error.h"
#include "common/handle.h"
#include "common/registry.h"
#include "common/stop_signal.h"
#include "common/text.h"
#include "eventlog/event_source.h"
#include "hostproduct/contract.h"
#include "log/log.h"
#include "process/child_process.h"
#include "servicemode/account.h"
#include "servicemode/apply_options.h"
#include "servicemode/file_security.h"
#include "servicemode/stored_options.h"
#include "servicemode/uninstall_all.h"

namespace tendro {

namespace {

// A Tendro stopped during a failure response takes up to its stop budget, and then the calls
// that follow it: the uninstall waits for the budget and a margin.
constexpr DWORD StopWaitMs = StopBudgetMs + 30000;
constexpr DWORD StopPollMs = 100;
constexpr const wchar_t* LocalSystemName = L"LocalSystem";
// SYSTEM and Administrators full control, nothing inherited; a read ACE for the account is
// appended when the service has one.
constexpr const wchar_t* ParametersDacl = L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";

// Steps that undo a failing install, newest first; nothing when the install went through.
class UndoSteps {
public:
    ~UndoSteps() {
        if (!keep_)
            for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) (*step)();
    }
    void Add(std::function<void()> step) { steps_.push_back(std::move(step)); }
    void Keep() { keep_ = true; }

private:
    std::vector<std::function<void()>> steps_;
    bool keep_ = false;
};

// The arguments as typed: argv with the -l passwords that the parse masked, so they are
// taken from the process's own command line, split as the runtime splits it.
void TypedArguments(int argc, wchar_t** argv, ArgumentCopies& typed) {
    std::wstring raw = ::GetCommandLineW();
    std::vector<SplitArgument> split = SplitCommandLine(raw);
    SecureErase(raw);
    bool same = split.size() == static_cast<size_t>(argc);
    for (int i = 0; same && i < argc; ++i)
        same = argv[i] && split[static_cast<size_t>(i)].text.size() == wcslen(argv[i]);
    if (same) {
        typed.items().reserve(split.size());
        for (const SplitArgument& argument : split) typed.items().push_back(argument.text);
    }
    EraseSplit(split);
    if (!same) FailServiceCommand(0, L"Can't read the command line as it was typed");
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

// The pointers that the parsers take, ending with a null.
std::vector<wchar_t*> ArgumentPointers(ArgumentCopies& copies) {
    std::vector<wchar_t*> pointers;
    for (std::wstring& item : copies.items()) pointers.push_back(item.data());
    pointers.push_back(nullptr);
    return pointers;
}

// A path option (--log-file=PATH, --metrics=PATH, ...) with its path made whole from the
// current folder: the service runs in another one. Any other argument as it is. A relative
// path is refused in the Windows folder (where an elevated prompt and the installer's actions
// start): it would put the file among the system's.
std::wstring WholePathOption(const std::wstring& argument) {
    const size_t equals = argument.find(L'=');
    if (!StartsWith(argument, L"--") || equals == std::wstring::npos || equals + 1 == argument.size() ||
        !TakesPath(std::wstring_view(argument).substr(2, equals - 2)))
        return argument;
    const std::wstring path = argument.substr(equals + 1);
    const bool isWhole = (path.size() > 2 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
                       StartsWith(path, L"\\\\") || StartsWith(path, L"//");
    wchar_t windows[MAX_PATH + 1], current[MAX_PATH + 1];
    const UINT w = ::GetWindowsDirectoryW(windows, MAX_PATH + 1);
    const DWORD c = ::GetCurrentDirectoryW(MAX_PATH + 1, current);
    if (!isWhole && w && w <= MAX_PATH && c && c <= MAX_PATH &&
        ::CompareStringOrdinal(current, static_cast<int>(std::min<DWORD>(w, c)), windows,
                               static_cast<int>(w), TRUE) == CSTR_EQUAL &&
        (c == w || current[w] == L'\\'))
        FailServiceCommand(0, argument + L": a relative path would start from " + current +
                                  L", the current folder: give the whole path");
    DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring whole(size, L'\0');
    DWORD length = size ? ::GetFullPathNameW(path.c_str(), size, whole.data(), nullptr) : 0;
    if (length == 0 || length >= size)
        FailServiceCommand(::GetLastError(), L"Can't make the path of " + argument + L" whole");
    whole.resize(length);
    return argument.substr(0, equals + 1) + whole;
}

// What --install checked in OPTIONS and shows of them.
struct CheckedOptions {
    std::wstring description;
    std::wstring shown;    // as the "CLI:" line shows them: passwords masked
    std::wstring logFile;
};

std::wstring JoinNames(const ServiceList& names) {
    std::wstring text;
    for (const std::wstring& name : names) text += (text.empty() ? L"" : L", ") + name;
    return text;
}

CheckedOptions CheckOptions(const std::vector<std::wstring>& stored, const std::wstring& name) {
    for (const std::wstring& argument : stored) {
        if (argument.empty()) FailServiceCommand(0, L"--install cannot store an empty argument");
        if (StartsWith(argument, L"--service"))  // the service manager's own form
            FailServiceCommand(0, L"--install takes no --service: the service adds it itself");
        // Another service command would run in place of the service (the parse keeps the last).
        if (StartsWith(argument, L"--install") || StartsWith(argument, L"--uninstall"))
            FailServiceCommand(0, L"--install takes no " + argument.substr(0, argument.find(L'=')) +
                                      L" among the options it stores");
    }
    ArgumentCopies typed, parsed;
    for (ArgumentCopies* copy : {&typed, &parsed}) {
        copy->items().reserve(stored.size() + 1);
        copy->items().push_back(L"tendro.exe");
        copy->items().insert(copy->items().end(), stored.begin(), stored.end());
    }
    std::vector<wchar_t*> pointers = ArgumentPointers(parsed);
    int count = static_cast<int>(pointers.size() - 1);
    LongOptions longOptions;
    if (std::optional<std::wstring> refusal = ParseLongOptions(count, pointers.data(), longOptions))
        FailServiceCommand(0, *refusal);
    CmdLineParser settings;
    settings.ParseCommandLine(pointers.data(), count, LocalMachineNames{});
    settings.ErasePasswords();
    if (settings.Has(CmdLineParser::RunOnce) || longOptions.check)
        FailServiceCommand(0, std::wstring(L"--install takes no ") +
                                  (longOptions.check ? L"--check" : L"-o") +
                                  L": a service never ends after one pass");
    bool all = settings.Has(CmdLineParser::MonitorAll);
    if (settings.specifiedServices.empty() && !all)
        FailServiceCommand(0, L"--install needs the services to keep running: -s NAME or -a");

    CheckedOptions checked;
    std::wstring group = JoinNames(settings.specifiedServices);
    if (all)
        group += (group.empty() ? L"" : L" and ") + std::wstring(L"the services of ") +
                 host::DefaultProductName;
    checked.description = L"Keeps services running: " + group;

    // Built in storage reserved once, so that no copy of an -l value is left behind.
    size_t room = 16;
    for (const std::wstring& argument : stored) room += 2 * argument.size() + 3;
    std::wstring raw;
    raw.reserve(room);
    raw = L"tendro.exe";
    for (const std::wstring& argument : stored) {
        std::wstring quoted = quote_argument(argument);
        raw += L' ';
        raw += quoted;
        SecureErase(quoted);
    }
    MaskMalformedCredentials(parsed.items(), typed.items());
    std::wstring line = MaskCommandLine(raw, typed.items(), parsed.items());
    SecureErase(raw);
    checked.shown = line.substr(std::min(line.size(), wcslen(L"tendro.exe ")));
    SecureErase(line);

    for (const std::wstring& argument : stored)
        if (StartsWith(argument, L"--log-file=")) checked.logFile = argument.substr(11);
    if (checked.logFile.empty()) checked.logFile = DefaultLogFilePath(name);
    return checked;
}

std::wstring ExecutablePath() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) FailServiceCommand(::GetLastError(), L"Can't read the path of tendro.exe");
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

ScHandle OpenServiceManager(DWORD access) {
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, access));
    if (!scm) FailServiceCommand(::GetLastError(), L"Can't open the service manager");
    return scm;
}

// The service's configuration; its texts point into `buffer`.
QUERY_SERVICE_CONFIGW* QueryConfig(SC_HANDLE service, const std::wstring& name,
                                   std::vector<BYTE>& buffer) {
    DWORD needed = 0;
    ::QueryServiceConfigW(service, nullptr, 0, &needed);
    buffer.assign(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW), 0);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed))
        FailServiceCommand(::GetLastError(), L"Can't read the configuration of service " + name);
    return config;
}

std::wstring Text(const wchar_t* text) { return text ? text : L""; }

// Opens NAME when it is a Tendro service, with `access`; empty when it is not installed.
// Any other service is refused before anything of it is opened for change.
ScHandle OpenTendroService(SC_HANDLE scm, const std::wstring& name, DWORD access) {
    ScHandle query(::OpenServiceW(scm, name.c_str(), SERVICE_QUERY_CONFIG));
    if (!query) {
        DWORD error = ::GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) return {};
        FailServiceCommand(error, L"Can't open service " + name);
    }
    std::vector<BYTE> buffer;
    if (!IsTendroService(Text(QueryConfig(query.get(), name, buffer)->lpBinaryPathName), name))
        FailServiceCommand(0, L"Service " + name + L" is not a Tendro service: left as it is");
    ScHandle service(::OpenServiceW(scm, name.c_str(), access));
    if (!service) FailServiceCommand(::GetLastError(), L"Can't open service " + name);
    return service;
}

void SetDescription(SC_HANDLE service, const std::wstring& name, std::wstring description) {
    SERVICE_DESCRIPTIONW info{description.data()};
    if (!::ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &info))
        FailServiceCommand(::GetLastError(), L"Can't set the description of service " + name);
}

std::wstring ReadDescription(SC_HANDLE service) {
    DWORD needed = 0;
    ::QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed ? needed : sizeof(SERVICE_DESCRIPTIONW));
    if (!::QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                                static_cast<DWORD>(buffer.size()), &needed))
        return {};
    return Text(reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data())->lpDescription);
}

// A setting that the service can do without (a service manager that lacks it answers with
// an error): its failure is an Info line, and the install goes on.
bool SetOptionalConfig(SC_HANDLE service, DWORD level, void* info, const wchar_t* what) {
    if (::ChangeServiceConfig2W(service, level, info)) return true;
    WriteLog(LogInfo, std::wstring(what) + L" not set: " + WindowsErrorText(::GetLastError()));
    return false;
}

// Description, the delayed automatic start and the failure actions: restart after 10 s, 30 s
// and 60 s, the count reset after a day, also when Tendro ends with an error of its own.
// True when the delay was set.
bool ConfigureService(SC_HANDLE service, const std::wstring& name,
                      const std::wstring& description) {
    SetDescription(service, name, description);
    // Without the delay the service still starts at boot.
    SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
    bool delay = SetOptionalConfig(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed,
                                   L"Delayed automatic start");
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 10000},
                           {SC_ACTION_RESTART, 30000},
                           {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSW failure{86400, nullptr, nullptr, 3, actions};
    if (!::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
        FailServiceCommand(::GetLastError(), L"Can't set the failure actions of service " + name);
    // Without the flag the actions still apply when Tendro's process ends unexpectedly.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    SetOptionalConfig(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag,
                      L"Failure actions on non-crash failures");
    return delay;
}

// Writes the Parameters key: its protected DACL (at creation, and again over an existing key)
// and the options. What was there before is put back by `undo`. Returned: what stores the
// options of before again, saying so (the end of an Err! line).
std::function<std::wstring()> WriteParameters(const std::wstring& name,
                                              const std::vector<std::wstring>& stored,
                                              const ServiceAccount& account, UndoSteps& undo) {
    std::wstring sddl = ParametersDacl;
    if (!account.sid.empty()) sddl += L"(A;OICI;KR;;;" + account.sid + L")";
    LocalMemory security;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                 security.put(), nullptr))
        FailServiceCommand(::GetLastError(), L"Can't build the security of the Parameters key");
    std::wstring path = ParametersKeyPath(name);
    RegKey key;
    bool created = false;
    LSTATUS status = CreateRegKey(HKEY_LOCAL_MACHINE, path, security.get(),
                                  KEY_QUERY_VALUE | KEY_SET_VALUE | READ_CONTROL | WRITE_DAC, key,
                                  &created);
    if (status != ERROR_SUCCESS) FailServiceCommand(status, L"Can't create the key HKLM\\" + path);
    auto oldOptions = std::make_shared<ArgumentCopies>();  // -l passwords: zeroed when they go
    bool hadOptions = !created &&
        ReadRegMultiString(key.get(), StoredOptionsValue, oldOptions->items()) == ERROR_SUCCESS;
    auto putBack = [oldOptions, hadOptions](HKEY restore) {
        return hadOptions ? WriteRegMultiString(restore, StoredOptionsValue, oldOptions->items())
                          : ::RegDeleteValueW(restore, StoredOptionsValue);
    };
    if (created) {
        undo.Add([path] { DeleteRegTree(HKEY_LOCAL_MACHINE, path); });
    } else {
        auto oldDacl = std::make_shared<std::vector<BYTE>>();
        bool hadDacl = ReadRegKeyDacl(key.get(), *oldDacl) == ERROR_SUCCESS;
        undo.Add([path, oldDacl, hadDacl, putBack] {
            RegKey restore;
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE | WRITE_DAC,
                                restore.put()) != ERROR_SUCCESS)
                return;
            putBack(restore.get());
            if (hadDacl) SetRegKeyDacl(restore.get(), oldDacl->data());
        });
    }
    // Also over a key just created: a registry that does not apply the security given at
    // creation (Wine's) would otherwise leave the key readable by every user.
    status = SetRegKeyDacl(key.get(), security.get());
    if (status != ERROR_SUCCESS)
        FailServiceCommand(status, L"Can't set the security of the key HKLM\\" + path);
    status = WriteRegMultiString(key.get(), StoredOptionsValue, stored);
    if (status != ERROR_SUCCESS)
        FailServiceCommand(status, L"Can't write the options to HKLM\\" + path);
    return [path, putBack] {
        RegKey restore;
        LSTATUS error = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE,
                                        restore.put());
        if (error == ERROR_SUCCESS) error = putBack(restore.get());
        return error == ERROR_SUCCESS
                   ? std::wstring(L"; the options of before are stored again")
                   : L"; the options of before could not be stored again: " +
                         WindowsErrorText(static_cast<DWORD>(error));
    };
}

std::wstring LogFolderOf(const std::wstring& name) {
    const std::wstring path = DefaultLogFilePath(name);
    return path.substr(0, path.rfind(L'\\'));
}

// The default log folder (where a service says why its start-up failed, whatever its log
// file): made when missing, with a protected DACL; one that is there, when its owner may be
// trusted, gets that DACL with this service's account added. True when it was made.
bool MakeLogFolder(const std::wstring& name, const ServiceAccount& account) {
    const std::wstring folder = LogFolderOf(name);
    bool created = false;
    if (DWORD error = CreateLogFolder(folder, account.sid, created))
        FailServiceCommand(error, L"Can't create folder " + folder);
    // One that was there: its owner and kind before its DACL is replaced.
    std::wstring refusal = CheckLogFolder(folder, account.sid, created);
    if (!created && refusal.empty()) {
        if (DWORD error = ProtectLogFolder(folder, account.sid))
            FailServiceCommand(error, L"Can't set the security of folder " + folder);
        refusal = CheckLogFolder(folder, account.sid);
    }
    if (!refusal.empty()) FailServiceCommand(0, refusal);
    return created;
}

// The configuration that an update replaces, to be put back when a later step fails.
struct SavedConfig {
    DWORD type, start, errorControl;
    std::wstring binaryPath, account, displayName, description;
};

// The Event Log source, for the tendro.exe of the service installed (whatever was there).
void RegisterEventSourceOf(const std::wstring& exePath) {
    LSTATUS status = RegisterTendroEventSource(exePath);
    if (status != ERROR_SUCCESS)
        FailServiceCommand(status, L"Can't register the Event Log source: HKLM\\" +
                                       EventSourceKeyPath());
}

// The last Tendro service takes the Event Log source with it.
void RemoveEventSourceUnlessUsed(const std::wstring& removed) {
    bool others = true;
    try {
        others = OtherTendroServiceInstalled(removed);
    } catch (const std::system_error& error) {
        WriteLog(LogInfo, L"Event Log source kept: " + DescribeSystemError(error));
    }
    if (others) return;
    LSTATUS status = RemoveTendroEventSource();
    if (status != ERROR_SUCCESS)
        FailServiceCommand(status, L"Can't remove the key HKLM\\" + EventSourceKeyPath());
    WriteLog(LogInfo, L"Removed the Event Log source Tendro: no other Tendro service is left");
}

int Install(int argc, wchar_t** argv, const LongOptions& options) {
    const std::wstring& name = options.install;
    ArgumentCopies typed;
    TypedArguments(argc, argv, typed);
    ArgumentCopies stored;
    stored.items().reserve(typed.items().size());
    bool command = false;  // the first --install=: any other is refused with the options
    for (size_t i = 1; i < typed.items().size(); ++i) {
        const std::wstring& argument = typed.items()[i];
        if (!command && StartsWith(argument, L"--install="))
            command = true;
        else if (!StartsWith(argument, L"--account="))
            stored.items().push_back(WholePathOption(argument));
    }
    CheckedOptions checked = CheckOptions(stored.items(), name);
    ServiceAccount account = ResolveServiceAccount(options.account);
    Password password;
    if (account.needsPassword) ReadPassword(account.given, password);
    const bool accountGiven = !options.account.empty();
    // A managed account takes no password at all (null), the built-in ones an empty one.
    const wchar_t* passwordText = account.needsPassword ? password.get()
                                  : account.managed     ? nullptr
                                                        : L"";

    const std::wstring program = ExecutablePath();
    // A program that anyone else can change or replace would run as the service.
    std::wstring refused = NetworkPathRefusal(program, DriveTypeOf(program));
    if (refused.empty())
        refused = ProgramPathRefusal(FindPathThreats(ReadPathChain(program), TrustedAccounts()));
    if (!refused.empty()) FailServiceCommand(0, refused);
    std::wstring imagePath = TendroImagePath(program, name);
    std::wstring displayName = L"Tendro " + name;
    ScHandle scm = OpenServiceManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    ScHandle service = OpenTendroService(scm.get(), name, SERVICE_ALL_ACCESS);
    UndoSteps undo;  // after the handle that its steps use, so that it runs first
    bool update = static_cast<bool>(service);
    // What the Err! line adds when a later step fails: the undo puts an account back, never
    // its password.
    std::wstring lostPassword, newAccount;
    if (update) {
        std::vector<BYTE> buffer;
        QUERY_SERVICE_CONFIGW* old = QueryConfig(service.get(), name, buffer);
        SavedConfig saved{old->dwServiceType, old->dwStartType, old->dwErrorControl,
                          Text(old->lpBinaryPathName), Text(old->lpServiceStartName),
                          Text(old->lpDisplayName), ReadDescription(service.get())};
        // Without --account the service keeps the account it has (and its password).
        if (!accountGiven) account = AccountOfInstalledService(saved.account);
        const wchar_t* accountName =
            !accountGiven ? nullptr : account.name.empty() ? LocalSystemName : account.name.c_str();
        if (!::ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                    SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr, nullptr,
                                    nullptr, accountName, accountName ? passwordText : nullptr,
                                    displayName.c_str()))
            FailServiceCommand(::GetLastError(), L"Can't change service " + name);
        if (accountGiven && !EqualsNoCase(saved.account, accountName)) newAccount = accountName;
        if (!newAccount.empty() && AccountTakesPassword(saved.account))
            lostPassword = L"; service " + name + L" runs as " + saved.account +
                           L" again, but its password could not be put back: give it again with "
                           L"tendro.exe --install=" + quote_argument(name) + L" --account=" +
                           quote_argument(saved.account) + L" and the options";
        SC_HANDLE handle = service.get();
        undo.Add([handle, saved] {
            ::ChangeServiceConfigW(handle, saved.type, saved.start, saved.errorControl,
                                   saved.binaryPath.c_str(), nullptr, nullptr, nullptr,
                                   saved.account.c_str(), nullptr, saved.displayName.c_str());
            SERVICE_DESCRIPTIONW info{const_cast<wchar_t*>(saved.description.c_str())};
            ::ChangeServiceConfig2W(handle, SERVICE_CONFIG_DESCRIPTION, &info);
        });
    } else {
        // LocalSystem is named only on an update.
        const wchar_t* accountName = account.name.empty() ? nullptr : account.name.c_str();
        service.reset(::CreateServiceW(scm.get(), name.c_str(), displayName.c_str(),
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, imagePath.c_str(),
                                       nullptr, nullptr, nullptr, accountName,
                                       accountName ? passwordText : nullptr));
        if (!service) FailServiceCommand(::GetLastError(), L"Can't create service " + name);
        SC_HANDLE handle = service.get();
        undo.Add([handle, name] {
            DeleteRegTree(HKEY_LOCAL_MACHINE, ParametersKeyPath(name));
            ::DeleteService(handle);
        });
    }
    SecureErase(password.text());
    bool delayed = false, granted = false, madeFolder = false;
    std::function<std::wstring()> restoreOptions;
    try {
        delayed = ConfigureService(service.get(), name, checked.description);
        restoreOptions = WriteParameters(name, stored.items(), account, undo);
        RegisterEventSourceOf(program);
        granted = GrantServiceLogonRight(account);
        madeFolder = MakeLogFolder(name, account);
    } catch (ServiceCommandError& e) {
        e.after += lostPassword;
        throw;
    }
    undo.Keep();

    std::wstring accountText = account.name.empty() ? LocalSystemName : account.name;
    WriteLog(LogInit, (update ? L"Updated service " : L"Installed service ") + name + L" (\"" +
                          displayName + L"\"): " + imagePath);
    WriteLog(LogInit, std::wstring(L"Starts automatically at boot") +
                          (delayed ? L", delayed," : L"") + L" as " + accountText +
                          L"; restarted after 10 s, 30 s and 60 s when it fails");
    if (granted) WriteLog(LogInit, L"Granted " + account.given + L" the right to log on as a service");
    WriteLog(LogInit, L"Options: " + checked.shown);
    WriteLog(LogInit, L"Log file: " + checked.logFile);
    if (madeFolder)
        WriteLog(LogInit, L"Made folder " + LogFolderOf(name) +
                              L": only SYSTEM, Administrators and the service's account change it");
    if (update) return ApplyToRunningService(service.get(), name, account.sid, newAccount,
                                             restoreOptions);
    WriteLog(LogInit, L"Start it with: sc start " + quote_argument(name));
    return 0;
}

DWORD CurrentState(SC_HANDLE service, const std::wstring& name) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed))
        FailServiceCommand(::GetLastError(), L"Can't read the state of service " + name);
    return status.dwCurrentState;
}

int Uninstall(const LongOptions& options) {
    const std::wstring& name = options.uninstall;
    ScHandle scm = OpenServiceManager(SC_MANAGER_CONNECT);
    ScHandle service = OpenTendroService(
        scm.get(), name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_STOP | DELETE);
    if (!service) FailServiceCommand(0, L"Not installed: service " + name);
    bool stopped = false;
    if (CurrentState(service.get(), name) != SERVICE_STOPPED) {
        SERVICE_STATUS status{};
        if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
            ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE &&
            ::GetLastError() != ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
            FailServiceCommand(::GetLastError(), L"Can't stop service " + name);
        ULONGLONG deadline = ::GetTickCount64() + StopWaitMs;
        while (CurrentState(service.get(), name) != SERVICE_STOPPED) {
            if (::GetTickCount64() >= deadline)
                FailServiceCommand(0, L"Service " + name + L" did not stop within " +
                                          std::to_wstring(StopWaitMs / 1000) +
                                          L" s: not removed");
            ::Sleep(StopPollMs);
        }
        stopped = true;
    }
    if (!::DeleteService(service.get()))
        FailServiceCommand(::GetLastError(), L"Can't remove service " + name);
    service.reset();
    LSTATUS status = DeleteRegTree(HKEY_LOCAL_MACHINE, ParametersKeyPath(name));
    if (status != ERROR_SUCCESS)
        FailServiceCommand(status, L"Can't remove the key HKLM\\" + ParametersKeyPath(name));
    RemoveEventSourceUnlessUsed(name);
    WriteLog(LogInit, (stopped ? L"Stopped and removed service " : L"Removed service ") + name);
    return 0;
}

}  // namespace

std::optional<int> RunServiceCommand(int argc, wchar_t** argv, const LongOptions& options) {
    if (options.uninstallAll) return UninstallAll(argc, argv, options);
    bool install = !options.install.empty(), uninstall = !options.uninstall.empty();
    if (install && uninstall) {
        WriteLog(LogError, L"Options --install and --uninstall cannot be combined");
        return 1;
    }
    if (!install && !options.account.empty()) {
        WriteLog(LogError, L"Option --account is given only with --install");
        return 1;
    }
    if (!options.service.empty()) {
        // The service manager's command line is "tendro.exe" --service=NAME and nothing more.
        if (argc != 2 || install || uninstall) {
            WriteLog(LogError, L"Option --service takes no other arguments: the service's "
                               L"options are stored with --install");
            return 1;
        }
        return RunAsService(options.service);
    }
    if (!install && !uninstall) return std::nullopt;
    try {
        return install ? Install(argc, argv, options) : Uninstall(options);
    } catch (const ServiceCommandError& e) {
        std::wstring line = e.text;
        if (e.code != 0) line += L": " + WindowsErrorText(e.code);
        if (e.code == ERROR_ACCESS_DENIED)
            line += install ? L" (the install needs an elevated prompt)"
                            : L" (the uninstall needs an elevated prompt)";
        line += e.after;
        WriteLog(LogError, line);
        return 1;
    }
}

}  // namespace tendro
