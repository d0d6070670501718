// --probe end to end: tendro.exe probing fixture services that listen on 127.0.0.1.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/text.h"
#include "probe/probe_check.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

const std::wstring kPassed = L" Probe: passed";

// A port of 127.0.0.1 that nothing listens on: the system picks a free one for a socket
// that is closed again at once.
std::wstring FreePort() {
    static WinsockSession winsock;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(s, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size), 0);
    ::closesocket(s);
    return std::to_wstring(::ntohs(address.sin_port));
}

std::wstring Http(const std::wstring& port) { return L"http://127.0.0.1:" + port + L"/health"; }
std::wstring Tcp(const std::wstring& port) { return L"tcp://127.0.0.1:" + port; }
std::wstring Probe(const std::wstring& name, const std::wstring& url) {
    return L"--probe=" + name + L"=" + url;
}
std::wstring Failed(const std::wstring& reason) { return L" Probe: failed (" + reason + L")"; }
std::wstring ProbeFailed(const std::wstring& name, const std::wstring& reason) {
    return L"Probe of service " + name + L" failed: " + reason;
}

// A fixture service listening on `port` and answering as `answer` tells.
std::vector<std::wstring> Listening(const std::wstring& port, const std::wstring& answer = L"200",
                                    const std::wstring& delayMs = L"0") {
    return {L"--listen", port, L"--answer", answer, L"--answer-delay", delayMs};
}

// The status block of one service: its first line and the four after it.
std::vector<LogLine> Block(const std::vector<LogLine>& lines, const std::wstring& name) {
    return LinesFrom(lines, L"Service: " + name, 5);
}

// Indices of the lines whose text equals `text`.
std::vector<int> Indices(const std::vector<LogLine>& lines, const std::wstring& text) {
    std::vector<int> found;
    for (int i = FindText(lines, text); i >= 0; i = FindText(lines, text, i + 1))
        found.push_back(i);
    return found;
}

void StopListening(const TestService& service) {
    HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE,
                                (L"Global\\TendroFixtureUnlisten_" + service.Name()).c_str());
    ASSERT_NE(event, nullptr);
    ::SetEvent(event);
    ::CloseHandle(event);
}

}  // namespace

TEST(Probe, TheLimitOrTheRunsStopEndsTheWholeProbe) {
    const std::wstring p1 = FreePort(), p2 = FreePort(), p3 = FreePort();
    TestService silent(Listening(p1, L"none")), answering(Listening(p2)),
        trickling({L"--listen", p3, L"--answer-trickle", L"200"});
    for (TestService* s : {&silent, &answering, &trickling}) ASSERT_TRUE(s->Start());

    // The bound of a loaded machine: the limit and a margin, far below what the trickled
    // answer takes (11 s); or the stop and a margin, far below the limit.
    const std::wstring timedOut = L"timed out after 500 ms";
    struct Case {
        std::wstring url;
        int32_t limitMs;
        DWORD stopAfterMs;  // INFINITE: no stop
        std::optional<std::wstring> reason;
        int64_t boundMs;
        bool probeAgain;  // the slot of the ended probe probes the answering service
    } cases[] = {
        {Http(p1), 500, INFINITE, timedOut, 1500, true},
        {Http(p3), 500, INFINITE, timedOut, 1500, false},
        {Http(p1), 10000, 200, kProbeStopped, 5000, false},
        // A name, not an address: looked up within the limit as well.
        {L"http://localhost:" + p2 + L"/health", 500, INFINITE, std::nullopt, 1500, false},
        {L"tcp://localhost:" + p2, 500, INFINITE, std::nullopt, 1500, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        ProbeTarget target;
        ASSERT_TRUE(ParseProbeUrl(c.url, target));
        StopSignal stop;
        ProbeSlot slot;
        std::thread stopper([&] {
            if (c.stopAfterMs == INFINITE) return;
            ::Sleep(c.stopAfterMs);
            stop.RequestStop();
        });
        auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(RunProbe(target, c.limitMs, slot, stop), c.reason);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(c.boundMs));
        stopper.join();
        // What the probe left behind ends, and its slot probes again. (Wine's WinHTTP goes on
        // with a request closed at the deadline until its own time for the step is out, or a
        // trickled answer is whole: the next probe waits for that, within its limit.)
        if (!c.probeAgain) continue;
        ASSERT_TRUE(ParseProbeUrl(Http(p2), target));
        EXPECT_EQ(RunProbe(target, 10000, slot), std::nullopt);
    }
}

