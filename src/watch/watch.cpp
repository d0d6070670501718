#include "watch/watch.h"

#include <windows.h>

#include <set>
#include <utility>
#include <vector>

#include "app/monitor.h"
#include "log/log.h"
#include "service/host_process.h"
#include "watch/service_notices.h"

namespace tendro {

namespace {

// One wait holds at most MAXIMUM_WAIT_OBJECTS handles; the watch uses one fewer.
constexpr size_t MaxWatchedProcesses = MAXIMUM_WAIT_OBJECTS - 1;

bool IsDownState(DWORD state) { return state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING; }

class Watch final : public MonitorHooks {
public:
    void ServiceChecked(ServiceControl& service, uint32_t state, bool isDown) override {
        (void)state;
        if (!isDown) seenUp_.insert(service.name);
    }

    void ProcessKilled(ServiceControl& service, KillReason reason) override {
        (void)service, (void)reason;
        responded_ = true;
    }

    void FailureResponded(const CmdLineParser& settings, ServiceControl& failed) override {
        (void)settings, (void)failed;
        responded_ = true;
    }

    void PassEnded(const CmdLineParser& settings, ServiceObjects& services) override {
        std::set<std::wstring, NoCaseLess> seenUp = std::exchange(seenUp_, {});
        const bool responded = std::exchange(responded_, false);
        // -o and -f 0 have no pause to end early.
        if (settings.Has(CmdLineParser::RunOnce) || PassPauseMilliseconds(settings.frequency) == 0)
            return;

        // What the pass itself did (its own stops and starts) is no news.
        notices_.DropQueued();
        notices_.KeepOnly(services);
        processes_.clear();
        outsideChange_.clear();
        for (const std::wstring& name : settings.monitoredServices) {
            auto found = services.find(name);
            if (found == services.end()) continue;
            ServiceControl& service = found->second;
            SERVICE_STATUS_PROCESS status{};
            if (!notices_.ReadStatus(service, status)) continue;
            if (status.dwCurrentState == SERVICE_RUNNING) {
                notices_.Arm(service);
                if (service.machine.empty() && processes_.size() < MaxWatchedProcesses)
                    WatchProcess(service, status.dwProcessId);
            } else if (IsDownState(status.dwCurrentState) && !responded &&
                       seenUp.count(name) != 0 && outsideChange_.empty()) {
                // Stopped from outside after the pass had found it up: its notice came while
                // the pass ran, so the next pass starts at once.
                outsideChange_ = service.name;
            }
        }
    }

    bool Pause(uint32_t milliseconds, const CmdLineParser& settings,
               ServiceObjects& services) override {
        (void)settings, (void)services;
        if (milliseconds == 0) return false;
        std::wstring woken = std::exchange(outsideChange_, std::wstring());
        const ULONGLONG start = ::GetTickCount64();
        notices_.Collect(true);
        while (woken.empty()) {
            const ULONGLONG elapsed = ::GetTickCount64() - start;
            if (elapsed >= milliseconds) break;
            const DWORD remaining = static_cast<DWORD>(milliseconds - elapsed);
            std::vector<HANDLE> handles;
            for (const auto& process : processes_) handles.push_back(process.handle.get());
            DWORD result =
                handles.empty()
                    ? ::SleepEx(remaining, TRUE)
                    : ::WaitForMultipleObjectsEx(static_cast<DWORD>(handles.size()),
                                                 handles.data(), FALSE, remaining, TRUE);
            if (result == WAIT_IO_COMPLETION) {
                woken = notices_.TakeWoken();
            } else if (!handles.empty() && result < WAIT_OBJECT_0 + handles.size()) {
                // An ended process wakes the wait once; the next pass watches afresh.
                woken = processes_[result - WAIT_OBJECT_0].name;
                processes_.erase(processes_.begin() + (result - WAIT_OBJECT_0));
            } else if (result == WAIT_FAILED) {
                // The process handles are no good for waiting: the notices alone remain.
                processes_.clear();
            } else {
                break;  // the frequency is up
            }
        }
        notices_.Collect(false);
        if (!woken.empty()) WriteLogFormat(LogInfo, L"Woken by a change of service %s", woken);
        return true;
    }

private:
    struct WatchedProcess {
        Handle handle;
        std::wstring name;
    };

    // The monitored process of a local service: the service process, or the recorded program
    // of a host-product service. One that has already ended is not watched (it would wake
    // every pause).
    void WatchProcess(ServiceControl& service, DWORD servicePid) {
        DWORD pid = servicePid;
        if (service.isPlainService == 0) {
            int32_t program = GetProcessPid(service);
            pid = program > 0 ? static_cast<DWORD>(program) : 0;
        }
        if (pid == 0) return;
        Handle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
        if (!process || ::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) return;
        processes_.push_back({std::move(process), service.name});
    }

    ServiceNotices notices_;
    std::vector<WatchedProcess> processes_;
    std::set<std::wstring, NoCaseLess> seenUp_;  // found up by the running pass
    bool responded_ = false;                      // the running pass stopped or killed something
    std::wstring outsideChange_;                  // woken before the pause began
};

}  // namespace

std::unique_ptr<MonitorHooks> MakeWatch(const LongOptions& options) {
    if (!options.watch) return nullptr;
    return std::make_unique<Watch>();
}

}  // namespace tendro
