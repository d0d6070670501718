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

// The path as a whole path, so that two spellings of one file compare equal.
std::wstring FullPath(const std::wstring& path) {
    std::wstring full(::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()),
                                      full.data(), nullptr);
    if (length == 0 || length >= full.size()) return path;
    full.resize(length);
    return full;
}

}  // namespace

MetricsFile::MetricsFile(std::wstring path, HoldSecondsReader holds, PausedReader paused)
    : path_(std::move(path)), holds_(std::move(holds)), paused_(std::move(paused)) {
    last_.instance = MetricsInstanceName(path_);
}

std::optional<int> MetricsFile::OptionsRead(const CmdLineParser& settings) {
    runOnce_ = settings.Has(CmdLineParser::RunOnce);
    // No pass yet: the counters at 0 and no service, which proves the folder and the rights.
    // A replacement leaves the file to the run that writes it now, refused or not.
    DWORD error = replacing_ ? CanWriteBeside(path_)
                             : ReplaceFileContent(path_, FormatMetrics(last_));
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
    if (!runOnce_) LastWord();
    return exitCode;
}

void MetricsFile::CarryHistory(MonitorHooks& previous, const ServiceList& group) {
    auto* before = dynamic_cast<MetricsFile*>(&previous);
    if (!before) return;
    passes_ = before->passes_;
    const std::set<std::wstring> kept(group.begin(), group.end());
    for (const std::wstring& name : kept)
        if (auto found = before->services_.find(name); found != before->services_.end())
            services_[name] = found->second;
    // Until the first pass of this run, its last word is the last pass of the one before.
    last_.passes = before->last_.passes;
    last_.passDurationSeconds = before->last_.passDurationSeconds;
    last_.lastPassTimestampSeconds = before->last_.lastPassTimestampSeconds;
    last_.paused = before->last_.paused;
    for (const ServiceMetrics& entry : before->last_.services)
        if (kept.count(entry.name)) last_.services.push_back(entry);
    before->handedOver_ = EqualsNoCase(FullPath(path_), FullPath(before->path_));
}

void MetricsFile::RunReplaced() {
    if (!handedOver_) LastWord();
}

void MetricsFile::LastWord() {
    // The last word of a Tendro that stops: the last pass's values, and no longer running.
    if (!written_) return;
    last_.running = false;
    Write();
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
