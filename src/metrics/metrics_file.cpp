#include "metrics/metrics_file.h"

#include <set>

#include "common/text.h"
#include "log/log.h"

namespace tendro {

namespace {

double SecondsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER now{}, frequency{};
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    if (frequency.QuadPart == 0 || start.QuadPart == 0) return 0;
    return static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

}  // namespace

MetricsFile::MetricsFile(std::wstring path, HoldSecondsReader holds, PausedReader paused)
    : path_(std::move(path)), holds_(std::move(holds)), paused_(std::move(paused)) {}

std::optional<int> MetricsFile::OptionsRead(const CmdLineParser& settings) {
    (void)settings;
    // No pass yet: the counters at 0 and no service, which proves the folder and the rights.
    DWORD error = ReplaceFileContent(path_, FormatMetrics(PassMetrics{}));
    if (error == ERROR_SUCCESS) return std::nullopt;
    WriteLog(LogError, FormatText(L"Invalid value for option --metrics: \"%s\" (can't write the "
                                  L"file: %s)",
                                  path_.c_str(), WindowsErrorText(error).c_str()));
    return 1;
}

ServiceMetrics& MetricsFile::Entry(const std::wstring& name) {
    ServiceMetrics& entry = services_[name];
    entry.name = name;
    return entry;
}

void MetricsFile::PassStarting(const CmdLineParser& settings) {
    (void)settings;
    ::QueryPerformanceCounter(&passStart_);
    // What a pass finds is its own; the counters go on.
    for (auto& [name, entry] : services_) {
        entry.up = false;
        entry.state = 0;
        entry.workingSetBytes.reset();
        entry.cpuPercent.reset();
    }
}

void MetricsFile::ServiceChecked(ServiceControl& service, uint32_t state, bool isDown) {
    ServiceMetrics& entry = Entry(service.name);
    entry.state = state;
    entry.up = !isDown && state != 0;
}

void MetricsFile::ProcessMeasured(ServiceControl& service, const ProcessReadings& readings) {
    ServiceMetrics& entry = Entry(service.name);
    // A reading that failed (-1) is no measurement.
    if (readings.workingSetBytes && *readings.workingSetBytes >= 0)
        entry.workingSetBytes = *readings.workingSetBytes;
    if (readings.cpuLoad && *readings.cpuLoad >= 0) entry.cpuPercent = *readings.cpuLoad;
}

void MetricsFile::ProcessKilled(ServiceControl& service, KillReason reason) {
    ++Entry(service.name).kills[static_cast<size_t>(reason)];
}

void MetricsFile::StartFailed(ServiceControl& service) { ++Entry(service.name).startFailures; }

void MetricsFile::FailureResponded(const CmdLineParser& settings, ServiceControl& failed) {
    (void)settings;
    ++Entry(failed.name).restarts;
}

void MetricsFile::PassEnded(const CmdLineParser& settings, ServiceObjects& services) {
    (void)services;
    PassMetrics pass;
    pass.passes = ++passes_;
    pass.passDurationSeconds = SecondsSince(passStart_);
    pass.lastPassTimestampSeconds = UnixTimeSeconds();
    pass.paused = paused_ && paused_();
    std::set<std::wstring> listed;
    for (const std::wstring& name : settings.monitoredServices) {
        if (!listed.insert(name).second) continue;
        ServiceMetrics& entry = Entry(name);
        entry.holdSecondsLeft = holds_ ? holds_(name) : 0;
        pass.services.push_back(entry);
    }
    last_ = std::move(pass);

    DWORD error = ReplaceFileContent(path_, FormatMetrics(last_));
    if (error != ERROR_SUCCESS) {
        WriteLog(LogError, FormatText(L"Can't write metrics file %s", path_.c_str()));
        WriteLog(LogError, WindowsErrorText(error));
    }
}

std::unique_ptr<MonitorHooks> MakeMetricsFile(const LongOptions& options,
                                             HoldSecondsReader holds, PausedReader paused) {
    if (options.metricsPath.empty()) return nullptr;
    return std::make_unique<MetricsFile>(options.metricsPath, std::move(holds),
                                         std::move(paused));
}

}  // namespace tendro
