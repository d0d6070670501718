#include "app/failure_response.h"

#include <vector>

#include "log/log.h"
#include "service/host_process.h"

namespace tendro {

ServiceControl& ServiceForEntry(ServiceObjects& services, const std::wstring& name,
                                ServiceControl& placeholder) {
    auto found = services.find(name);
    if (found != services.end()) return found->second;
    placeholder = ServiceControl(SharedScHandle(), SharedToken(), name, 1);
    return placeholder;
}

namespace {

class Response {
public:
    Response(ServiceObjects& services, MonitorHooks& hooks, PassResponses& pass)
        : services_(services), hooks_(hooks), pass_(pass) {}

    // What came of a step of the stop phase.
    enum class StopStep {
        Sent,       // the stop went out (whatever came of it): the service is started again
        Skipped,    // left as it is: nothing to start again
        Abandoned,  // the run is shutting down: the rest of the response is abandoned
    };

    StopStep Stop(const std::wstring& entry) {
        return Stop(ServiceForEntry(services_, entry, placeholder_));
    }
    StopStep Stop(ServiceControl& service) {
        if (pass_.stop.ShuttingDown()) return StopStep::Abandoned;
        if (MachineShuttingDown(service)) return StopStep::Skipped;
        // The run is stopping and its time for waits is spent: a stop now could not be
        // waited for, and the start after it would find the service still stopping. A service
        // that is down already needs no stop, and is started again.
        if (pass_.stop.Stopping() && !pass_.stop.MayWait()) {
            if (service.handle && service.GetStatus() == SERVICE_STOPPED) {
                AddOnce(stopped_, service.name);
                return StopStep::Sent;
            }
            WriteLog(LogError, FormatText(L"Service %s is left running: Tendro is stopping",
                                          service.name.c_str()));
            return StopStep::Skipped;
        }
        DWORD error = ERROR_SUCCESS;
        hooks_.Observe(ServiceStopping{service});
        AddOnce(stopped_, service.name);
        const bool stopped = service.Stop(pass_.stop, &error) == 1;
        if (!stopped && error == ERROR_OPERATION_ABORTED) {
            WriteLog(LogInit, FormatText(L"Service %s is stopping, not waited for: Tendro is "
                                         L"stopping",
                                         service.name.c_str()));
        } else if (!stopped && !NoteShutdown(service, error)) {
            hooks_.Observe(StopFailure{service, error});
            // The process of the service whose stop failed: the one a hook may terminate.
            const int32_t pid = GetProcessPid(service);
            if (hooks_.StopFailed(service, error))
                hooks_.Observe(ProcessKilled{service, KillReason::Hung, pid});
        }
        return StopStep::Sent;
    }

    bool Start(const std::wstring& entry) {
        return Start(ServiceForEntry(services_, entry, placeholder_));
    }
    bool Start(ServiceControl& service) {
        if (pass_.stop.ShuttingDown()) return false;
        if (MachineShuttingDown(service)) return true;
        DWORD error = ERROR_SUCCESS;
        hooks_.Observe(ServiceStarting{service});
        AddOnce(started_, service.name);
        if (service.StartWithin(StartWaitLimitMs, pass_.stop, &error) == 1) return true;
        if (NoteShutdown(service, error)) return true;
        if (error == ERROR_OPERATION_ABORTED) {
            WriteLog(LogInit, FormatText(L"Service %s is starting, not waited for: Tendro is "
                                         L"stopping",
                                         service.name.c_str()));
            return true;
        }
        hooks_.Observe(StartFailure{service, error});
        // The run is stopping and its time for waits is spent: said once per service.
        if (pass_.stop.Stopping() && !pass_.stop.MayWait())
            WriteLog(LogError, FormatText(L"Service %s is left down: Tendro is stopping",
                                          service.name.c_str()));
        return true;
    }

