// --watch end to end: tendro.exe over fixture services at -f 30, where polling alone would see
// a change only at the next pass, half a minute later.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/handle.h"
#include "common/text.h"
#include "watch/service_notices.h"
#include "support/host_product.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// Far below the 30 s that the next pass would take, with room for a loaded machine.
constexpr DWORD kSeenWithinMs = 5000;
const std::wstring kCommencing = L"Service check commencing";

std::wstring Woken(const std::wstring& name) { return L"Woken by a change of service " + name; }

// One line of a fixture's event log: "<event> <pid> <ms>" (with --event-time).
struct Event {
    std::wstring what;
    DWORD pid = 0;
    double ms = 0;
};

// A temporary event-log file, removed when the test ends.
class EventLog {
public:
    EventLog() {
        wchar_t dir[MAX_PATH + 1];
        ::GetTempPathW(MAX_PATH, dir);
        path_ = std::wstring(dir) + UniqueServiceName(L"watch-events") + L".txt";
    }
    ~EventLog() { ::DeleteFileW(path_.c_str()); }
    std::vector<std::wstring> Arguments() const { return {L"--event-log", path_, L"--event-time"}; }

    std::vector<Event> Read() const {
        std::vector<Event> events;
        Handle file(::CreateFileW(path_.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
        if (!file) return events;
        std::string bytes(1 << 16, '\0');
        DWORD read = 0;
        ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
        bytes.resize(read);
        for (const auto& line : SplitLines(ToWide(bytes))) {
            size_t a = line.find(L' '), b = line.find(L' ', a + 1);
            if (a == std::wstring::npos || b == std::wstring::npos) continue;
            events.push_back({line.substr(0, a), static_cast<DWORD>(std::wcstoul(line.c_str() + a + 1, nullptr, 10)),
                              std::wcstod(line.c_str() + b + 1, nullptr)});
        }
        return events;
    }

private:
    std::wstring path_;
};

std::vector<std::wstring> GroupArguments(std::vector<std::wstring> options,
                                         const std::vector<TestService*>& group) {
    for (const TestService* s : group) options.insert(options.end(), {L"-s", s->Name()});
    return options;
}

// Waits until every service runs under another process than before.
bool WaitForNewProcesses(const std::vector<TestService*>& group,
                         const std::vector<DWORD>& oldPids, DWORD timeoutMs) {
    const DWORD begin = ::GetTickCount();
    for (;;) {
        bool all = true;
        for (size_t i = 0; i < group.size(); ++i)
            all = all && group[i]->State() == SERVICE_RUNNING && group[i]->Pid() != oldPids[i] &&
                  group[i]->Pid() != 0;
        if (all) return true;
        if (::GetTickCount() - begin > timeoutMs) return false;
        ::Sleep(50);
    }
}

}  // namespace

// A group of three at -f 30 --watch: the middle service goes down after the first pass.
class WatchedGroup : public ::testing::Test {
protected:
    // Starts the services and tendro.exe and waits until its first pass has ended.
    void Run(const std::vector<std::wstring>& middleArguments) {
        std::vector<std::wstring> middle = log.Arguments();
        middle.insert(middle.end(), middleArguments.begin(), middleArguments.end());
        s1 = std::make_unique<TestService>(log.Arguments());
        s2 = std::make_unique<TestService>(middle);
        s3 = std::make_unique<TestService>(log.Arguments());
        group = {s1.get(), s2.get(), s3.get()};
        for (TestService* s : group) {
            ASSERT_TRUE(s->Start());
            oldPids.push_back(s->Pid());
        }
        tendro = std::make_unique<RunningProgram>(
            ProgramPath(L"tendro.exe"), GroupArguments({L"-v", L"-f", L"30", L"--watch"}, group));
        ASSERT_TRUE(tendro->WaitForOutput(L"    PID: " + std::to_wstring(oldPids[2]), 30000))
            << ToNarrow(tendro->OutputSoFar());
        ::Sleep(500);  // the end of the pass arms the watch
    }

