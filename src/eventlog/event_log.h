// The Event Log: what Tendro and the monitor report, written to the Application log as the
// events of event_ids.h. A Tendro service always writes them, a console run with --event-log,
// a check run never.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"
#include "common/handle.h"
#include "common/stop_signal.h"
#include "eventlog/event_ids.h"
#include "log/log.h"

namespace tendro {

// One event: its type and ID, and its insertion strings from %1 on.
struct EventRecord {
    WORD type = 0;
    EventId id = EventId::TendroStarted;
    std::vector<std::wstring> strings;
};

// Where the events go.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void Write(const EventRecord& event) = 0;
};

struct EventSourceTraits {
    using type = HANDLE;
    static type empty() noexcept { return nullptr; }
    static bool valid(type h) noexcept { return h != nullptr; }
    static void close(type h) noexcept { ::DeregisterEventSource(h); }
};
using EventSourceHandle = UniqueHandle<EventSourceTraits>;

// ReportEventW through the source "Tendro" of the local machine. A source that is not
// registered takes the events all the same (Windows keeps them, without their texts); a
// source that cannot be opened at all writes nothing, said once in the log.
class ReportEventSink final : public EventSink {
public:
    ReportEventSink();
    void Write(const EventRecord& event) override;

private:
    EventSourceHandle source_;
};

// Turns the run's start, end and the monitor's events into Event Log events. As a log sink it
// keeps the level-0 texts logged before the first pass: the reason of a start that fails.
class EventLogReporter final : public LogSink {
public:
    // `tendroName`: the Tendro service's name, empty for a console run ("console").
    EventLogReporter(const std::wstring& tendroName, std::unique_ptr<EventSink> sink,
                     const StopSignal& stop = StopSignal::Never());

    void WriteLine(uint32_t level, const std::wstring& text, const std::wstring& line) override;

    // The run could not begin: event 102 with `reason` (once; nothing after a pass began).
    void StartupFailed(const std::wstring& reason);
    // The reader joined to the run's extensions; it must not outlive the reporter.
    std::unique_ptr<MonitorHooks> MakeReader();

    // The reader's side.
    void Observe(const MonitorEvent& event);
    void SystemErrorEnds(const std::system_error& error);
    void ProgramEnding(int exitCode);

private:
    void Write(EventId id, std::vector<std::wstring> strings);

    std::wstring name_;
    std::unique_ptr<EventSink> sink_;
    const StopSignal& stop_;
    bool monitoring_ = false;  // the first pass has begun
    bool ended_ = false;       // the run's last event (101, 102 or 103) is written
    bool runOnce_ = false;
    bool windowsShutdownSaid_ = false;
    std::vector<std::wstring> startupErrors_;
    std::optional<std::system_error> systemError_;
};

// The reporter of a run: a Tendro service's (`serviceName` given) always, a console run's
// with --event-log; none for a check run. `sink` replaces ReportEventW (tests).
std::unique_ptr<EventLogReporter> MakeEventLog(const LongOptions& options,
                                               const std::wstring& serviceName, bool checkRun,
                                               const StopSignal& stop,
                                               std::unique_ptr<EventSink> sink = nullptr);

}  // namespace tendro
