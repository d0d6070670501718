// The monitor pass end to end: tendro.exe watching fixture services and Wine's own services
// registered in the Wine service manager.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "app/monitor.h"
#include "app/startup.h"
#include "common/text.h"
#include "log/log.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {


std::wstring NotRunning(const std::wstring& name) {
    return L"Service " + name + L" is NOT running!";
}

std::vector<std::wstring> Words(const std::vector<LogLine>& lines) {
    std::vector<std::wstring> words;
    for (const auto& line : lines) words.push_back(line.word);
    return words;
}


}  // namespace

TEST(PassPause, NegativeFrequencyIsNoPauseAndTheLongestStaysFinite) {
    EXPECT_EQ(PassPauseMilliseconds(-5), 0u);
    EXPECT_EQ(PassPauseMilliseconds(INT_MIN), 0u);
    EXPECT_EQ(PassPauseMilliseconds(0), 0u);
    EXPECT_EQ(PassPauseMilliseconds(30), 30000u);
    EXPECT_EQ(PassPauseMilliseconds(4294967), 4294967000u);
    EXPECT_EQ(PassPauseMilliseconds(4294968), 4294967000u);
    EXPECT_EQ(PassPauseMilliseconds(INT_MAX), 4294967000u);
}

// The cycle in-process over two services that do not exist (their checks fail at once), at
// -f 30: a stop raised at one hook point (the pause's is a wait's), and the pause woken.
struct CycleHooks : MonitorHooks {
    enum Point { FirstCheck, PassEnd, Pause, SecondPassEnd };
    enum Wake { None, Named, QueuedCall };
    CycleHooks(StopSignal& stop, Point at, Wake wake) : stop(stop), at(at), wake(wake) {}
    void Raise(bool here) { if (here) stop.RequestStop(); }
    void Observe(const MonitorEvent& event) override {
        if (std::get_if<ServiceFound>(&event)) Raise(++checks == 1 && at == FirstCheck);
        if (std::get_if<PassEnded>(&event))
            Raise(at == PassEnd || (++passes == 2 && at == SecondPassEnd));
    }
    void PauseStarting(PauseWaits& waits) override {
        Raise(at == Pause);
        if (wake == Named) waits.WakeFor(L"Named");
        if (wake != QueuedCall) return;
        waits.WaitAlertably();
        ::QueueUserAPC([](ULONG_PTR w) { reinterpret_cast<PauseWaits*>(w)->WakeFor(L"Queued"); },
                       ::GetCurrentThread(), reinterpret_cast<ULONG_PTR>(&waits));
    }
    void PauseEnded(const std::wstring& wokenBy) override { woken.push_back(wokenBy); }

    StopSignal& stop;
    Point at;
    Wake wake;
    int checks = 0, passes = 0;
    std::vector<std::wstring> woken;  // one entry per pause
};

class MonitorCycle : public LoggingTest {};  // the log at Init, as -v sets it

TEST_F(MonitorCycle, AStopEndsThePauseAtOnceAndAPassAfterTheServiceAtHand) {
    struct Row {
        CycleHooks::Point at;
        CycleHooks::Wake wake;
        int checks;
        std::vector<std::wstring> woken;
    };
    const std::vector<Row> rows{{CycleHooks::FirstCheck, CycleHooks::None, 1, {}},
                                {CycleHooks::PassEnd, CycleHooks::None, 2, {}},
                                {CycleHooks::Pause, CycleHooks::None, 2, {L""}},
                                {CycleHooks::SecondPassEnd, CycleHooks::Named, 4, {L"Named"}},
                                {CycleHooks::SecondPassEnd, CycleHooks::QueuedCall, 4, {L"Queued"}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.at * 10 + row.wake);
        CmdLineParser settings;
        settings.frequency = 30;
        settings.monitoredServices = {L"TendroGhostA", L"TendroGhostB"};
        Connections connections;
        StrikeCounts strikes;
        ServiceObjects services;
        StopSignal stop;
        CycleHooks hooks(stop, row.at, row.wake);
        CapturedLog log;
        const ULONGLONG begin = ::GetTickCount64();
        RunMonitorCycle(settings, connections, strikes, services, hooks, stop);
        EXPECT_LT(::GetTickCount64() - begin, 15000u);  // far below the 30 s of a pause
        EXPECT_EQ(hooks.checks, row.checks);
        EXPECT_EQ(hooks.woken, row.woken);
        auto lines = log.Lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), (LogLine{L"Init", L"Tendro Stopped"}));
    }
}

