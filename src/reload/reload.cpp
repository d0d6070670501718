#include "reload/reload.h"

#include <windows.h>

#include <optional>

#include "app/startup.h"
#include "common/error.h"
#include "common/handle.h"
#include "common/text.h"
#include "log/log.h"

namespace tendro {

namespace {

// What a service's options may not hold (as the install refuses it), "" when they are fine.
std::wstring NoPlaceInAService(const CmdLineParser& settings, const LongOptions& options) {
    if (settings.Has(CmdLineParser::ShowHelp) || options.help) return L"-h or --help";
    if (settings.Has(CmdLineParser::RunOnce) || options.check)
        return L"-o or --check (a service never ends after one pass)";
    if (!options.install.empty() || !options.uninstall.empty() || !options.service.empty())
        return L"--install, --uninstall or --service";
    return std::wstring();
}

}  // namespace

std::wstring OptionsAppliedLine(const std::wstring& serviceName) {
    return L"The new options of service " + serviceName + L" are applied";
}

std::wstring OptionsRefusedPrefix(const std::wstring& serviceName) {
    return L"The new options of service " + serviceName + L" are refused: ";
}

std::wstring ConfiguredAccount(const std::wstring& serviceName) {
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(scm ? ::OpenServiceW(scm.get(), serviceName.c_str(), SERVICE_QUERY_CONFIG)
                         : nullptr);
    DWORD needed = 0;
    if (!service) return std::wstring();
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed == 0 || !::QueryServiceConfigW(service.get(), config, needed, &needed) ||
        !config->lpServiceStartName)
        return std::wstring();
    return config->lpServiceStartName;
}

std::unique_ptr<MonitorRun> ReloadRun(MonitorRun& current, const RunBase& base,
                                      const std::wstring& serviceName,
                                      const OptionsReader& readOptions,
                                      const std::wstring& startAccount,
                                      ReloadOutcome& outcome) {
    WriteLog(LogInit, L"Reading the options of service " + serviceName + L" again");
    const uint32_t verbosity = Verbosity;
    ErrorCapture errors;
    auto refuse = [&](const std::wstring& why) -> std::unique_ptr<MonitorRun> {
        Verbosity = verbosity;
        WriteLog(LogError, OptionsRefusedPrefix(serviceName) + why +
                               L"; Tendro goes on with the options it has");
        outcome = {false, std::move(errors.texts)};
        return nullptr;
    };
    auto note = [&](const std::wstring& text) {
        WriteLog(LogInit, text);
        outcome.lines.push_back(text);
    };
    outcome = {};
    ArgumentCopies arguments;  // -l passwords: zeroed when they go
    try {
        readOptions(arguments);
    } catch (const std::system_error& error) {
        return refuse(L"they cannot be read: " + DescribeSystemError(error));
    }
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments.items()) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(arguments.items().size());

    auto next = std::make_unique<MonitorRun>();
    next->replaces = true;
    std::optional<ArgumentCopies> original;
    if (CommandLineIsLogged(argc, argv.data())) original.emplace(argv.data(), argc);
    next->settings.ParseCommandLine(argv.data(), argc, base.localNames);
    if (auto refusal = ParseLongOptions(argc, argv.data(), next->longOptions))
        return refuse(*refusal);
    if (std::wstring bad = NoPlaceInAService(next->settings, next->longOptions); !bad.empty())
        return refuse(L"a service's options take no " + bad);

    // What only a start can change.
    const LongOptions& now = current.longOptions;
    const LongOptions& then = next->longOptions;
    if (then.logFile != now.logFile || then.logSizeMb != now.logSizeMb ||
        then.logKeep != now.logKeep)
        note(L"The new log file options of service " + serviceName +
             L" take effect at its next start");
    if (std::wstring account = ConfiguredAccount(serviceName);
        !account.empty() && !EqualsNoCase(account, startAccount))
        note(L"The new account of service " + serviceName + L" (" + account +
             L") takes effect at its next start");

    Verbosity = VerbosityFor(next->settings);
    std::optional<int> code;
    try {
        code = BuildRun(*next, base, argc, argv.data(), original);
    } catch (const std::system_error& error) {
        return refuse(DescribeSystemError(error));
    }
    if (code) return refuse(*code == 0 ? L"no valid service" : L"the lines above say why");
    CarryHistory(current, *next);
    WriteLog(LogInit, OptionsAppliedLine(serviceName));
    outcome.applied = true;
    return next;
}

}  // namespace tendro
