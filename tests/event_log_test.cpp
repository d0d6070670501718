// The Event Log: the source that --install registers and the last --uninstall removes, the
// message table in tendro.exe, and the events a run writes (Wine keeps none: a console run's
// ReportEventW calls are read from Wine's debug output, the rest through the events' sink).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/extensions.h"
#include "checkmode/check_line.h"
#include "common/error.h"
#include "common/registry.h"
#include "common/handle.h"
#include "common/text.h"
#include "eventlog/event_log.h"
#include "eventlog/event_source.h"
#include "log/log.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

namespace tendro {
namespace {

using test::ProgramPath;
using test::RunResult;
using test::RunTendro;

// One event as the test sees it.
struct Seen {
    WORD type;
    DWORD id;
    std::vector<std::wstring> strings;
    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& event) {
    out << "{type " << event.type << ", id " << event.id << ",";
    for (const std::wstring& text : event.strings) out << " \"" << ToNarrow(text, CP_UTF8) << "\"";
    return out << "}";
}

struct RecordingSink final : EventSink {
    explicit RecordingSink(std::vector<Seen>& seen) : seen(seen) {}
    void Write(const EventRecord& event) override {
        seen.push_back({event.type, static_cast<DWORD>(event.id), event.strings});
    }
    std::vector<Seen>& seen;
};

constexpr WORD Info = EVENTLOG_INFORMATION_TYPE, Warning = EVENTLOG_WARNING_TYPE,
               Error = EVENTLOG_ERROR_TYPE;

// --- The source in the registry ---------------------------------------------------------

struct SourceValues {
    bool exists = false;
    DWORD fileType = 0;
    std::wstring file;
    DWORD types = 0;
};

SourceValues ReadSource() {
    SourceValues values;
    RegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, EventSourceKeyPath().c_str(), 0, KEY_QUERY_VALUE,
                        key.put()) != ERROR_SUCCESS)
        return values;
    values.exists = true;
    wchar_t file[MAX_PATH * 2] = {};
    DWORD size = sizeof(file) - sizeof(wchar_t);
    ::RegQueryValueExW(key.get(), L"EventMessageFile", nullptr, &values.fileType,
                       reinterpret_cast<BYTE*>(file), &size);
    values.file = file;
    size = sizeof(values.types);
    ::RegQueryValueExW(key.get(), L"TypesSupported", nullptr, nullptr,
                       reinterpret_cast<BYTE*>(&values.types), &size);
    return values;
}

TEST(EventSource, InstallRegistersItAndTheLastUninstallRemovesIt) {
    RemoveTendroEventSource();
    const std::wstring first = test::UniqueServiceName(L"TendroEvA");
    const std::wstring second = test::UniqueServiceName(L"TendroEvB");
    for (const std::wstring& name : {first, second}) {
        RunResult run = RunTendro({L"--install=" + name, L"-s", L"web"});
        ASSERT_EQ(run.exitCode, 0u) << run.outText;
    }
    SourceValues source = ReadSource();
    ASSERT_TRUE(source.exists);
    EXPECT_EQ(source.fileType, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(source.file, ProgramPath(L"tendro.exe"));
    EXPECT_EQ(source.types, 7u);

    // Another Tendro service is left: the source stays; the last one takes it along.
    RunResult run = RunTendro({L"--uninstall=" + first});
    EXPECT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_TRUE(ReadSource().exists);
    EXPECT_FALSE(OtherTendroServiceInstalled(second));
    run = RunTendro({L"--uninstall=" + second});
    EXPECT_EQ(run.exitCode, 0u) << run.outText;
    EXPECT_FALSE(ReadSource().exists);
}

// --- The message table ------------------------------------------------------------------

TEST(EventMessages, EveryIdFormatsWithAllItsInsertionStringsFromTendroExe) {
    HMODULE module = ::LoadLibraryExW(ProgramPath(L"tendro.exe").c_str(), nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << ::GetLastError();
    for (const EventKind& kind : EventKinds) {
        const DWORD id = static_cast<DWORD>(kind.id);
        SCOPED_TRACE(id);
        // The raw text names %1 .. %N, and no insertion beyond.
        wchar_t raw[2048] = {};
        ASSERT_NE(::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   module, id, 0, raw, 2048, nullptr),
                  0u)
            << "no message: " << ::GetLastError();
        const std::wstring text = raw;
        for (size_t i = 1; i <= kind.strings; ++i)
            EXPECT_NE(text.find(L"%" + std::to_wstring(i)), std::wstring::npos) << "%" << i;
        EXPECT_EQ(text.find(L"%" + std::to_wstring(kind.strings + 1)), std::wstring::npos);

        // Formatted as Event Viewer does, every string shows.
        std::vector<std::wstring> values;
        std::vector<DWORD_PTR> arguments;
        for (size_t i = 1; i <= kind.strings; ++i) values.push_back(L"<V" + std::to_wstring(i) + L">");
        for (const std::wstring& value : values) arguments.push_back(reinterpret_cast<DWORD_PTR>(value.c_str()));
        wchar_t formatted[4096] = {};
        ASSERT_NE(::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   module, id, 0, formatted, 4096,
                                   reinterpret_cast<va_list*>(arguments.data())),
                  0u);
        for (const std::wstring& value : values)
            EXPECT_NE(std::wstring(formatted).find(value), std::wstring::npos) << value;
    }
    ::FreeLibrary(module);
}