    // After the middle service went down: the group restarted once, at once.
    void ExpectOneRestartRightAfter(const std::wstring& downEvent) {
        ASSERT_TRUE(WaitForNewProcesses(group, oldPids, 20000)) << ToNarrow(tendro->OutputSoFar());
        ::Sleep(1500);  // room for a second restart, which must not come
        RunResult r = tendro->Stop();
        auto lines = ParseLog(r.out);

        int woken = FindText(lines, Woken(s2->Name()));
        ASSERT_GE(woken, 0) << ToNarrow(r.outText);
        ASSERT_LT(woken + 1, static_cast<int>(lines.size()));
        EXPECT_EQ(lines[woken], (LogLine{L"Info", Woken(s2->Name())}));
        EXPECT_EQ(lines[woken + 1].text, kCommencing);
        // The group's own restart wakes nothing: one early pass in all.
        int wakes = 0;
        for (const auto& line : lines) wakes += line.text.rfind(L"Woken by ", 0) == 0;
        EXPECT_EQ(wakes, 1) << ToNarrow(r.outText);
        std::vector<LogLine> afterWake(lines.begin() + woken, lines.end());
        const std::vector<std::wstring> names{s1->Name(), s2->Name(), s3->Name()};
        EXPECT_THAT(ServiceOperations(afterWake), ElementsAreArray(StopsThenStarts(names, names)));
        EXPECT_EQ(ServiceOperations(lines).size(), 6u) << ToNarrow(r.outText);

        // The fixtures' own record: one stop of each other service and one start of each,
        // beginning within moments of the middle one's end.
        std::vector<Event> events = log.Read();
        size_t down = 0;
        while (down < events.size() &&
               !(events[down].what == downEvent && events[down].pid == oldPids[1]))
            ++down;
        ASSERT_LT(down, events.size());
        std::vector<std::wstring> after;
        for (size_t i = down + 1; i < events.size(); ++i)
            if (events[i].what == L"stop" || events[i].what == L"start")
                after.push_back(events[i].what + L" " + std::to_wstring(events[i].pid));
        auto id = [](DWORD pid) { return std::to_wstring(pid); };
        EXPECT_THAT(after, ElementsAre(L"stop " + id(oldPids[0]), L"stop " + id(oldPids[2]),
                                       L"start " + id(s1->Pid()), L"start " + id(s2->Pid()),
                                       L"start " + id(s3->Pid())));
        for (size_t i = down + 1; i < events.size(); ++i) {
            if (events[i].what != L"stop") continue;
            EXPECT_LT(events[i].ms - events[down].ms, kSeenWithinMs);
            break;
        }
    }

    EventLog log;
    std::unique_ptr<TestService> s1, s2, s3;
    std::vector<TestService*> group;
    std::vector<DWORD> oldPids;
    std::unique_ptr<RunningProgram> tendro;  // ends before the services go
};

TEST_F(WatchedGroup, AServiceStoppedFromOutsideRestartsTheGroupAtOnceAndOnce) {
    Run({});
    // The group comes back at once: the stop's own record is in the fixture's log.
    ASSERT_TRUE(s2->AskToStop());
    ExpectOneRestartRightAfter(L"stop");
}

TEST_F(WatchedGroup, ACrashRestartsTheGroupAtOnceAndOnce) {
    // Reports STOPPED with 1067 and exits, some seconds after the first pass has ended.
    Run({L"--exit-after", L"6000", L"--exit-code", L"1067"});
    ASSERT_NE(FindText(ParseLog(SplitLines(tendro->OutputSoFar())), L" Status: Running"), -1);
    ExpectOneRestartRightAfter(L"stopped");
}

// The remote form reaches the service through its machine's service manager only (no process
// of another machine is watched), so the manager's notice alone must wake the pause.
TEST(Watch, AServiceOfAnotherMachineIsWatchedThroughItsServiceManager) {
    TestService service;
    ASSERT_TRUE(service.Start());
    const std::wstring remote = service.RemoteName();
    RunningProgram tendro(ProgramPath(L"tendro.exe"), {L"-v", L"-f", L"30", L"--watch", L"-s", remote});
    ASSERT_TRUE(tendro.WaitForOutput(L"    PID: " + std::to_wstring(service.Pid()), 30000))
        << ToNarrow(tendro.OutputSoFar());
    ::Sleep(500);
    ASSERT_TRUE(service.AskToStop());
    const DWORD stopped = ::GetTickCount();
    ASSERT_TRUE(tendro.WaitForOutput(L"Starting service " + remote, 20000)) << ToNarrow(tendro.OutputSoFar());
    EXPECT_LT(::GetTickCount() - stopped, kSeenWithinMs);
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, 20000));
    RunResult r = tendro.Stop();
    auto lines = ParseLog(r.out);
    int woken = FindText(lines, Woken(remote));
    ASSERT_GE(woken, 0) << ToNarrow(r.outText);
    EXPECT_EQ(lines[woken + 1].text, kCommencing);
}

