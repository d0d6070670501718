// The Event Log: the source of --install and --uninstall, the message table in tendro.exe, and
// the events of a run (Wine keeps none: read from its ReportEventW trace, or through the sink).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "app/extensions.h"
#include "checkmode/check_line.h"
#include "common/error.h"
#include "common/handle.h"
#include "common/text.h"
#include "eventlog/event_log.h"
#include "eventlog/event_source.h"
#include "log/log.h"
#include "support/run_tendro.h"
#include "support/temp_folder.h"
#include "support/test_services.h"

namespace tendro::test {
namespace {

using Seen = std::tuple<WORD, DWORD, std::vector<std::wstring>>;  // type, ID, strings

struct RecordingSink final : EventSink {
    explicit RecordingSink(std::vector<Seen>& seen) : seen(seen) {}
    void Write(const EventRecord& e) override { seen.emplace_back(e.type, DWORD(e.id), e.strings); }
    std::vector<Seen>& seen;
};

constexpr WORD Info = EVENTLOG_INFORMATION_TYPE, Warning = EVENTLOG_WARNING_TYPE,
               Error = EVENTLOG_ERROR_TYPE;

TEST(EventSource, InstallRegistersItAndTheLastUninstallRemovesIt) {
    RemoveTendroEventSource();
    const std::wstring first = UniqueServiceName(L"TendroEvA"), second = UniqueServiceName(L"TendroEvB");
    for (const std::wstring& name : {first, second})
        ASSERT_EQ(RunTendro({L"--install=" + name, L"-s", L"web"}).exitCode, 0u);
    wchar_t file[MAX_PATH] = {};
    DWORD size = sizeof(file), types = 0, typesSize = sizeof(types);
    auto get = [key = EventSourceKeyPath()](const wchar_t* name, DWORD flags, void* data, DWORD* size) {
        return ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, flags, nullptr, data, size);
    };
    EXPECT_EQ(get(L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, file, &size), 0);
    EXPECT_EQ(get(L"TypesSupported", RRF_RT_REG_DWORD, &types, &typesSize), 0);
    EXPECT_EQ(std::pair(std::wstring(file), types), std::pair(TendroPath(), DWORD{7}));
    // The source stays while another Tendro service is left.
    for (const std::wstring& name : {first, second}) {
        EXPECT_EQ(RunTendro({L"--uninstall=" + name}).exitCode, 0u);
        RegKey source;
        EXPECT_EQ(!::RegOpenKeyExW(HKEY_LOCAL_MACHINE, EventSourceKeyPath().c_str(), 0, KEY_READ, source.put()),
                  name == first);
    }
}

// Every ID formats from tendro.exe with exactly its number of insertion strings.
TEST(EventMessages, EveryIdFormatsWithAllItsInsertionStringsFromTendroExe) {
    HMODULE module = ::LoadLibraryExW(ProgramPath(L"tendro.exe").c_str(), nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << ::GetLastError();
    for (const EventKind& kind : EventKinds) {
        SCOPED_TRACE(DWORD(kind.id));
        std::vector<std::wstring> values;  // one beyond the last, which must not show
        std::vector<DWORD_PTR> arguments;
        for (size_t i = 1; i <= kind.strings + 1; ++i) values.push_back(L"<V" + std::to_wstring(i) + L">");
        for (const std::wstring& v : values) arguments.push_back(DWORD_PTR(v.c_str()));
        wchar_t text[4096] = {};
        ASSERT_NE(::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                                   DWORD(kind.id), 0, text, 4096, reinterpret_cast<va_list*>(arguments.data())),
                  0u) << ::GetLastError();
        for (size_t i = 0; i < values.size(); ++i)
            EXPECT_EQ(std::wstring(text).find(values[i]) != std::wstring::npos, i < kind.strings) << i + 1;
    }
    ::FreeLibrary(module);
}

class EventLogRun : public LoggingTest {
protected:
    EventLogRun() : reporter_(L"TendroWeb", std::make_unique<RecordingSink>(seen_), stop_) {
        extensions_.Add(reporter_.MakeReader());
        settings_.monitoredServices = {L"web", L"db"};
    }
    void SetUp() override { LoggingTest::SetUp(); sinks_.Add(reporter_); }
    // One pass: web up or down by `cause`, db up or unreadable.
    void Pass(bool webUp, bool dbUp, DownCause cause = DownCause::Stopped, bool first = false) {
        extensions_.Observe(PassBegun{settings_, first});
        extensions_.Observe(ServiceFound{web_, DWORD(webUp ? SERVICE_RUNNING : SERVICE_STOPPED), !webUp, cause, first});
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
    Pass(true, false);  // web up again; db unreadable: an outage of its own
    Pass(true, false);
    Pass(true, true);
    extensions_.ProgramEnding(0);
    EXPECT_EQ(seen_, (std::vector<Seen>{
        {Info, 100, {L"TendroWeb", L"2", L"web, db"}}, {Warning, 200, {L"TendroWeb", L"web", L"its probe fails"}},
        {Info, 201, {L"TendroWeb", L"web", L"0"}}, {Warning, 200, {L"TendroWeb", L"db", L"its state cannot be read"}},
        {Info, 201, {L"TendroWeb", L"db", L"0"}}, {Info, 101, {L"TendroWeb", L"it ended with exit code 0"}}}));
}

TEST_F(EventLogRun, ResponsesHoldsKillsAndShutdownsEachGiveTheirEvent) {
    Pass(false, true, DownCause::Stopped, true);
    extensions_.Observe(StopFailure{db_, ERROR_TIMEOUT});
    extensions_.Observe(ProcessKilled{db_, KillReason::Hung, 4242});
    extensions_.Observe(StartFailure{db_, ERROR_SERVICE_DISABLED});
    extensions_.Observe(StartFailure{web_, 0});
    extensions_.Observe(ResponseEnded{settings_, web_, {L"web", L"db"}, {L"web"}});
    extensions_.Observe(RestartsHeld{web_, {true, 3, 600, 600}});  // only a hold's beginning
    extensions_.Observe(RestartsHeld{web_, {false, 3, 600, 570}});
    extensions_.Observe(ProcessKilled{web_, KillReason::Memory, 77});
    // Windows shuts down once; a machine is named each time.
    extensions_.Observe(ShutdownNoResponse{web_, L""});
    extensions_.Observe(ShutdownNoResponse{db_, L""});
    extensions_.Observe(ShutdownNoResponse{db_, L"db01"});
    stop_.RequestShutdown();
    extensions_.ProgramEnding(0);
    EXPECT_EQ(seen_, (std::vector<Seen>{
        {Info, 100, {L"TendroWeb", L"2", L"web, db"}}, {Warning, 200, {L"TendroWeb", L"web", L"it is stopped"}},
        {Error, 203, {L"TendroWeb", L"db", L"stop", L"1460", OneLineText(WindowsErrorText(ERROR_TIMEOUT))}},
        {Warning, 205, {L"TendroWeb", L"db", L"4242", L"its stop hung"}},
        {Error, 203, {L"TendroWeb", L"db", L"start", L"1058", OneLineText(WindowsErrorText(ERROR_SERVICE_DISABLED))}},
        {Error, 203, {L"TendroWeb", L"web", L"start", L"0", L"the service did not reach the Running state"}},
        {Info, 202, {L"TendroWeb", L"web", L"web, db", L"web"}},
        {Warning, 204, {L"TendroWeb", L"web", L"3", L"600", L"600"}},
        {Warning, 205, {L"TendroWeb", L"web", L"77", L"its memory use was over the limit"}},
        {Warning, 206, {L"TendroWeb", L"web", L"Windows"}},
        {Warning, 206, {L"TendroWeb", L"db", L"db01"}}, {Info, 101, {L"TendroWeb", L"Windows is shutting down"}}}));
}

TEST_F(EventLogRun, AStartThatFailsGivesOneErrorWithItsReasons) {
    WriteLog(LogError, L"Cannot connect to service web");
    WriteLog(LogInit, L"not a reason");
    WriteLog(LogError, L"Service does not exist.");
    for (int i = 0; i < 2; ++i) extensions_.ProgramEnding(1);  // written once
    reporter_.StartupFailed(L"later");
    EXPECT_EQ(seen_, (std::vector<Seen>{{Error, 102, {L"TendroWeb",
                                         L"Cannot connect to service web: Service does not exist."}}}));
}

TEST_F(EventLogRun, ASystemErrorAfterTheStartIsEvent103) {
    Pass(true, true, DownCause::Stopped, true);
    extensions_.ReportSystemError(SystemError(ERROR_ACCESS_DENIED, "Can't wait between passes"));
    extensions_.ProgramEnding(1);
    EXPECT_EQ(seen_.back(), Seen(Error, 103, {L"TendroWeb", L"Can't wait between passes", L"5",
                                              OneLineText(WindowsErrorText(ERROR_ACCESS_DENIED))}));
}

// Wine's trace of ReportEventW: "ReportEventW (source,0xTYPE,0xCATEGORY,0xID,...)", then one
// line per string, L"..." quoted.
std::vector<Seen> ReportedEvents(const std::string& trace) {
    std::vector<Seen> events;
    for (const std::wstring& line : SplitLines(ToWide(trace, CP_UTF8))) {
        const size_t at = line.find(L"ReportEventW ");
        unsigned type = 0, id = 0;
        if (at == std::wstring::npos) continue;
        if (std::swscanf(line.c_str() + at, L"ReportEventW (%*[^,],%x,%*x,%x", &type, &id) == 2)
            events.emplace_back(WORD(type), id, std::vector<std::wstring>{});
        else if (!events.empty() && line.compare(at + 13, 2, L"L\"") == 0 && line.back() == L'"') {
            std::wstring text;  // the trace escapes \\ and "
            for (size_t i = at + 15; i + 1 < line.size(); ++i) text += line[i] == L'\\' ? line[++i] : line[i];
            std::get<2>(events.back()).push_back(text);
        }
    }
    return events;
}

// Wine's event log trace goes to this program's Unix standard error, the file TENDRO_TEST_STDERR.
// A console run writes only with --event-log, and never as a check.
TEST(EventLogConsole, OnlyWithTheOptionNeverFromACheckRunAndAFailedStartIsOne102) {
    EXPECT_NE(MakeEventLog(LongOptions{}, L"TendroWeb", false, StopSignal::Never()), nullptr);
    wchar_t path[MAX_PATH] = {}, debug[256] = {};
    if (!::GetEnvironmentVariableW(L"TENDRO_TEST_STDERR", path, MAX_PATH))
        GTEST_SKIP() << "run through ctest: TENDRO_TEST_STDERR names the standard error's file";
    std::wstring trace = L"Z:" + std::wstring(path);
    std::ranges::replace(trace, L'/', L'\\');
    const bool debugSet = ::GetEnvironmentVariableW(L"WINEDEBUG", debug, 256);
    TestService web;
    const std::wstring w = web.Name();
    const struct { std::vector<std::wstring> arguments; std::vector<Seen> events; } cases[] = {
        {{L"-o", L"-p", L"-s", w}, {}}, {{L"-o", L"-p", L"--check", L"--event-log", L"-s", w}, {}},
        // The stop of a service that is stopped already gives its exit code, as the log says.
        {{L"-o", L"-r", L"--event-log", L"-s", w},
         {{Info, 100, {L"console", L"1", w}}, {Warning, 200, {L"console", w, L"it is stopped"}},
          {Error, 203, {L"console", w, L"stop", L"1077", OneLineText(WindowsErrorText(ERROR_SERVICE_NEVER_STARTED))}},
          {Info, 202, {L"console", w, w, w}}, {Info, 101, {L"console", L"its single pass (-o) has ended"}}}},
        {{L"-o", L"--event-log", L"--probe-timeout=0", L"-s", w},
         {{Error, 102, {L"console", L"Invalid value for option --probe-timeout: \"0\" (expected a whole "
                                    L"number of milliseconds from 1 to 60000)"}}}},
    };
    for (const auto& c : cases) {
        const size_t before = ReadWhole(trace).value_or("").size();
        ::SetEnvironmentVariableW(L"WINEDEBUG", L"-all,fixme+advapi,+eventlog");
        RunResult run = RunTendro(c.arguments);
        ::SetEnvironmentVariableW(L"WINEDEBUG", debugSet ? debug : nullptr);
        EXPECT_EQ(ReportedEvents(ReadWhole(trace).value_or("").substr(before)), c.events)
            << ToNarrow(run.outText, CP_UTF8);
    }
}

}  // namespace
}  // namespace tendro::test