TEST(MonitorPass, FirstPassReportsAStoppedServiceAtInitAndBringsTheGroupUp) {
    TestService s1, s2, s3;
    ASSERT_TRUE(s1.Start());
    ASSERT_TRUE(s3.Start());
    const DWORD oldPid1 = s1.Pid(), oldPid3 = s3.Pid();

    // -o with the default frequency of 30 s: the program ends right after its pass.
    RunResult r = RunTendro({L"-v", L"-o", L"-s", s1.Name(), L"-s", s2.Name(), L"-s", s3.Name()},
                            25000);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0u);
    auto lines = ParseLog(r.out);
    EXPECT_THAT(LinesFrom(lines, L"Service check commencing", 7),
                ElementsAre(LogLine{L"Info", L"Service check commencing"},
                            LogLine{L"Info", L"Service: " + s1.Name()},
                            LogLine{L"Info", L" Status: Running"},
                            LogLine{L"Info", L"    PID: " + std::to_wstring(oldPid1)},
                            LogLine{L"Init", NotRunning(s2.Name())},
                            LogLine{L"Info", L"Service: " + s2.Name()},
                            LogLine{L"Info", L" Status: Stopped"}));
    EXPECT_THAT(lines, Contains(LogLine{L"Info", L"    PID: -1"}));
    EXPECT_EQ(FindText(lines, kDown), -1);
    EXPECT_THAT(ServiceOperations(lines),
                ElementsAreArray(StopsThenStarts({s1.Name(), s2.Name(), s3.Name()},
                                                 {s1.Name(), s2.Name(), s3.Name()})));
    // The third service is checked after the restart, in the same pass.
    int restartedThird = FindText(lines, L"Starting service " + s3.Name());
    EXPECT_GT(FindText(lines, L"Service: " + s3.Name(), restartedThird), restartedThird);
    EXPECT_EQ(lines.back(), (LogLine{L"Init", L"Tendro Stopped"}));

    for (TestService* s : {&s1, &s2, &s3}) EXPECT_EQ(s->State(), DWORD{SERVICE_RUNNING}) << s->Name();
    EXPECT_NE(s1.Pid(), oldPid1);
    EXPECT_NE(s3.Pid(), oldPid3);

    // Quiet: the first pass's findings are level 1, so nothing at all is printed.
    ASSERT_TRUE(s2.StopFromOutside());
    r = RunTendro({L"-q", L"-o", L"-s", s1.Name(), L"-s", s2.Name(), L"-s", s3.Name()}, 25000);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_THAT(r.out, IsEmpty());
    EXPECT_EQ(s2.State(), DWORD{SERVICE_RUNNING});
}