// The host product's service keeps running when its program ends: the wait on the recorded
// program is what wakes the pause.
TEST(Watch, AHostProductServiceWhoseProgramIsKilledRestartsAtOnce) {
    HostProductInstallation product;
    const std::wstring name = UniqueServiceName(L"TendroH");
    product.SetServices({name});
    HostProductService service(product.ExePath(), name);
    ASSERT_TRUE(service.Start());
    const DWORD program = service.RecordedPid();
    ASSERT_NE(program, 0u);

    RunningProgram tendro(ProgramPath(L"tendro.exe"), {L"-v", L"-f", L"30", L"--watch", L"-s", name});
    ASSERT_TRUE(tendro.WaitForOutput(L"Process: Running", 30000)) << ToNarrow(tendro.OutputSoFar());
    ::Sleep(500);
    {
        Handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, program));
        ASSERT_TRUE(process);
        ASSERT_TRUE(::TerminateProcess(process.get(), 9));
        ASSERT_EQ(::WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    }
    const DWORD killed = ::GetTickCount();
    ASSERT_TRUE(tendro.WaitForOutput(L"Starting service " + name, 20000)) << ToNarrow(tendro.OutputSoFar());
    EXPECT_LT(::GetTickCount() - killed, kSeenWithinMs);
    for (DWORD begin = ::GetTickCount();
         (service.State() != SERVICE_RUNNING || service.RecordedPid() == program ||
          service.RecordedPid() == 0) && ::GetTickCount() - begin < 20000;)
        ::Sleep(50);
    RunResult r = tendro.Stop();
    auto lines = ParseLog(r.out);
    int woken = FindText(lines, Woken(name));
    ASSERT_GE(woken, 0) << ToNarrow(r.outText);
    EXPECT_EQ(lines[woken + 1].text, kCommencing);
    EXPECT_THAT(ServiceOperations(lines), ElementsAreArray(StopsThenStarts({name}, {name})));
    EXPECT_EQ(service.State(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(service.RecordedPid(), program);
}

// A host-product service stopped while its record says Scheduled is not down, and the pass
// leaves it alone: it is not down by the pass's doing either, so it does not end every pause.
TEST(Watch, AStoppedHostProductServiceScheduledByItsRecordKeepsTheFrequency) {
    HostProductInstallation product;
    const std::wstring name = UniqueServiceName(L"TendroH");
    product.SetServices({name});
    for (const auto& [key, value] : std::vector<std::pair<std::wstring, std::wstring>>{
             {L"StartChild", L"0"}, {L"ProcessState", L"3"}, {L"KeepRecordOnStop", L"1"}})
        product.Configure(key + L":" + name, value);
    HostProductService service(product.ExePath(), name);
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.StopFromOutside());

    RunningProgram tendro(ProgramPath(L"tendro.exe"), {L"-v", L"-f", L"30", L"--watch", L"-s", name});
    ASSERT_TRUE(tendro.WaitForOutput(L"Process: Scheduled", 30000)) << ToNarrow(tendro.OutputSoFar());
    ::Sleep(3000);  // a few seconds of watching: passes back to back would be many
    RunResult r = tendro.Stop();
    auto lines = ParseLog(r.out);
    EXPECT_LE(CountLines(lines, L"Info", kCommencing), 2) << ToNarrow(r.outText);
    EXPECT_TRUE(ServiceOperations(lines).empty());
    EXPECT_EQ(service.State(), DWORD{SERVICE_STOPPED});
}