// --- Who writes ---------------------------------------------------------------------------

TEST(EventLogWriters, AServiceAlwaysAConsoleRunWithTheOptionACheckRunNever) {
    struct Case {
        const wchar_t* serviceName;
        bool option, checkRun, writes;
    } cases[] = {
        {L"TendroWeb", false, false, true},
        {L"", false, false, false},
        {L"", true, false, true},
        {L"", true, true, false},
    };
    for (const Case& c : cases) {
        LongOptions options;
        options.eventLog = c.option;
        std::vector<Seen> seen;
        auto reporter = MakeEventLog(options, c.serviceName, c.checkRun, StopSignal::Never(),
                                     std::make_unique<RecordingSink>(seen));
        EXPECT_EQ(reporter != nullptr, c.writes) << c.serviceName << c.option << c.checkRun;
    }
}

// --- The events of a run, through the sink ------------------------------------------------

class EventLogRun : public test::LoggingTest {
protected:
    EventLogRun() : reporter_(L"TendroWeb", std::make_unique<RecordingSink>(seen_), stop_) {
        extensions_.Add(reporter_.MakeReader());
        settings_.monitoredServices = {L"web", L"db"};
    }
    void SetUp() override {
        LoggingTest::SetUp();
        sinks_.Add(reporter_);
    }
    // One pass: each service found up or down (by `cause`).
    void Pass(bool webUp, bool dbUp, DownCause cause = DownCause::Stopped, bool first = false) {
        extensions_.Observe(PassBegun{settings_, first});
        extensions_.Observe(ServiceFound{web_, webUp ? SERVICE_RUNNING : SERVICE_STOPPED, !webUp,
                                         cause, first});
        extensions_.Observe(ServiceFound{db_, dbUp ? SERVICE_RUNNING : 0u, false,
                                         dbUp ? cause : DownCause::Unreadable, first});
        extensions_.Observe(PassEnded{settings_, services_});
    }

    std::vector<Seen> seen_;
    StopSignal stop_;
    EventLogReporter reporter_;
    LogSinks sinks_;
    Extensions extensions_{LongOptions{}};
    CmdLineParser settings_;
    ServiceObjects services_;
    ServiceControl web_{SharedScHandle(), SharedToken(), L"web", 1};
    ServiceControl db_{SharedScHandle(), SharedToken(), L"db", 1};
};

TEST_F(EventLogRun, AnOutageIsOneDownAndOneUpHoweverManyPassesItLasts) {
    Pass(true, true, DownCause::Stopped, true);
    for (int pass = 0; pass < 3; ++pass) Pass(false, true, DownCause::Probe);
    Pass(true, false);  // web up again; db cannot be read: an outage of its own
    Pass(true, false);
    Pass(true, true);
    extensions_.ProgramEnding(0);
    std::vector<Seen> expected{
        {Info, 100, {L"TendroWeb", L"2", L"web, db"}},
        {Warning, 200, {L"TendroWeb", L"web", L"its probe fails"}},
        {Info, 201, {L"TendroWeb", L"web", L"0"}},
        {Warning, 200, {L"TendroWeb", L"db", L"its state cannot be read"}},
        {Info, 201, {L"TendroWeb", L"db", L"0"}},
        {Info, 101, {L"TendroWeb", L"it ended with exit code 0"}},
    };
    EXPECT_EQ(seen_, expected);
}