    bool MachineShuttingDown(const ServiceControl& service) const {
        return !service.machine.empty() && pass_.machinesShuttingDown.count(service.machine) != 0;
    }

    // The services that the response stopped and started (or tried to), in order.
    const std::vector<std::wstring>& Stopped() const { return stopped_; }
    const std::vector<std::wstring>& Started() const { return started_; }

private:
    // A machine whose stop or start says it is shutting down gets no further response for
    // its services in this pass.
    bool NoteShutdown(ServiceControl& service, DWORD error) {
        if (error != ERROR_SHUTDOWN_IN_PROGRESS || service.machine.empty()) return false;
        if (pass_.machinesShuttingDown.insert(service.machine).second) {
            hooks_.Observe(ShutdownNoResponse{service, service.machine});
            WriteLog(LogError, FormatText(L"Machine %s is shutting down: its services get no "
                                          L"further response in this pass",
                                          service.machine.c_str()));
        }
        return true;
    }

    static void AddOnce(std::vector<std::wstring>& names, const std::wstring& name) {
        for (const std::wstring& known : names)
            if (known == name) return;
        names.push_back(name);
    }

    ServiceObjects& services_;
    MonitorHooks& hooks_;
    PassResponses& pass_;
    ServiceControl placeholder_;
    std::vector<std::wstring> stopped_, started_;
};

void RespondWithin(const CmdLineParser& settings, Response& response, ServiceControl& failed) {
    using StopStep = Response::StopStep;
    const bool startAgain = !settings.Has(CmdLineParser::StopOnly);
    if (settings.Has(CmdLineParser::RestartFailedOnly)) {
        if (response.Stop(failed) == StopStep::Sent && startAgain) response.Start(failed);
        return;
    }

    const ServiceList& group = settings.monitoredServices;
    auto first = group.begin();
    if (settings.Has(CmdLineParser::RestartFromFailure)) {
        // The last entry equal to the failed service's name, compared with case.
        for (auto entry = group.begin(); entry != group.end(); ++entry)
            if (*entry == failed.name) first = entry;
    }
    // Only the entries whose stop went out are started again.
    std::vector<bool> sent;
    for (auto entry = first; entry != group.end(); ++entry) {
        StopStep step = response.Stop(*entry);
        if (step == StopStep::Abandoned) return;
        sent.push_back(step == StopStep::Sent);
    }
    if (!startAgain) return;
    auto wasSent = sent.begin();
    for (auto entry = first; entry != group.end(); ++entry, ++wasSent)
        if (*wasSent && !response.Start(*entry)) return;
}

}  // namespace

void RespondToFailure(const CmdLineParser& settings, ServiceObjects& services,
                      ServiceControl& failed, MonitorHooks& hooks, PassResponses& pass) {
    // Restarting services while Windows shuts down only fights the shutdown.
    if (::GetSystemMetrics(SM_SHUTTINGDOWN) != 0) {
        hooks.Observe(ShutdownNoResponse{failed, std::wstring()});
        WriteLog(LogError, FormatText(L"Windows is shutting down: no failure response for "
                                      L"service %s",
                                      failed.name.c_str()));
        return;
    }
    if (pass.stop.ShuttingDown()) return;
    Response response(services, hooks, pass);
    if (response.MachineShuttingDown(failed)) return;
    if (std::optional<RestartHold> hold = hooks.HoldFailureResponse(failed)) {
        hooks.Observe(RestartsHeld{failed, *hold});
        return;
    }
    hooks.Observe(ResponseBegun{settings, failed});
    RespondWithin(settings, response, failed);
    hooks.Observe(ResponseEnded{settings, failed, response.Stopped(), response.Started()});
}

void RespondToFailure(const CmdLineParser& settings, ServiceObjects& services,
                      ServiceControl& failed, MonitorHooks& hooks) {
    PassResponses pass;
    RespondToFailure(settings, services, failed, hooks, pass);
}

}  // namespace tendro