// With -p a service found stopped stays stopped: it is not watched, so it does not wake every
// pause; the passes keep the frequency.
TEST(Watch, PassiveModeWakesOnceForAStopAndThenKeepsTheFrequency) {
    TestService a, b;
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-v", L"-p", L"-f", L"1", L"--watch", L"-s", a.Name(), L"-s", b.Name()});
    ASSERT_TRUE(tendro.WaitForOutput(L"    PID: " + std::to_wstring(b.Pid()), 30000))
        << ToNarrow(tendro.OutputSoFar());
    ::Sleep(300);
    ASSERT_TRUE(a.StopFromOutside());
    ASSERT_TRUE(tendro.WaitForOutput(Woken(a.Name()), 10000)) << ToNarrow(tendro.OutputSoFar());
    const DWORD begin = ::GetTickCount();
    ::Sleep(4500);
    RunResult r = tendro.Stop();
    const DWORD watched = ::GetTickCount() - begin;
    auto lines = ParseLog(r.out);
    int woken = FindText(lines, Woken(a.Name()));
    ASSERT_GE(woken, 0);
    EXPECT_EQ(CountLines(lines, L"Info", Woken(a.Name())), 1);
    EXPECT_EQ(CountLines(lines, L"Info", Woken(b.Name())), 0);
    int passes = 0;
    for (size_t i = woken + 2; i < lines.size(); ++i) passes += lines[i].text == kCommencing;
    // One pass a second (a pass itself takes a little): never many more.
    EXPECT_LE(passes, static_cast<int>(watched / 1000) + 1) << ToNarrow(r.outText);
    EXPECT_GE(passes, 2) << ToNarrow(r.outText);
    EXPECT_EQ(a.State(), DWORD{SERVICE_STOPPED});
}

// A service stopped from outside while the pass is busy with another one's restart (a slow
// start) has no notice armed yet: it is down when the pass ends, not by the pass's doing, so
// the next pass starts at once instead of after the 30 s of -f.
TEST(Watch, AServiceStoppedDuringAnotherOnesRestartStartsTheNextPassAtOnce) {
    EventLog log;
    std::vector<std::wstring> slowStart = log.Arguments();
    slowStart.insert(slowStart.end(), {L"--start-pending", L"3000"});
    TestService early(log.Arguments()), slow(slowStart);
    ASSERT_TRUE(early.Start());
    const DWORD earlyPid = early.Pid();
    // The slow one is down at the first pass: its -r restart keeps the pass busy.
    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-v", L"-r", L"-f", L"30", L"--watch", L"-s", early.Name(), L"-s", slow.Name()});
    ASSERT_TRUE(tendro.WaitForOutput(L"Starting service " + slow.Name(), 30000)) << ToNarrow(tendro.OutputSoFar());
    ASSERT_TRUE(early.AskToStop());
    ASSERT_TRUE(tendro.WaitForOutput(L"Starting service " + early.Name(), 25000)) << ToNarrow(tendro.OutputSoFar());
    ASSERT_TRUE(early.WaitForState(SERVICE_RUNNING, 20000));
    RunResult r = tendro.Stop();
    auto lines = ParseLog(r.out);
    int woken = FindText(lines, Woken(early.Name()));
    ASSERT_GE(woken, 0) << ToNarrow(r.outText);
    EXPECT_EQ(lines[woken + 1].text, kCommencing);
    EXPECT_EQ(ServiceOperations(lines).size(), 4u) << ToNarrow(r.outText);
    // From the end of the first pass (the slow one running) to the new start of the other.
    ASSERT_NE(early.Pid(), earlyPid);
    std::vector<Event> events = log.Read();
    auto find = [&](const wchar_t* what, DWORD pid) {
        return std::find_if(events.begin(), events.end(),
                            [&](const Event& e) { return e.what == what && e.pid == pid; });
    };
    auto running = find(L"running", slow.Pid()), restarted = find(L"start", early.Pid());
    ASSERT_NE(running, events.end());
    ASSERT_NE(restarted, events.end());
    EXPECT_LT(restarted->ms - running->ms, kSeenWithinMs);
}

