#include "app/startup.h"

#include <fcntl.h>
#include <io.h>
#include <objbase.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "app/command_line.h"
#include "app/extensions.h"
#include "app/monitor.h"
#include "checkmode/check_mode.h"
#include "common/error.h"
#include "cmdline/long_options.h"
#include "eventlog/event_log.h"
#include "hostproduct/com_error.h"
#include "hostproduct/host_product_info.h"
#include "log/log.h"
#include "logfile/log_file.h"
#include "servicemode/install.h"

namespace tendro {

void PrepareProcess() {
    ::SetDllDirectoryW(L"");
    _setmode(_fileno(stdout), _O_U16TEXT);
    _setmode(_fileno(stderr), _O_U16TEXT);
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    InstallComErrorHandler();
}

LocalMachineNames BuildLocalMachineNames() {
    LocalMachineNames names{L"localhost", L"127.0.0.1"};
    for (COMPUTER_NAME_FORMAT format : {ComputerNameDnsHostname, ComputerNameNetBIOS,
                                        ComputerNamePhysicalDnsHostname,
                                        ComputerNamePhysicalNetBIOS}) {
        DWORD size = 0;
        ::GetComputerNameExW(format, nullptr, &size);
        if (size == 0) continue;
        std::vector<wchar_t> buffer(size + 1);
        if (::GetComputerNameExW(format, buffer.data(), &size) && size > 0)
            names.emplace(buffer.data(), size);
    }
    return names;
}

void SetupLevelWords() {
    SetLevelWord(LogError, L"Err!");
    SetLevelWord(LogInit, L"Init");
    SetLevelWord(LogInfo, L"Info");
}

uint32_t VerbosityFor(const CmdLineParser& settings) {
    if (settings.Has(CmdLineParser::VerboseMode)) return LogInfo;
    if (settings.Has(CmdLineParser::QuietMode)) return LogError;
    return LogInit;
}

void EnableDebugPrivilege() {
    Handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                            token.put()))
        ThrowLastError("Can't enable SeDebug privilege");
    TOKEN_PRIVILEGES privileges{};
    if (!::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid))
        return;  // an unknown privilege name: nothing to adjust
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // A privilege the account does not hold is no failure: the call still succeeds.
    if (!::AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof(privileges), nullptr,
                                 nullptr))
        ThrowLastError("Can't enable SeDebug privilege");
}

int RunTendro(int argc, wchar_t** argv, RunEnvironment environment) {
    const bool asService = !environment.serviceName.empty();
    StopSignal ownStop;
    const StopSignal& stop = environment.stop ? *environment.stop : ownStop;
    LocalMachineNames localNames = BuildLocalMachineNames();
    SetupLevelWords();
    // The log's sinks, owned by the run and installed once the options are read; until then
    // the log is the console's.
    std::unique_ptr<ConsoleSink> console;
    std::unique_ptr<CheckCapture> checkCapture;
    std::unique_ptr<LogFile> logFile;
    std::unique_ptr<EventLogReporter> eventLog;
    std::optional<LogSinks> sinks;
    // The run: its settings, connections, service objects and extensions.
    auto run = std::make_unique<MonitorRun>();
    try {
        CmdLineParser& settings = run->settings;

        if (argc <= 1 && environment.startupError.empty()) {
            PrintUsage();
            return 0;
        }
        // The arguments as typed, for the "CLI:" line only; zeroed when they go.
        std::optional<ArgumentCopies> original;
        if (CommandLineIsLogged(argc, argv)) original.emplace(argv, argc);
        settings.ParseCommandLine(argv, argc, localNames);
        if (settings.Has(CmdLineParser::ShowHelp)) {
            PrintUsage();
            return 0;
        }
        LongOptions& longOptions = run->longOptions;
        std::optional<std::wstring> refusal = ParseLongOptions(argc, argv, longOptions);
        if (longOptions.help) {
            PrintUsage();
            WriteConsoleText(STD_OUTPUT_HANDLE, LongOptionsHelpText());
            return 0;
        }
        Verbosity = VerbosityFor(settings);
        // A check run answers every start-up failure with its line, a refused option too.
        // (An --install that stores a --check is refused on the console.)
        const bool checkRun = CheckRequested(argc, argv) && longOptions.install.empty();
        // A service has no console: its log file is the log.
        if (!asService) console = MakeConsoleSink(checkRun, Verbosity);
        if (checkRun) checkCapture = std::make_unique<CheckCapture>();
        sinks.emplace();
        if (console) sinks->Add(*console);
        if (checkCapture) sinks->Add(*checkCapture);
        eventLog = MakeEventLog(longOptions, environment.serviceName, checkRun, stop);
        if (eventLog) sinks->Add(*eventLog);
        // The service commands end here, before a file of the run is opened; a service's
        // own options name none.
        if (!refusal && !asService)
            if (auto code = RunServiceCommand(argc, argv, longOptions)) return *code;
        if (!refusal) {
            std::wstring fileRefusal;
            logFile = OpenLogFileOf(longOptions, environment.serviceName, fileRefusal);
            if (logFile) sinks->Add(*logFile);
            if (!fileRefusal.empty()) refusal = fileRefusal;
        }
        if (!refusal && !environment.startupError.empty()) refusal = environment.startupError;
        if (refusal) {
            // A service has no console: when its log file is not open, its default one says why.
            if (asService && !logFile) {
                logFile = OpenStartupFailureLog(environment.serviceName);
                if (logFile) sinks->Add(*logFile);
            }
            WriteLog(LogError, *refusal);
            if (eventLog) eventLog->StartupFailed(*refusal);
            return checkCapture ? checkCapture->StartupFailed(1) : 1;
        }
        const RunBase base{localNames, stop, checkCapture.get(), environment.hooks,
                           eventLog.get()};
        if (auto code = BuildRun(*run, base, argc, argv, original))
            return run->extensions->ProgramEnding(*code);
        // A run swapped in begins afresh; a refused one leaves the current run going on.
        for (bool resumed = false;;) {
            if (!resumed && environment.runBegins) environment.runBegins(*run);
            if (!RunMonitorCycle(run->settings, run->connections, run->strikeCounts,
                                 run->services, *run->extensions, stop, resumed) ||
                !environment.nextRun)
                break;
            std::unique_ptr<MonitorRun> next = environment.nextRun(*run, base);
            resumed = !next;
            if (next) {
                run->extensions->RunReplaced();
                run = std::move(next);
            }
        }
        return run->extensions->ProgramEnding(0);
    } catch (const std::system_error& e) {
        // Standard error's line, and the log file's.
        const std::wstring line = DescribeSystemError(e);
        WriteConsoleText(STD_ERROR_HANDLE, line + L"\n");
        if (run->extensions) {
            run->extensions->ReportSystemError(e);
            return run->extensions->ProgramEnding(1);
        }
        if (eventLog) eventLog->StartupFailed(line);
        return checkCapture ? checkCapture->StartupFailed(1, line) : 1;
    }
}

}  // namespace tendro