TEST_F(EventLogRun, ResponsesHoldsKillsAndShutdownsEachGiveTheirEvent) {
    Pass(false, true, DownCause::Stopped, true);
    const std::vector<std::wstring> stopped{L"web", L"db"}, started{L"web"};
    extensions_.Observe(StopFailure{db_, ERROR_TIMEOUT});
    extensions_.Observe(ProcessKilled{db_, KillReason::Hung, 4242});
    extensions_.Observe(StartFailure{db_, ERROR_SERVICE_DISABLED});
    extensions_.Observe(StartFailure{web_, 0});
    extensions_.Observe(ResponseEnded{settings_, web_, stopped, started});
    // A hold: its beginning only, not every pass it lasts.
    extensions_.Observe(RestartsHeld{web_, {true, 3, 600, 600}});
    extensions_.Observe(RestartsHeld{web_, {false, 3, 600, 570}});
    extensions_.Observe(ProcessKilled{web_, KillReason::Memory, 77});
    // Windows shuts down once; a machine is named each time.
    extensions_.Observe(ShutdownNoResponse{web_, L""});
    extensions_.Observe(ShutdownNoResponse{db_, L""});
    extensions_.Observe(ShutdownNoResponse{db_, L"db01"});
    stop_.RequestShutdown();
    extensions_.ProgramEnding(0);
    std::vector<Seen> expected{
        {Info, 100, {L"TendroWeb", L"2", L"web, db"}},
        {Warning, 200, {L"TendroWeb", L"web", L"it is stopped"}},
        {Error, 203, {L"TendroWeb", L"db", L"stop", L"1460", OneLineText(WindowsErrorText(ERROR_TIMEOUT))}},
        {Warning, 205, {L"TendroWeb", L"db", L"4242", L"its stop hung"}},
        {Error, 203, {L"TendroWeb", L"db", L"start", L"1058", OneLineText(WindowsErrorText(ERROR_SERVICE_DISABLED))}},
        {Error, 203, {L"TendroWeb", L"web", L"start", L"0", L"the service did not reach the Running state"}},
        {Info, 202, {L"TendroWeb", L"web", L"web, db", L"web"}},
        {Warning, 204, {L"TendroWeb", L"web", L"3", L"600", L"600"}},
        {Warning, 205, {L"TendroWeb", L"web", L"77", L"its memory use was over the limit"}},
        {Warning, 206, {L"TendroWeb", L"web", L"Windows"}},
        {Warning, 206, {L"TendroWeb", L"db", L"db01"}},
        {Info, 101, {L"TendroWeb", L"Windows is shutting down"}},
    };
    EXPECT_EQ(seen_, expected);
}

TEST_F(EventLogRun, AStartThatFailsGivesOneErrorWithItsReasons) {
    WriteLog(LogError, L"Cannot connect to service web");
    WriteLog(LogInit, L"not a reason");
    WriteLog(LogError, L"Service does not exist.");
    extensions_.ProgramEnding(1);
    extensions_.ProgramEnding(1);  // written once
    reporter_.StartupFailed(L"later");
    std::vector<Seen> expected{
        {Error, 102, {L"TendroWeb", L"Cannot connect to service web: Service does not exist."}}};
    EXPECT_EQ(seen_, expected);
}

TEST_F(EventLogRun, ASystemErrorAfterTheStartIsEvent103) {
    Pass(true, true, DownCause::Stopped, true);
    extensions_.ReportSystemError(SystemError(ERROR_ACCESS_DENIED, "Can't wait between passes"));
    extensions_.ProgramEnding(1);
    ASSERT_EQ(seen_.size(), 2u);
    EXPECT_EQ(seen_[1], (Seen{Error, 103, {L"TendroWeb", L"Can't wait between passes", L"5",
                                           OneLineText(WindowsErrorText(ERROR_ACCESS_DENIED))}}));
}

// --- End to end: ReportEventW as Wine's debug output shows it ----------------------------

// The ReportEventW calls in Wine's debug output under WINEDEBUG=...+eventlog: the call's
// line "ReportEventW (source,0xTYPE,0xCATEGORY,0xID,sid,0xCOUNT,...)", then one line per
// string, L"..." quoted.
std::vector<Seen> ReportedEvents(const std::vector<std::wstring>& lines) {
    std::vector<Seen> events;
    size_t stringsLeft = 0;
    for (const std::wstring& line : lines) {
        size_t call = line.find(L"ReportEventW (");
        if (call != std::wstring::npos) {
            std::vector<std::wstring> fields;
            std::wstring rest = line.substr(call + 14);
            for (size_t at = 0; at <= rest.size();) {
                size_t comma = rest.find_first_of(L",)", at);
                if (comma == std::wstring::npos) break;
                fields.push_back(rest.substr(at, comma - at));
                at = comma + 1;
            }
            if (fields.size() < 6) continue;
            Seen event{static_cast<WORD>(std::wcstoul(fields[1].c_str(), nullptr, 16)),
                       std::wcstoul(fields[3].c_str(), nullptr, 16), {}};
            stringsLeft = std::wcstoul(fields[5].c_str(), nullptr, 16);
            events.push_back(event);
            continue;
        }
        size_t quoted = line.find(L"ReportEventW L\"");
        if (quoted == std::wstring::npos || stringsLeft == 0 || events.empty()) continue;
        std::wstring text = line.substr(quoted + 15);
        if (!text.empty() && text.back() == L'\r') text.pop_back();
        if (!text.empty() && text.back() == L'"') text.pop_back();
        events.back().strings.push_back(text);
        --stringsLeft;
    }
    return events;
}