TEST(Probe, PassingProbesLeaveTheGroupAloneAlsoWhenTheAnswerIsSlowOrARedirect) {
    const std::wstring p1 = FreePort(), p2 = FreePort(), p3 = FreePort();
    TestService plain(Listening(p1)), slow(Listening(p2, L"200", L"800")),
        redirect(Listening(p3, L"302"));
    ASSERT_TRUE(plain.Start());
    ASSERT_TRUE(slow.Start());
    ASSERT_TRUE(redirect.Start());

    RunResult r = RunTendro({L"-v", L"-o", L"-s", plain.Name(), L"-s", slow.Name(), L"-s",
                             redirect.Name(), Probe(plain.Name(), Tcp(p1)),
                             Probe(slow.Name(), Http(p2)), Probe(redirect.Name(), Http(p3))},
                            60000);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0u);
    auto lines = ParseLog(r.out);
    for (const TestService* s : {&plain, &slow, &redirect})
        EXPECT_THAT(Block(lines, s->Name()),
                    ElementsAre(LogLine{L"Info", L"Service: " + s->Name()},
                                LogLine{L"Info", L" Status: Running"},
                                LogLine{L"Info", L"    PID: " + std::to_wstring(s->Pid())},
                                LogLine{L"Info", kPassed}, Not(LogLine{L"Info", kPassed})));
    EXPECT_THAT(ServiceOperations(lines), IsEmpty());
}

TEST(Probe, AFailedProbeInTheFirstPassIsReportedAtInitAndRestartsTheGroup) {
    const std::wstring p1 = FreePort(), p2 = FreePort();
    TestService good(Listening(p1)), failing(Listening(p2, L"503"));
    ASSERT_TRUE(good.Start());
    ASSERT_TRUE(failing.Start());
    const DWORD oldPid = failing.Pid();

    // The probe's name in the form \\localhost\name means the local service of the group.
    RunResult r = RunTendro({L"-v", L"-o", L"-s", good.Name(), L"-s", failing.Name(),
                             Probe(good.Name(), Http(p1)),
                             Probe(L"\\\\localhost\\" + failing.Name(), Http(p2))},
                            60000);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0u);
    auto lines = ParseLog(r.out);
    EXPECT_THAT(LinesFrom(lines, L"Service: " + failing.Name(), 6),
                ElementsAre(LogLine{L"Info", L"Service: " + failing.Name()},
                            LogLine{L"Info", L" Status: Running"},
                            LogLine{L"Info", L"    PID: " + std::to_wstring(oldPid)},
                            LogLine{L"Info", Failed(L"HTTP status 503")},
                            LogLine{L"Init", ProbeFailed(failing.Name(), L"HTTP status 503")},
                            LogLine{L"Info", L"Stopping service " + good.Name()}));
    EXPECT_EQ(FindText(lines, kDown), -1);
    EXPECT_THAT(ServiceOperations(lines),
                ElementsAreArray(StopsThenStarts({good.Name(), failing.Name()},
                                                 {good.Name(), failing.Name()})));
    EXPECT_EQ(failing.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(failing.Pid(), oldPid);
}

