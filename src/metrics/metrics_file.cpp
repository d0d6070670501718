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

MetricsFile::MetricsFile(std::wstring path, HoldSecondsReader holds)
    : path_(std::move(path)), holds_(std::move(holds)) {
    last_.instance = MetricsInstanceName(path_);
}

std::optional<int> MetricsFile::OptionsRead(const CmdLineParser& settings) {
    runOnce_ = settings.Has(CmdLineParser::RunOnce);
    // No pass yet: the counters at 0 and no service, which proves the folder and the rights.
    DWORD error = ReplaceFileContent(path_, FormatMetrics(last_));
    written_ = error == ERROR_SUCCESS;
    if (written_) return std::nullopt;
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
}

void MetricsFile::ServiceChecked(ServiceControl& service, uint32_t state, bool isDown) {
    // What a check finds replaces what the last one found; a service that a pass cut short
    // did not reach keeps it. The counters go on.
    ServiceMetrics& entry = Entry(service.name);
    entry.checked = true;
    entry.state = state;
    entry.up = !isDown && state != 0;
    entry.workingSetBytes.reset();
    entry.cpuPercent.reset();
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
    ServiceMetrics& entry = Entry(failed.name);
    ++entry.restarts;
    entry.lastRestartSeconds = UnixTimeSeconds();
}

void MetricsFile::PassEnded(const CmdLineParser& settings, ServiceObjects& services) {
    (void)services;
    PassMetrics pass;
    pass.instance = last_.instance;
    pass.passes = ++passes_;
    pass.passDurationSeconds = SecondsSince(passStart_);
    pass.lastPassTimestampSeconds = UnixTimeSeconds();
    std::set<std::wstring> listed;
    for (const std::wstring& name : settings.monitoredServices) {
        if (!listed.insert(name).second) continue;
        ServiceMetrics& entry = Entry(name);
        entry.holdSecondsLeft = holds_ ? holds_(name) : 0;
        pass.services.push_back(entry);
    }
    last_ = std::move(pass);
    Write();
}

int MetricsFile::ProgramEnding(int exitCode) {
    // The last word of a Tendro that stops: the last pass's values, and no longer running.
    if (written_ && !runOnce_) {
        last_.running = false;
        Write();
    }
    return exitCode;
}

void MetricsFile::Write() {
    DWORD error = ReplaceFileContent(path_, FormatMetrics(last_));
    if (error != ERROR_SUCCESS) {
        WriteLog(LogError, FormatText(L"Can't write metrics file %s", path_.c_str()));
        WriteLog(LogError, WindowsErrorText(error));
    }
}

std::unique_ptr<MonitorHooks> MakeMetricsFile(const LongOptions& options,
                                             HoldSecondsReader holds) {
    if (options.metricsPath.empty()) return nullptr;
    return std::make_unique<MetricsFile>(options.metricsPath, std::move(holds));
}

}  // namespace tendro
