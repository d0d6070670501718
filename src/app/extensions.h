// The extensions that the long options switch on, joined at the monitor's hook points in a
// fixed order.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"
#include "common/stop_signal.h"
#include "common/text.h"

namespace tendro {

class CheckCapture;

class Extensions final : public MonitorHooks {
public:
    // Builds the extension of every long option given; none without long options. The check
    // mode reports through the run's capture, and is left out without one; the waits of the
    // extensions end as the run's stop signal says.
    explicit Extensions(const LongOptions& options, CheckCapture* checkCapture = nullptr,
                        const StopSignal& stop = StopSignal::Never());
    // An extension added by hand (tests).
    void Add(std::unique_ptr<MonitorHooks> extension);
    // Hooks owned elsewhere that outlive this set (a service's controls).
    void AddShared(MonitorHooks& hooks);
    bool Empty() const { return modules_.empty(); }

    std::optional<int> OptionsRead(const CmdLineParser& settings) override;
    std::optional<std::wstring> BeforeMonitoring(const CmdLineParser& settings,
                                                 ServiceObjects& services) override;
    bool DownWhileRunning(ServiceControl& service, bool firstPass) override;
    std::optional<RestartHold> HoldFailureResponse(ServiceControl& failed) override;
    bool StopFailed(ServiceControl& service, DWORD error) override;
    void PauseStarting(PauseWaits& waits) override;
    void PauseEnded(const std::wstring& wokenBy) override;
    bool ReplaceRun() override;
    bool Paused() override;
    // Every extension takes from its counterpart among `previous`'s (an Extensions).
    void CarryHistory(MonitorHooks& previous, const ServiceList& group) override;
    void BuildsReplacement() override;
    void RunReplaced() override;
    // Hands the event to every extension; a service found (not) up also begins (ends) its
    // outage, reported as an event of its own.
    void Observe(const MonitorEvent& event) override;
    int ProgramEnding(int exitCode) override;
    void ReportSystemError(const std::system_error& error) override;

private:
    std::vector<std::unique_ptr<MonitorHooks>> owned_;
    std::vector<MonitorHooks*> modules_;  // in the order of the hook points' visits
    // The services in an outage, with the tick count at which it began.
    std::map<std::wstring, ULONGLONG, NoCaseLess> outages_;
};

}  // namespace tendro
