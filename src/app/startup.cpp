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
#include "common/error.h"
#include "cmdline/long_options.h"
#include "hostproduct/com_error.h"
#include "hostproduct/host_product_info.h"
#include "log/log.h"
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

int RunTendro(int argc, wchar_t** argv) {
    LocalMachineNames localNames = BuildLocalMachineNames();
    SetupLevelWords();
    // Owned beside the settings; empty without long options.
    std::unique_ptr<Extensions> extensions;
    try {
        CmdLineParser settings;
        StrikeCounts strikeCounts;
        Connections connections;
        ServiceObjects services;

        if (argc <= 1) {
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
        LongOptions longOptions;
        std::optional<std::wstring> refusal = ParseLongOptions(argc, argv, longOptions);
        if (longOptions.help) {
            PrintUsage();
            WriteConsoleText(STD_OUTPUT_HANDLE, LongOptionsHelpText());
            return 0;
        }
        if (refusal) {
            WriteLog(LogError, *refusal);
            return 1;
        }
        if (auto code = RunServiceCommand(argc, argv, longOptions)) return *code;
        extensions = std::make_unique<Extensions>(longOptions);
        Verbosity = VerbosityFor(settings);
        if (auto code = extensions->OptionsRead(settings)) return *code;
        if (Verbosity >= LogInit) {
            WriteLog(LogInit, FormatText(L"Corvanta Tendro: Service Monitoring Utility v2.6.0 (%d)",
                                         static_cast<int>(::GetCurrentProcessId())));
            WriteLog(LogInit, L"CLI: " + LoggedCommandLine(original ? original->items()
                                                                    : std::vector<std::wstring>(),
                                                           argv, argc));
        }
        original.reset();

        bool hostProduct = DetectHostProduct();
        EnableDebugPrivilege();
        if (hostProduct && Verbosity >= LogInit)
            WriteLog(LogInit, HostProductInfo.productName + L" detected");
        settings.PrintSettings();
        if (hostProduct) settings.LoadCVServices();

        if (!settings.CheckSpecifiedServices(localNames) ||
            !settings.ConnectServiceManagers(connections) ||
            !settings.ValidateServices(connections, strikeCounts, services))
            return extensions->ProgramEnding(1);
        if (settings.monitoredServices.empty()) {
            WriteLog(LogError, L"At least one valid service needs to be specified!");
            return extensions->ProgramEnding(0);
        }
        if (auto refused = extensions->BeforeMonitoring(settings, services)) {
            WriteLog(LogError, *refused);
            return extensions->ProgramEnding(1);
        }
        RunMonitorCycle(settings, connections, strikeCounts, services, *extensions);
        return extensions->ProgramEnding(0);
    } catch (const std::system_error& e) {
        if (!extensions || !extensions->ReportSystemError(e))
            WriteConsoleText(STD_ERROR_HANDLE, DescribeSystemError(e) + L"\n");
        return extensions ? extensions->ProgramEnding(1) : 1;
    }
}

}  // namespace tendro