TEST(Probe, TcpToAClosedPortIsRefusedAndPassiveModeOnlyReportsIt) {
    TestService quiet;  // listens nowhere
    ASSERT_TRUE(quiet.Start());
    const DWORD pid = quiet.Pid();
    const std::wstring port = FreePort();

    // The name of the probe differs from the -s name in case only.
    std::wstring upper = quiet.Name();
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    ASSERT_NE(upper, quiet.Name());
    RunResult r = RunTendro({L"-v", L"-o", L"-p", L"-s", quiet.Name(), Probe(upper, Tcp(port))},
                            60000);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0u);
    auto lines = ParseLog(r.out);
    EXPECT_THAT(LinesFrom(lines, L" Probe: failed (connection refused)", 3),
                ElementsAre(LogLine{L"Info", Failed(L"connection refused")},
                            LogLine{L"Init", ProbeFailed(quiet.Name(), L"connection refused")},
                            LogLine{L"Init", kPassive}));
    EXPECT_THAT(ServiceOperations(lines), IsEmpty());
    EXPECT_EQ(quiet.Pid(), pid);
}

TEST(Probe, AServiceThatStopsAnsweringWhileRunningIsRestartedWithinAPass) {
    const std::wstring port = FreePort();
    TestService service(Listening(port));
    ASSERT_TRUE(service.Start());
    const DWORD oldPid = service.Pid();

    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-v", L"-f", L"1", L"-s", service.Name(),
                           Probe(service.Name(), Tcp(port))});
    ASSERT_TRUE(tendro.WaitForOutput(kPassed, 30000));
    StopListening(service);
    const std::wstring failure = ProbeFailed(service.Name(), L"connection refused");
    ASSERT_TRUE(tendro.WaitForOutput(failure, 30000));
    ASSERT_TRUE(tendro.WaitForOutput(L"Starting service " + service.Name(), 30000));
    // The restarted service listens again, and its probe passes.
    int passedBefore = CountLines(ParseLog(SplitLines(tendro.OutputSoFar())), L"Info", kPassed);
    ASSERT_TRUE(WaitForLines(tendro, kPassed, passedBefore + 1, 30000));
    auto lines = ParseLog(tendro.Stop().out);

    int failed = FindText(lines, failure);
    ASSERT_GE(failed, 0);
    EXPECT_EQ(lines[failed].word, L"Err!");
    EXPECT_THAT(LinesFrom(lines, failure, 3),
                ElementsAre(LogLine{L"Err!", failure}, LogLine{L"Err!", kDown},
                            LogLine{L"Info", L"Stopping service " + service.Name()}));
    EXPECT_EQ(Indices(lines, failure).size(), 1u);
    EXPECT_NE(service.Pid(), oldPid);
}

TEST(Probe, TwoProbeFailuresNeedTwoBadPassesInARow) {
    const std::wstring port = FreePort();
    TestService service(Listening(port, L"503"));
    ASSERT_TRUE(service.Start());

    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-v", L"-f", L"0", L"-s", service.Name(), L"--probe-failures=2",
                           Probe(service.Name(), Http(port))});
    const std::wstring failure = ProbeFailed(service.Name(), L"HTTP status 503");
    ASSERT_TRUE(WaitForLines(tendro, failure, 4, 60000));
    auto lines = ParseLog(tendro.Stop().out);

    std::vector<int> failures = Indices(lines, failure);
    ASSERT_GE(failures.size(), 4u);
    EXPECT_EQ(lines[failures[0]].word, L"Init");
    EXPECT_EQ(lines[failures[1]].word, L"Err!");
    // The first bad pass only reports; the second is down and restarts; then again.
    auto downs = Indices(lines, kDown);
    auto stops = Indices(lines, L"Stopping service " + service.Name());
    ASSERT_GE(downs.size(), 1u);
    ASSERT_GE(stops.size(), 1u);
    EXPECT_GT(downs[0], failures[1]);
    EXPECT_LT(downs[0], failures[2]);
    EXPECT_GT(stops[0], downs[0]);
    EXPECT_LT(stops[0], failures[2]);
    if (downs.size() > 1) {
        EXPECT_GT(downs[1], failures[3]);
    }
    if (stops.size() > 1) {
        EXPECT_GT(stops[1], failures[3]);
    }
}