// Runs tendro.exe with Wine's event log trace on. The trace goes to this test program's own
// standard error (the Unix one, which Wine's children inherit), which tests/CMakeLists.txt
// sends to the file named by TENDRO_TEST_STDERR; what a run adds to it is its events.
class EventLogConsole : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t path[MAX_PATH] = {};
        if (!::GetEnvironmentVariableW(L"TENDRO_TEST_STDERR", path, MAX_PATH))
            GTEST_SKIP() << "run through ctest: TENDRO_TEST_STDERR names the standard error's file";
        trace_ = std::wstring(L"Z:") + path;
        for (wchar_t& c : trace_) c = c == L'/' ? L'\\' : c;
        wchar_t old[256] = {};
        hadDebug_ = ::GetEnvironmentVariableW(L"WINEDEBUG", old, 256) > 0;
        oldDebug_ = old;
        ::SetEnvironmentVariableW(L"WINEDEBUG", L"-all,fixme+advapi,+eventlog");
    }
    void TearDown() override {
        ::SetEnvironmentVariableW(L"WINEDEBUG", hadDebug_ ? oldDebug_.c_str() : nullptr);
    }
    // The run, and the events that it reported.
    std::vector<Seen> Run(const std::vector<std::wstring>& arguments, RunResult& run) {
        const std::string before = TraceBytes();
        run = RunTendro(arguments);
        const std::string after = TraceBytes();
        std::wstring added = ToWide(after.substr(std::min(before.size(), after.size())), CP_UTF8);
        std::vector<std::wstring> lines;
        for (size_t at = 0; at < added.size();) {
            size_t end = added.find(L'\n', at);
            if (end == std::wstring::npos) end = added.size();
            lines.push_back(added.substr(at, end - at));
            at = end + 1;
        }
        return ReportedEvents(lines);
    }
    std::string TraceBytes() const {
        Handle file(::CreateFileW(trace_.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
        std::string bytes;
        char buffer[65536];
        DWORD read = 0;
        while (file && ::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
            bytes.append(buffer, read);
        return bytes;
    }

    std::wstring trace_;
    bool hadDebug_ = false;
    std::wstring oldDebug_;
};

TEST_F(EventLogConsole, AOnePassRunWritesItsEventsThroughReportEventW) {
    test::TestService web;
    RunResult run;
    std::vector<Seen> events = Run({L"-o", L"-r", L"--event-log", L"-s", web.Name()}, run);
    ASSERT_EQ(run.exitCode, 0u) << run.outText;
    // The stop of a service that is stopped already gives its exit code, as the log says.
    std::vector<Seen> expected{
        {Info, 100, {L"console", L"1", web.Name()}},
        {Warning, 200, {L"console", web.Name(), L"it is stopped"}},
        {Error, 203, {L"console", web.Name(), L"stop", L"1077",
                      OneLineText(WindowsErrorText(ERROR_SERVICE_NEVER_STARTED))}},
        {Info, 202, {L"console", web.Name(), web.Name(), web.Name()}},
        {Info, 101, {L"console", L"its single pass (-o) has ended"}},
    };
    EXPECT_EQ(events, expected) << ToNarrow(run.outText, CP_UTF8);
}

TEST_F(EventLogConsole, NoEventsWithoutTheOptionNorFromACheckRunButAFailedStartIsOne) {
    test::TestService web;
    RunResult run;
    for (const std::vector<std::wstring>& arguments :
         {std::vector<std::wstring>{L"-o", L"-p", L"-s", web.Name()},
          std::vector<std::wstring>{L"-o", L"-p", L"--check", L"--event-log", L"-s", web.Name()}})
        EXPECT_TRUE(Run(arguments, run).empty()) << ToNarrow(run.outText, CP_UTF8);
    std::vector<Seen> events = Run({L"-o", L"--event-log", L"--probe-timeout=0", L"-s", web.Name()}, run);
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_EQ(events.size(), 1u) << ToNarrow(run.outText, CP_UTF8);
    EXPECT_EQ(events[0].id, 102u);
    EXPECT_EQ(events[0].type, Error);
    ASSERT_EQ(events[0].strings.size(), 2u);
    EXPECT_NE(events[0].strings[1].find(L"--probe-timeout"), std::wstring::npos);
}

}  // namespace
}  // namespace tendro
