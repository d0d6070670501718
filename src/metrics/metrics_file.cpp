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
    : path_(std::move(path)), holds_(std::move(holds)), paused_(std::move(paused)) {
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

void MetricsFile::Observe(const MonitorEvent& event) {
    if (std::get_if<PassBegun>(&event)) {
        BeginPass();
    } else if (const auto* found = std::get_if<ServiceFound>(&event)) {
        // What a check finds replaces what the last one found; a service that a pass cut
        // short did not reach keeps it. The counters go on.
        ServiceMetrics& entry = Entry(found->service.name);
        entry.checked = true;
        entry.state = found->state;
        entry.up = found->Up();
        entry.workingSetBytes.reset();
        entry.cpuPercent.reset();
    } else if (const auto* measured = std::get_if<ProcessMeasured>(&event)) {
        Measured(measured->service.name, measured->readings);
    } else if (const auto* killed = std::get_if<ProcessKilled>(&event)) {
        ++Entry(killed->service.name).kills[static_cast<size_t>(killed->reason)];
    } else if (const auto* failure = std::get_if<StartFailure>(&event)) {
        ++Entry(failure->service.name).startFailures;
    } else if (const auto* response = std::get_if<ResponseEnded>(&event)) {
        ServiceMetrics& entry = Entry(response->failed.name);
        ++entry.restarts;
        entry.lastRestartSeconds = UnixTimeSeconds();
    } else if (const auto* ended = std::get_if<PassEnded>(&event)) {
        EndPass(ended->settings);
    }
}

void MetricsFile::BeginPass() {
    ::QueryPerformanceCounter(&passStart_);
}

void MetricsFile::Measured(const std::wstring& name, const ProcessReadings& readings) {
    ServiceMetrics& entry = Entry(name);
    // A reading that failed (-1) is no measurement.
    if (readings.workingSetBytes && *readings.workingSetBytes >= 0)
        entry.workingSetBytes = *readings.workingSetBytes;
    if (readings.cpuLoad && *readings.cpuLoad >= 0) entry.cpuPercent = *readings.cpuLoad;
}

void MetricsFile::EndPass(const CmdLineParser& settings) {
    PassMetrics pass;
    pass.instance = last_.instance;
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
                                             HoldSecondsReader holds, PausedReader paused) {
    if (options.metricsPath.empty()) return nullptr;
    return std::make_unique<MetricsFile>(options.metricsPath, std::move(holds),
                                         std::move(paused));
}

}  // namespace tendro
