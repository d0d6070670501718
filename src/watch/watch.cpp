#include "watch/watch.h"

#include <windows.h>

#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "app/monitor.h"
#include "log/log.h"
#include "service/host_process.h"
#include "watch/service_notices.h"

namespace tendro {

namespace {

bool IsDownState(DWORD state) { return state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING; }

class Watch final : public MonitorHooks {
public:
    void Observe(const MonitorEvent& event) override {
        if (std::get_if<PassBegun>(&event)) {
            leftDown_.clear();
            startedByPass_.clear();
        } else if (const auto* found = std::get_if<ServiceFound>(&event)) {
            // What the pass leaves down itself: a service it did not find up (found down and,
            // with -p or a held restart, not started; not read; or stopped while a host
            // product's record says that it is not down), one it stopped or killed and did not
            // start again, and one whose start failed.
            if (!found->Up() || IsDownState(found->state)) leftDown_.insert(found->service.name);
        } else if (const auto* killed = std::get_if<ProcessKilled>(&event)) {
            leftDown_.insert(killed->service.name);
        } else if (const auto* stopping = std::get_if<ServiceStopping>(&event)) {
            leftDown_.insert(stopping->service.name);
        } else if (const auto* starting = std::get_if<ServiceStarting>(&event)) {
            leftDown_.erase(starting->service.name);
            startedByPass_.insert(starting->service.name);
        } else if (const auto* failure = std::get_if<StartFailure>(&event)) {
            leftDown_.insert(failure->service.name);
        } else if (const auto* ended = std::get_if<PassEnded>(&event)) {
            AtPassEnd(ended->settings, ended->services);
        }
    }

    void AtPassEnd(const CmdLineParser& settings, ServiceObjects& services) {
        processes_.clear();
        outsideChange_.clear();
        // -o and -f 0 have no pause to end early.
        if (settings.Has(CmdLineParser::RunOnce) || PassPauseMilliseconds(settings.frequency) == 0)
            return;

        // What the pass itself did (its own stops and starts) is no news.
        notices_.KeepOnly(services);
        notices_.DropQueued();
        for (const std::wstring& name : settings.monitoredServices) {
            auto found = services.find(name);
            if (found == services.end()) continue;
            ServiceControl& service = found->second;
            SERVICE_STATUS_PROCESS status{};
            if (!notices_.ReadStatus(service, status)) continue;
            if (IsDownState(status.dwCurrentState)) {
                DownAtPassEnd(name);
                continue;
            }
            if (status.dwCurrentState != SERVICE_RUNNING) continue;
            notices_.Arm(service);
            if (!service.machine.empty()) continue;
            DWORD pid = status.dwProcessId;
            if (service.isPlainService == 0) {
                HostProcessInfo program = GetHostProcessInfo(service);
                if (!IsHostProcessUp(program.state)) {
                    // Its program is down by the host product's record; one that the pass has
                    // just started may not be recorded yet.
                    if (startedByPass_.count(name) == 0) DownAtPassEnd(name);
                    continue;
                }
                pid = program.pid;
            }
            WatchProcess(service.name, pid);
        }
    }

    void PauseStarting(PauseWaits& waits) override {
        if (!outsideChange_.empty()) waits.WakeFor(std::exchange(outsideChange_, std::wstring()));
        notices_.Collect(&waits);
        waits.WaitAlertably();
        for (auto& process : processes_) {
            process->sink = &waits;
            process->wait.reset(::CreateThreadpoolWait(&ProcessEnded, process.get(), nullptr));
            // A process that cannot be waited for is left to the notices.
            if (process->wait) ::SetThreadpoolWait(process->wait.get(), process->handle.get(), nullptr);
        }
    }

    void PauseEnded(const std::wstring& wokenBy) override {
        if (!wokenBy.empty()) WriteLogFormat(LogInfo, L"Woken by a change of service %s", wokenBy);
        // The waits go (their callbacks done) before the handles that they wait on.
        processes_.clear();
        notices_.Collect(nullptr);
    }

private:
    // The monitored process of a local service, waited for on the thread pool during the pause.
    struct WatchedProcess {
        Handle handle;
        std::wstring name;
        PauseWaits* sink = nullptr;
        ThreadpoolWait wait;  // declared last: it goes first
    };

    static void CALLBACK ProcessEnded(PTP_CALLBACK_INSTANCE instance, void* context, PTP_WAIT wait,
                                      TP_WAIT_RESULT result) {
        (void)instance, (void)wait, (void)result;
        auto* process = static_cast<WatchedProcess*>(context);
        process->sink->WakeFor(process->name);
    }

    // Down when the pass ends, and not by the pass's doing: it went down while the pass ran,
    // and its notice is past. The next pass starts at once.
    void DownAtPassEnd(const std::wstring& name) {
        if (leftDown_.count(name) == 0 && outsideChange_.empty()) outsideChange_ = name;
    }

    // The service process, or the recorded program of a host-product service. One that has
    // already ended is not watched (it would wake every pause); the next pass watches afresh.
    void WatchProcess(const std::wstring& name, DWORD pid) {
        if (pid == 0) return;
        Handle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
        if (!process || ::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) return;
        auto watched = std::make_unique<WatchedProcess>();
        watched->handle = std::move(process);
        watched->name = name;
        processes_.push_back(std::move(watched));
    }

    ServiceNotices notices_;
    std::vector<std::unique_ptr<WatchedProcess>> processes_;
    std::set<std::wstring, NoCaseLess> leftDown_;  // left down by the running pass itself
    std::set<std::wstring, NoCaseLess> startedByPass_;
    std::wstring outsideChange_;                   // went down during the pass: no pause
};

}  // namespace

std::unique_ptr<MonitorHooks> MakeWatch(const LongOptions& options) {
    if (!options.watch) return nullptr;
    return std::make_unique<Watch>();
}

}  // namespace tendro
