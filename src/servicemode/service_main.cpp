#include "servicemode/service_main.h"

#include <objbase.h>
#include <windows.h>

#include <memory>
#include <vector>

#include "app/startup.h"
#include "common/error.h"
#include "log/log.h"
#include "reload/reload.h"
#include "servicemode/service_controls.h"
#include "servicemode/service_status.h"
#include "servicemode/stored_options.h"

namespace tendro {

namespace {

// The one service of this process. The dispatcher calls ServiceMain without a context of
// ours, so it is found here; it lives for the whole of RunAsService.
struct ServiceRun {
    std::wstring name;
    StopSignal stop;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    std::unique_ptr<ServiceStatusReporter> reporter;
    std::unique_ptr<ServiceControls> controls;
};
ServiceRun* currentRun = nullptr;

DWORD WINAPI HandleControl(DWORD control, DWORD eventType, void* eventData, void* context) {
    (void)eventType, (void)eventData;
    return static_cast<ServiceRun*>(context)->reporter->Control(control);
}

// The stored options as a console run takes them: the program's path first.
int RunStoredOptions(ServiceRun& run) {
    ArgumentCopies arguments;  // -l passwords: zeroed when they go
    RunEnvironment environment;
    environment.serviceName = run.name;
    environment.stop = &run.stop;
    environment.hooks = run.controls.get();
    environment.runBegins = [&run](const MonitorRun& begins) {
        run.controls->SetPauseLimit(begins.longOptions.pauseLimitSeconds);
    };
    environment.nextRun = [&run, account = ConfiguredAccount(run.name)](MonitorRun& current,
                                                                       const RunBase& base) {
        return ReloadRun(current, base, run.name,
                         [&run](ArgumentCopies& arguments) {
                             ReadServiceArguments(run.name, arguments);
                         },
                         account);
    };
    try {
        ReadServiceArguments(run.name, arguments);
    } catch (const std::system_error& error) {
        // Said in the service's log, as every reason a run ends with.
        environment.startupError = FormatText(L"Can't read the options of service %s: ",
                                              run.name.c_str()) +
                                   DescribeSystemError(error);
    }
    if (arguments.items().empty()) arguments.items().emplace_back(L"tendro.exe");
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments.items()) argv.push_back(argument.data());
    argv.push_back(nullptr);
    return RunTendro(static_cast<int>(arguments.items().size()), argv.data(), std::move(environment));
}

void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
    (void)argc, (void)argv;
    ServiceRun& run = *currentRun;
    run.statusHandle = ::RegisterServiceCtrlHandlerExW(run.name.c_str(), HandleControl, &run);
    if (!run.statusHandle) return;
    run.reporter = std::make_unique<ServiceStatusReporter>(
        [&run](const SERVICE_STATUS& status) {
            SERVICE_STATUS copy = status;
            ::SetServiceStatus(run.statusHandle, &copy);
        },
        run.stop);
    run.controls = std::make_unique<ServiceControls>(*run.reporter, run.name);
    run.reporter->Listen([&run](DWORD control) { run.controls->Take(control); });
    run.reporter->StartPending();
    // The monitor runs on this thread: COM as the console run has it on its main thread.
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    int exitCode = RunStoredOptions(run);
    ::CoUninitialize();
    run.reporter->Listen(nullptr);
    run.reporter->Stopped(exitCode);
}

}  // namespace

int RunAsService(const std::wstring& name) {
    ServiceRun run;
    run.name = name;
    currentRun = &run;
    SERVICE_TABLE_ENTRYW table[] = {{run.name.data(), ServiceMain}, {nullptr, nullptr}};
    const bool dispatched = ::StartServiceCtrlDispatcherW(table) != 0;
    const DWORD error = ::GetLastError();
    currentRun = nullptr;
    if (dispatched) return 0;
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        WriteLog(LogError, FormatText(L"--service=%s is how the service manager starts the Tendro "
                                      L"service %s; install it with tendro.exe --install=%s "
                                      L"OPTIONS... and start it with sc start %s",
                                      name.c_str(), name.c_str(), name.c_str(), name.c_str()));
        return 1;
    }
    throw SystemError(error, "Can't connect to the service manager as service " +
                                 ToNarrow(name, CP_UTF8));
}

}  // namespace tendro