TEST(Probe, AProbeThatTimesOutEndsWithinItsLimit) {
    const std::wstring port = FreePort();
    TestService silent(Listening(port, L"none"));
    ASSERT_TRUE(silent.Start());

    // Passive and without a pause: each pass is one probe of the silent service.
    constexpr int kLimitMs = 1500;
    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-p", L"-f", L"0", L"-s", silent.Name(),
                           L"--probe-timeout=" + std::to_wstring(kLimitMs),
                           Probe(silent.Name(), Http(port))});
    const std::wstring failure =
        ProbeFailed(silent.Name(), L"timed out after " + std::to_wstring(kLimitMs) + L" ms");
    ASSERT_TRUE(WaitForLines(tendro, failure, 2, 20000)) << tendro.OutputSoFar();
    auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitForLines(tendro, failure, 5, 60000));
    auto passes = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - begin)
                      .count();
    tendro.Stop();
    // Three passes: each waits the whole limit, and not much more (the polling adds up to
    // 100 ms at each end).
    EXPECT_GE(passes, 3 * kLimitMs - 400);
    EXPECT_LE(passes, 3 * (kLimitMs + 1000));
}

TEST(Probe, BadProbesAreRefusedBeforeAnythingIsMonitored) {
    TestService service;
    ASSERT_TRUE(service.Start());

    RunResult r = RunTendro({L"-v", L"-o", L"-s", service.Name(),
                             L"--probe=elsewhere=tcp://127.0.0.1:1"});
    EXPECT_EQ(r.exitCode, 1u);
    auto lines = ParseLog(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(),
              (LogLine{L"Err!", L"Invalid value for option --probe: \"elsewhere=tcp://127.0.0.1:1\" "
                                L"(elsewhere is not a monitored service)"}));
    EXPECT_EQ(FindText(lines, L"Service check commencing"), -1);

    // A service given on the command line but left out by validation (-k: manual start and
    // stopped) may still be probed: the run goes on.
    TestService stoppedManual;
    r = RunTendro({L"-v", L"-o", L"-k", L"-s", service.Name(), L"-s", stoppedManual.Name(),
                   Probe(stoppedManual.Name(), Tcp(FreePort()))});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_GE(FindText(ParseLog(r.out), L"\tService is manual start and stopped. Ignoring!"), 0);
    EXPECT_THAT(ServiceOperations(ParseLog(r.out)), IsEmpty());

    for (const std::wstring& bad :
         {L"--probe=" + service.Name() + L"=udp://127.0.0.1:53",
          L"--probe=" + service.Name() + L"=http://127.0.0.1/health",
          L"--probe=" + service.Name() + L"=tcp://127.0.0.1:65536", std::wstring(L"--probe-timeout=60001"),
          std::wstring(L"--probe-failures=0")}) {
        r = RunTendro({L"-v", L"-o", L"-s", service.Name(), bad});
        EXPECT_EQ(r.exitCode, 1u) << bad;
        ASSERT_EQ(r.out.size(), 1u) << bad;
        EXPECT_THAT(r.out[0], ::testing::HasSubstr(L"Err!: "));
        EXPECT_THAT(r.out[0], ::testing::HasSubstr(bad.substr(bad.find(L'=') + 1)));
    }

    // One pass can never see two failed probes in a row.
    r = RunTendro({L"-v", L"-o", L"-s", service.Name(), L"--probe-failures=2",
                   Probe(service.Name(), Tcp(FreePort()))});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_THAT(ParseLog(r.out),
                ElementsAre(LogLine{L"Err!", L"Invalid value for option --probe-failures: \"2\" "
                                             L"(-o makes one pass: a probe that must fail in 2 "
                                             L"passes in a row never does)"}));
}
