// --metrics: the metrics file written after every pass.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"
#include "metrics/metrics_text.h"

namespace tendro {

// Collects what each pass found and replaces the file at PATH when the pass has ended. A
// failed write is logged at level 0; the next pass tries again.
class MetricsFile final : public MonitorHooks {
public:
    explicit MetricsFile(std::wstring path);

    void PassStarting(const CmdLineParser& settings) override;
    void ServiceChecked(ServiceControl& service, uint32_t state, bool isDown) override;
    void ProcessMeasured(ServiceControl& service, const ProcessReadings& readings) override;
    void ProcessKilled(ServiceControl& service, KillReason reason) override;
    void FailureResponded(const CmdLineParser& settings, ServiceControl& failed) override;
    void PassEnded(const CmdLineParser& settings, ServiceObjects& services) override;

    // The metrics of the last pass ended.
    const PassMetrics& LastPass() const { return last_; }

private:
    ServiceMetrics& Entry(const std::wstring& name);

    std::wstring path_;
    std::map<std::wstring, ServiceMetrics> services_;  // by the name as given, with case
    uint64_t passes_ = 0;
    LARGE_INTEGER passStart_{};
    PassMetrics last_;
};

// The extension when its option is given, otherwise nothing.
std::unique_ptr<MonitorHooks> MakeMetricsFile(const LongOptions& options);

}  // namespace tendro