TEST(MonitorPass, CrashFoundOnALaterPassIsReportedInQuietModeAndTheGroupRestarts) {
    // The three services write what they do into one file, in the order it happens.
    wchar_t dir[MAX_PATH + 1];
    ::GetTempPathW(MAX_PATH, dir);
    const std::wstring events = std::wstring(dir) + UniqueServiceName(L"events") + L".txt";
    TestService s1({L"--event-log", events}), s3({L"--event-log", events});
    TestService s2({L"--exit-after", L"2500", L"--exit-code", L"1067", L"--event-log", events});
    for (TestService* s : {&s1, &s2, &s3}) ASSERT_TRUE(s->Start());
    const DWORD oldPid1 = s1.Pid(), oldPid2 = s2.Pid(), oldPid3 = s3.Pid();

    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-q", L"-f", L"1", L"-s", s1.Name(), L"-s", s2.Name(), L"-s", s3.Name()});
    ASSERT_TRUE(tendro.WaitForOutput(kDown, 30000)) << tendro.OutputSoFar();
    DWORD begin = ::GetTickCount();
    while ((s3.Pid() == oldPid3 || s3.State() != SERVICE_RUNNING) && ::GetTickCount() - begin < 30000)
        ::Sleep(100);
    RunResult r = tendro.Stop();
    auto lines = ParseLog(r.out);

    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], (LogLine{L"Err!", NotRunning(s2.Name())}));
    EXPECT_EQ(lines[1], (LogLine{L"Err!", kDown}));
    EXPECT_THAT(Words(lines), Each(std::wstring(L"Err!")));
    EXPECT_EQ(s3.State(), DWORD{SERVICE_RUNNING});

    // What the services did from the crash on: S1 and S3 stopped (S2 is already down), then all
    // three started in list order.
    std::vector<std::wstring> happened;
    {
        Handle file(::CreateFileW(events.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                  FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        std::string bytes(1 << 16, '\0');
        DWORD read = 0;
        ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
        bytes.resize(read);
        for (const auto& line : SplitLines(ToWide(bytes))) happened.push_back(line);
    }
    ::DeleteFileW(events.c_str());
    auto crash = std::find(happened.begin(), happened.end(), L"stopped " + std::to_wstring(oldPid2));
    ASSERT_NE(crash, happened.end());
    std::vector<std::wstring> after(crash + 1, happened.end());
    ASSERT_GE(after.size(), 10u);
    auto id = [](DWORD pid) { return std::to_wstring(pid); };
    const std::wstring new1 = id(s1.Pid()), new3 = id(s3.Pid());
    const std::wstring new2 = after[6].substr(after[6].find(L' ') + 1);
    EXPECT_THAT(std::vector<std::wstring>(after.begin(), after.begin() + 10),
                ElementsAre(L"stop " + id(oldPid1), L"stopped " + id(oldPid1),
                            L"stop " + id(oldPid3), L"stopped " + id(oldPid3),
                            L"start " + new1, L"running " + new1, L"start " + new2,
                            L"running " + new2, L"start " + new3, L"running " + new3));
}

TEST(MonitorPass, PassiveModeReportsEveryPassAndStartsNothing) {
    TestService stopped;
    RunningProgram tendro(ProgramPath(L"tendro.exe"), {L"-p", L"-f", L"0", L"-s", stopped.Name()});
    ASSERT_TRUE(WaitForLines(tendro, kPassive, 3, 30000)) << tendro.OutputSoFar();
    RunResult r = tendro.Stop();
    auto lines = ParseLog(r.out);
    int first = FindText(lines, NotRunning(stopped.Name()));
    ASSERT_GE(first, 0);
    EXPECT_THAT(std::vector<LogLine>(lines.begin() + first, lines.begin() + first + 6),
                ElementsAre(LogLine{L"Init", NotRunning(stopped.Name())}, LogLine{L"Init", kPassive},
                            LogLine{L"Err!", NotRunning(stopped.Name())}, LogLine{L"Init", kPassive},
                            LogLine{L"Err!", NotRunning(stopped.Name())}, LogLine{L"Init", kPassive}));
    EXPECT_EQ(FindText(lines, kDown), -1);
    EXPECT_EQ(stopped.State(), DWORD{SERVICE_STOPPED});
}

TEST(MonitorPass, StopPendingCountsAsDownStartPendingDoesNot) {
    TestService starting({L"--start-pending", L"8000"});
    TestService stopping({L"--stop-pending", L"2000"});
    ASSERT_TRUE(stopping.Start());
    ASSERT_TRUE(starting.StartNoWait());
    ASSERT_TRUE(starting.WaitForState(SERVICE_START_PENDING, 5000));
    stopping.StopFromOutside(0);
    ASSERT_TRUE(stopping.WaitForState(SERVICE_STOP_PENDING, 5000));

    RunResult r = RunTendro({L"-v", L"-o", L"-r", L"-s", starting.Name(), L"-s", stopping.Name()});
    auto lines = ParseLog(r.out);
    EXPECT_THAT(LinesFrom(lines, L"Service: " + starting.Name(), 2),
                ElementsAre(LogLine{L"Info", L"Service: " + starting.Name()},
                            LogLine{L"Info", L" Status: Start pending"}));
    EXPECT_EQ(FindText(lines, NotRunning(starting.Name())), -1);
    EXPECT_THAT(LinesFrom(lines, NotRunning(stopping.Name()), 3),
                ElementsAre(LogLine{L"Init", NotRunning(stopping.Name())},
                            LogLine{L"Info", L"Service: " + stopping.Name()},
                            LogLine{L"Info", L" Status: Stop pending"}));
    EXPECT_THAT(ServiceOperations(lines),
                ElementsAreArray(StopsThenStarts({stopping.Name()}, {stopping.Name()})));
    // A service still stopping cannot take the stop request (1061): its own stop is waited
    // for, and it is started again.
    EXPECT_EQ(FindText(lines, L"Can't stop service " + stopping.Name()), -1) << ToNarrow(r.outText);
    EXPECT_EQ(stopping.State(), DWORD{SERVICE_RUNNING});
}

TEST(MonitorPass, PassesFollowEachOtherAfterThePause) {
    TestService service;
    ASSERT_TRUE(service.Start());
    // A negative frequency counts as no pause at all.
    {
        RunningProgram tendro(ProgramPath(L"tendro.exe"),
                              {L"-v", L"-f", L"-7", L"-s", service.Name()});
        EXPECT_TRUE(WaitForLines(tendro, L"Service check commencing", 4, 30000))
            << tendro.OutputSoFar();
        tendro.Stop();
    }
    // With a long frequency the first pass runs at once and the next one waits.
    RunningProgram tendro(ProgramPath(L"tendro.exe"), {L"-v", L"-f", L"60", L"-s", service.Name()});
    ASSERT_TRUE(tendro.WaitForOutput(L"    PID: ", 30000));
    ::Sleep(3000);
    RunResult r = tendro.Stop();
    auto lines = ParseLog(r.out);
    EXPECT_EQ(CountLines(lines, L"Info", L"Service check commencing"), 1);
    EXPECT_EQ(FindText(lines, L"Tendro Stopped"), -1);
}

TEST(MonitorPass, WineServicesInAGroupWithAFixture) {
    auto wine = ExistingServices({L"Spooler"});
    if (wine.empty()) GTEST_SKIP() << "no Spooler service in this prefix";
    TestService fixture;
    // Spooler stopped from outside first, so that both are found down.
    {
        ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle spooler(::OpenServiceW(scm.get(), L"Spooler", SERVICE_STOP | SERVICE_QUERY_STATUS));
        SERVICE_STATUS status{};
        ::ControlService(spooler.get(), SERVICE_CONTROL_STOP, &status);
        for (int i = 0; i < 100 && ::QueryServiceStatus(spooler.get(), &status) &&
                        status.dwCurrentState != SERVICE_STOPPED;
             ++i)
            ::Sleep(100);
    }
    RunResult r = RunTendro({L"-v", L"-o", L"-s", L"Spooler", L"-s", fixture.Name()});
    auto lines = ParseLog(r.out);
    EXPECT_THAT(lines, Contains(LogLine{L"Init", NotRunning(L"Spooler")}));
    EXPECT_THAT(lines, Not(Contains(LogLine{L"Init", NotRunning(fixture.Name())})));
    // Spooler's restart of the group brings the fixture up before its own check.
    EXPECT_THAT(ServiceOperations(lines),
                ElementsAreArray(StopsThenStarts({L"Spooler", fixture.Name()},
                                                 {L"Spooler", fixture.Name()})));
    EXPECT_EQ(fixture.State(), DWORD{SERVICE_RUNNING});

    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle spooler(::OpenServiceW(scm.get(), L"Spooler", SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    ASSERT_TRUE(::QueryServiceStatus(spooler.get(), &status));
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_RUNNING});
}


// A list entry whose state cannot be read (here one left without a service object): each of
// the three reads reports its failure, in every verbosity, and the entry is skipped.
TEST(ServiceCheck, AnUnreadableStateIsReportedAtEachReadAndSkipped) {
    SetupLevelWords();
    CmdLineParser settings;
    settings.monitoredServices = {L"TendroGhost"};
    StrikeCounts strikes{{L"TendroGhost", 2}};
    ServiceObjects services;
    const LogLine noStatus{L"Err!", L"Can't get status for service TendroGhost"};
    const LogLine noPid{L"Err!", L"No PID for TendroGhost!"};

    Verbosity = LogInfo;
    {
        CapturedLog log;
        CheckService(settings, strikes, services, L"TendroGhost", false);
        EXPECT_THAT(log.Lines(), ElementsAre(noStatus, LogLine{L"Info", L"Service: TendroGhost"},
                                             noStatus, LogLine{L"Info", L" Status: Undefined"},
                                             noPid, LogLine{L"Info", L"    PID: -1"}, noStatus));
    }
    Verbosity = LogError;
    {
        CapturedLog log;
        CheckService(settings, strikes, services, L"TendroGhost", false);
        EXPECT_THAT(log.Lines(), ElementsAre(noStatus, noStatus, noPid, noStatus));
    }
    // Passive mode ends the check before the third read.
    Verbosity = LogInit;
    settings.flags = CmdLineParser::PassiveMode;
    {
        CapturedLog log;
        CheckService(settings, strikes, services, L"TendroGhost", true);
        EXPECT_THAT(log.Lines(), ElementsAre(noStatus, noStatus, noPid,
                                             LogLine{L"Init", kPassive}));
    }
    EXPECT_EQ(strikes[L"TendroGhost"], 2);
    EXPECT_TRUE(services.empty());
    Verbosity = 0;
}

// A kill resets the strikes: after the killed process's service is restarted, the next hit
// counts 1 again, not on from the count that decided the kill.
TEST(StrikeCounts, AKillStartsTheCountAgain) {
    TestService service;
    ASSERT_TRUE(service.Start());
    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-v", L"-f", L"1", L"-m", L"1", L"-i", L"1", L"-s", service.Name()});
    ASSERT_TRUE(WaitForLines(tendro, L" will be terminated", 1, 60000)) << tendro.OutputSoFar();
    ASSERT_TRUE(WaitForLines(tendro, L"MB limit ", 3, 60000)) << tendro.OutputSoFar();
    RunResult r = tendro.Stop();
    std::vector<std::wstring> hits;
    for (const auto& line : LogTexts(r.out))
        if (line.find(L"hit memory threshold") != std::wstring::npos ||
            line.find(L"will be terminated") != std::wstring::npos)
            hits.push_back(line.substr(line.rfind(L' ', line.size() - 7) + 1));
    ASSERT_GE(hits.size(), 4u) << ToNarrow(r.outText);
    EXPECT_THAT(std::vector<std::wstring>(hits.begin(), hits.begin() + 4),
                ElementsAre(L"1 times", L"2 times", L"terminated", L"1 times"));
}
