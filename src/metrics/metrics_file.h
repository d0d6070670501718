// --metrics: the metrics file written after every pass.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"
#include "metrics/metrics_text.h"

namespace tendro {

// Whole seconds left of a service's hold on restarts, 0 when none.
using HoldSecondsReader = std::function<uint64_t(const std::wstring& name)>;
// Whether the monitor is paused.
using PausedReader = std::function<bool()>;

// Collects what each pass found and replaces the file at PATH when the pass has ended. The
// file is written once at start-up, before any pass, so that a path that cannot be written
// refuses the run; later a failed write is logged at level 0 and the next pass tries again.
// When the program ends (but not after -o, whose file is a snapshot of its one pass) the
// last pass's metrics are written once more, saying that Tendro no longer runs.
// A run that replaces another (new options of a service) only proves its folder at start-up,
// takes the counters and the services' entries over, and writes from its first pass on; the
// file of the run replaced, when the new run writes another, gets the last word.
class MetricsFile final : public MonitorHooks {
public:
    explicit MetricsFile(std::wstring path, HoldSecondsReader holds = nullptr,
                         PausedReader paused = nullptr);

    std::optional<int> OptionsRead(const CmdLineParser& settings) override;
    void Observe(const MonitorEvent& event) override;
    int ProgramEnding(int exitCode) override;
    void BuildsReplacement() override { replacing_ = true; }
    void CarryHistory(MonitorHooks& previous, const ServiceList& group) override;
    void RunReplaced() override;

    // The metrics of the last pass ended.
    const PassMetrics& LastPass() const { return last_; }

private:
    ServiceMetrics& Entry(const std::wstring& name);
    void BeginPass();
    void Measured(const std::wstring& name, const ProcessReadings& readings);
    void EndPass(const CmdLineParser& settings);
    void Write();
    void LastWord();

    std::wstring path_;
    HoldSecondsReader holds_;
    PausedReader paused_;
    std::map<std::wstring, ServiceMetrics> services_;  // by the name as given, with case
    uint64_t passes_ = 0;
    LARGE_INTEGER passStart_{};
    bool written_ = false;  // the start-up write proved the path
    bool runOnce_ = false;  // -o
    bool replacing_ = false;   // built to replace a run
    bool handedOver_ = false;  // the run that replaced this one writes the same file
    PassMetrics last_;
};

// The extension when its option is given, otherwise nothing.
std::unique_ptr<MonitorHooks> MakeMetricsFile(const LongOptions& options,
                                             HoldSecondsReader holds = nullptr,
                                             PausedReader paused = nullptr);

}  // namespace tendro