// The answer that the notices lag behind (which Wine never gives), given to the next request.
bool lagNext = false;
std::vector<SC_HANDLE> notified;
DWORD WINAPI NotifyOrLag(SC_HANDLE service, DWORD mask, PSERVICE_NOTIFYW notify) {
    notified.push_back(service);
    if (std::exchange(lagNext, false)) return 1294;  // ERROR_SERVICE_NOTIFY_CLIENT_LAGGING
    return ::NotifyServiceStatusChangeW(service, mask, notify);
}

// After a lag the machine's services are reopened through a new manager handle and armed
// again; the requests that the closed handles cancelled are freed at the next drain.
TEST(ServiceNotices, ALagReopensTheMachinesServicesAndTheirNoticesStillCome) {
    TestService a, b;
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    SharedScHandle scm = MakeSharedScHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceControl serviceA(scm, {}, a.Name(), 1), serviceB(scm, {}, b.Name(), 1);
    notified.clear();
    ServiceNotices notices(&NotifyOrLag);
    notices.Arm(serviceB);
    lagNext = true;
    notices.Arm(serviceA);
    // B, A (lagging), B again and A again: each through a handle of its own.
    ASSERT_EQ(notified.size(), 4u);
    EXPECT_NE(notified[2], notified[0]);
    EXPECT_NE(notified[3], notified[1]);
    EXPECT_EQ(notices.CancelledRequests(), 1u);  // B's first

    PauseWaits waits;
    notices.Collect(&waits);
    for (TestService* service : {&b, &a}) {
        waits.Begin();
        ASSERT_TRUE(service->AskToStop());
        while (::WaitForSingleObjectEx(waits.WakeEvent(), 20000, TRUE) == WAIT_IO_COMPLETION) {
        }
        EXPECT_EQ(waits.WokenBy(), service->Name());
    }
    notices.Collect(nullptr);
    notices.DropQueued();
    EXPECT_EQ(notices.CancelledRequests(), 0u);
}

// -o has no pause: the run is the same with --watch, line for line (but for the command line).
TEST(Watch, ARunOnceIsTheSameWithTheWatch) {
    TestService a, b;
    ASSERT_TRUE(a.Start());
    auto texts = [&](std::vector<std::wstring> extra) {
        std::vector<std::wstring> args{L"-v", L"-o", L"-p", L"-s", a.Name(), L"-s", b.Name()};
        args.insert(args.end(), extra.begin(), extra.end());
        RunResult r = RunTendro(args, 30000);
        EXPECT_EQ(r.exitCode, 0u);
        std::vector<std::wstring> kept;
        for (const auto& text : LogTexts(r.out))
            if (text.rfind(L"CLI: ", 0) != 0 && text.rfind(L"Corvanta Tendro: ", 0) != 0)
                kept.push_back(text);
        return kept;
    };
    std::vector<std::wstring> plain = texts({});
    EXPECT_EQ(texts({L"--watch"}), plain);
    EXPECT_GT(plain.size(), 5u);
}

TEST(Watch, AValueIsRefusedAndNothingIsMonitored) {
    TestService stopped;
    RunResult r = RunTendro({L"-o", L"--watch=on", L"-s", stopped.Name()}, 30000);
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_THAT(ParseLog(r.out), ElementsAre(LogLine{L"Err!", L"Option --watch takes no value: \"on\""}));
    EXPECT_EQ(stopped.State(), DWORD{SERVICE_STOPPED});
}
