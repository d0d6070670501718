#include "eventlog/event_log.h"

#include "checkmode/check_line.h"
#include "common/error.h"
#include "common/text.h"

namespace tendro {

namespace {

std::wstring Joined(const std::vector<std::wstring>& names) {
    if (names.empty()) return L"none";
    std::wstring text;
    for (const std::wstring& name : names) text += (text.empty() ? L"" : L", ") + name;
    return text;
}

const wchar_t* CauseText(DownCause cause) {
    switch (cause) {
        case DownCause::Stopped: return L"it is stopped";
        case DownCause::ProgramNotRunning: return L"its program is not running";
        case DownCause::Probe: return L"its probe fails";
        case DownCause::Unreadable: return L"its state cannot be read";
    }
    return L"";
}

const wchar_t* KillText(KillReason reason) {
    switch (reason) {
        case KillReason::Memory: return L"its memory use was over the limit";
        case KillReason::Cpu: return L"its processor load was over the limit";
        case KillReason::Hung: return L"its stop hung";
    }
    return L"";
}

std::wstring ErrorText(DWORD error, const wchar_t* none) {
    return error == 0 ? std::wstring(none) : OneLineText(WindowsErrorText(error));
}

// The reader that the run's extensions visit.
class EventLogReader final : public MonitorHooks {
public:
    explicit EventLogReader(EventLogReporter& reporter) : reporter_(reporter) {}
    void Observe(const MonitorEvent& event) override { reporter_.Observe(event); }
    int ProgramEnding(int exitCode) override {
        reporter_.ProgramEnding(exitCode);
        return exitCode;
    }
    void ReportSystemError(const std::system_error& error) override {
        reporter_.SystemErrorEnds(error);
    }

private:
    EventLogReporter& reporter_;
};

}  // namespace

ReportEventSink::ReportEventSink() : source_(::RegisterEventSourceW(nullptr, EventSourceName)) {
    if (!source_)
        WriteLog(LogError, L"Can't open the Event Log source Tendro: " +
                               WindowsErrorText(::GetLastError()));
}

void ReportEventSink::Write(const EventRecord& event) {
    if (!source_) return;
    std::vector<const wchar_t*> strings;
    for (const std::wstring& text : event.strings) strings.push_back(text.c_str());
    // A failed write loses one event; the log file has its line all the same.
    ::ReportEventW(source_.get(), event.type, 0, static_cast<DWORD>(event.id), nullptr,
                   static_cast<WORD>(strings.size()), 0, strings.data(), nullptr);
}

EventLogReporter::EventLogReporter(const std::wstring& tendroName,
                                   std::unique_ptr<EventSink> sink, const StopSignal& stop)
    : name_(tendroName.empty() ? L"console" : tendroName), sink_(std::move(sink)), stop_(stop) {}

void EventLogReporter::Write(EventId id, std::vector<std::wstring> strings) {
    EventRecord event{KindOf(id).type, id, {name_}};
    for (std::wstring& text : strings) event.strings.push_back(std::move(text));
    sink_->Write(event);
}

void EventLogReporter::WriteLine(uint32_t level, const std::wstring& text,
                                 const std::wstring& line) {
    (void)line;
    if (level == LogError && !monitoring_) {
        std::wstring part = OneLineText(text);
        if (!part.empty()) startupErrors_.push_back(std::move(part));
    }
}

void EventLogReporter::StartupFailed(const std::wstring& reason) {
    if (ended_ || monitoring_) return;
    ended_ = true;
    Write(EventId::TendroStartFailed, {OneLineText(reason)});
}

std::unique_ptr<MonitorHooks> EventLogReporter::MakeReader() {
    return std::make_unique<EventLogReader>(*this);
}

void EventLogReporter::Observe(const MonitorEvent& event) {
    if (const auto* begun = std::get_if<PassBegun>(&event)) {
        if (monitoring_) return;
        monitoring_ = true;
        runOnce_ = begun->settings.Has(CmdLineParser::RunOnce);
        const ServiceList& group = begun->settings.monitoredServices;
        Write(EventId::TendroStarted,
              {std::to_wstring(group.size()), Joined(std::vector<std::wstring>(group.begin(), group.end()))});
    } else if (const auto* began = std::get_if<OutageBegan>(&event)) {
        Write(EventId::ServiceDown, {began->service.name, CauseText(began->cause)});
    } else if (const auto* ended = std::get_if<OutageEnded>(&event)) {
        Write(EventId::ServiceUp, {ended->service.name, std::to_wstring(ended->seconds)});
    } else if (const auto* response = std::get_if<ResponseEnded>(&event)) {
        Write(EventId::ResponseRan,
              {response->failed.name, Joined(response->stopped), Joined(response->started)});
    } else if (const auto* stop = std::get_if<StopFailure>(&event)) {
        Write(EventId::ResponseStepFailed,
              {stop->service.name, L"stop", std::to_wstring(stop->error),
               ErrorText(stop->error, L"the service did not reach the Stopped state")});
    } else if (const auto* start = std::get_if<StartFailure>(&event)) {
        Write(EventId::ResponseStepFailed,
              {start->service.name, L"start", std::to_wstring(start->error),
               ErrorText(start->error, L"the service did not reach the Running state")});
    } else if (const auto* held = std::get_if<RestartsHeld>(&event)) {
        // Once per hold: while it lasts, the log file says so at every pass.
        if (!held->hold.begins) return;
        Write(EventId::RestartsHeld,
              {held->service.name, std::to_wstring(held->hold.failures),
               std::to_wstring(held->hold.windowSeconds), std::to_wstring(held->hold.holdSeconds)});
    } else if (const auto* killed = std::get_if<ProcessKilled>(&event)) {
        Write(EventId::ProcessTerminated,
              {killed->service.name, std::to_wstring(killed->pid), KillText(killed->reason)});
    } else if (const auto* shutdown = std::get_if<ShutdownNoResponse>(&event)) {
        // Windows shuts down once; a machine is named once per pass, as in the log.
        if (shutdown->machine.empty()) {
            if (windowsShutdownSaid_) return;
            windowsShutdownSaid_ = true;
        }
        Write(EventId::ShutdownNoResponse,
              {shutdown->failed.name, shutdown->machine.empty() ? L"Windows" : shutdown->machine});
    }
}

void EventLogReporter::SystemErrorEnds(const std::system_error& error) { systemError_ = error; }

void EventLogReporter::ProgramEnding(int exitCode) {
    if (ended_) return;
    ended_ = true;
    if (systemError_) {
        const std::wstring line = DescribeSystemError(*systemError_);
        if (!monitoring_) {
            Write(EventId::TendroStartFailed, {OneLineText(line)});
            return;
        }
        const DWORD code = static_cast<DWORD>(systemError_->code().value());
        // what() ends in ": " and the code's text, which has a string of its own.
        std::string what = systemError_->what();
        const std::string suffix = ": " + systemError_->code().message();
        if (what.size() > suffix.size() && what.ends_with(suffix)) what.resize(what.size() - suffix.size());
        Write(EventId::TendroSystemError,
              {OneLineText(ToWide(what, CP_UTF8)), std::to_wstring(code),
               ErrorText(code, L"no Windows error")});
        return;
    }
    if (monitoring_ || stop_.Stopping()) {
        std::wstring why = stop_.ShuttingDown() ? L"Windows is shutting down"
                           : stop_.Stopping()   ? L"it was asked to stop"
                           : runOnce_           ? L"its single pass (-o) has ended"
                                                : L"it ended with exit code " + std::to_wstring(exitCode);
        Write(EventId::TendroStopped, {why});
        return;
    }
    std::wstring reason;
    for (const std::wstring& text : startupErrors_) reason += (reason.empty() ? L"" : L": ") + text;
    if (reason.empty()) reason = L"it ended with exit code " + std::to_wstring(exitCode);
    Write(EventId::TendroStartFailed, {reason});
}

std::unique_ptr<EventLogReporter> MakeEventLog(const LongOptions& options,
                                               const std::wstring& serviceName, bool checkRun,
                                               const StopSignal& stop,
                                               std::unique_ptr<EventSink> sink) {
    if (checkRun || (serviceName.empty() && !options.eventLog)) return nullptr;
    if (!sink) sink = std::make_unique<ReportEventSink>();
    return std::make_unique<EventLogReporter>(serviceName, std::move(sink), stop);
}

}  // namespace tendro
