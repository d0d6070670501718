// --kill-hung end to end: a fixture whose stop never finishes, watched by tendro.exe, with and
// without the option; shared processes and services of other machines are left alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/startup.h"
#include "common/handle.h"
#include "common/text.h"
#include "log/log.h"
#include "policy/kill_hung.h"
#include "support/host_product.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/scenarios.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const std::vector<std::wstring> kHangs{L"--stop-never"};

// Asks the service to stop, as another program would, and waits until it is STOP_PENDING.
void LeaveStopPending(TestService& service) {
    service.StopFromOutside(0);
    ASSERT_TRUE(service.WaitForState(SERVICE_STOP_PENDING, 10000));
}

bool ProcessRuns(DWORD pid) {
    Handle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// The lines from "Stopping service <first>" on whose text begins with one of `prefixes`.
std::vector<std::wstring> Picked(const std::vector<LogLine>& lines,
                                 const std::vector<std::wstring>& prefixes) {
    std::vector<std::wstring> picked;
    for (const auto& line : lines)
        for (const auto& prefix : prefixes)
            if (line.text.rfind(prefix, 0) == 0) {
                picked.push_back(line.word + L" " + line.text);
                break;
            }
    return picked;
}

std::wstring Terminating(const std::wstring& name, DWORD pid) {
    return FormatText(L"Err! Service %s did not stop; terminating its process %d", name.c_str(),
                      static_cast<int>(pid));
}

const std::vector<std::wstring> kOperations{L"Stopping service", L"Starting service",
                                            L"Can't stop", L"Service ", L"Unable"};

}  // namespace

// Only a stop that ran out of time, or a service still stopping, is hung: a stop that the
// service manager refused at once leaves a healthy process alone, and so does 1061 (a service
// found stopping has had the stop wait; one that began to stop after the refusal is stopping by
// itself). (Under Wine a handler's refusal looks like a time-out, so the decision is checked
// here with the codes.)
TEST(KillHung, OnlyAStopThatRanOutOrStillPendsIsHung) {
    struct Case {
        DWORD error, state;
        bool hung;
    };
    const Case cases[] = {
        {ERROR_TIMEOUT, SERVICE_RUNNING, true},
        {ERROR_TIMEOUT, SERVICE_STOP_PENDING, true},
        {ERROR_DEPENDENT_SERVICES_RUNNING, SERVICE_RUNNING, false},
        {ERROR_INVALID_SERVICE_CONTROL, SERVICE_RUNNING, false},
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_RUNNING, false},
        {ERROR_ACCESS_DENIED, SERVICE_RUNNING, false},
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_STOP_PENDING, false},
        {ERROR_SERVICE_REQUEST_TIMEOUT, SERVICE_STOP_PENDING, true},
        {ERROR_TIMEOUT, SERVICE_STOPPED, false},
        {ERROR_PROCESS_ABORTED, SERVICE_STOPPED, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsHungStop(c.error, c.state), c.hung) << c.error << " in state " << c.state;
}

namespace {

// The cases below each spend a stop wait that must run out (and Wine's wait after a kill): they
// run at once, on services of their own, and each test checks its run's outcome.

struct HungRun {
    std::unique_ptr<TestService> hung, other;
    DWORD pid = 0;      // the hung service's process before the run
    DWORD elapsed = 0;  // of the run, in milliseconds
    RunResult r{};
};

// Starts the hung service (and `other` unless it is to stay down); `pending`: then asks the
// hung one to stop, which leaves it STOP_PENDING.
HungRun HungPair(bool startOther, bool pending) {
    HungRun run{std::make_unique<TestService>(kHangs), std::make_unique<TestService>()};
    Require(run.hung->Start(), "the hung service starts");
    if (startOther) Require(run.other->Start(), "the other service starts");
    run.pid = run.hung->Pid();
    if (pending) {
        run.hung->StopFromOutside(0);
        Require(run.hung->WaitForState(SERVICE_STOP_PENDING, 10000), "the hung service is STOP_PENDING");
    }
    return run;
}

// tendro.exe -o over the pair, timed.
void RunOnce(HungRun& run, std::vector<std::wstring> options) {
    for (const auto& name : {run.hung->Name(), run.other->Name()}) {
        options.push_back(L"-s");
        options.push_back(name);
    }
    const DWORD begin = ::GetTickCount();
    run.r = RunTendro(options);
    run.elapsed = ::GetTickCount() - begin;
}

Scenario<HungRun> withoutTheOption(
    "KillHung", "WithoutTheOptionAPendingStopKeepsTheGroupDown", [] { return HungPair(true, true); },
    [](HungRun& run) {
        RunningProgram tendro(ProgramPath(L"tendro.exe"), {L"-v", L"-f", L"0", L"-s", run.hung->Name(),
                                                           L"-s", run.other->Name()});
        Require(WaitForLines(tendro, L"Unable to start service!", 1, 30000),
                "the start fails: " + ToNarrow(tendro.OutputSoFar()));
        run.r = tendro.Stop();
    });

Scenario<HungRun> pendingStop(
    "KillHung", "APendingStopIsEndedAndTheGroupRunsAgain", [] { return HungPair(true, true); },
    [](HungRun& run) { RunOnce(run, {L"-v", L"-o", L"--kill-hung"}); });

// The other service is down: the group restart stops the hung one first.
Scenario<HungRun> stopRunsOut(
    "KillHung", "AStopThatRunsOutOfTimeIsEndedAndTheGroupRunsAgain", [] { return HungPair(false, false); },
    [](HungRun& run) { RunOnce(run, {L"-v", L"-o", L"--kill-hung"}); });

struct HostRun {
    std::unique_ptr<HostProductInstallation> product;
    std::unique_ptr<HostProductService> service;
    std::unique_ptr<TestService> other;
    std::wstring name;
    DWORD servicePid = 0, program = 0;
    RunResult r;
};

Scenario<HostRun> hostProduct("KillHung", "AHostProductServiceHasItsProgramEndedFirst", [] {
    HostRun run;
    run.product = std::make_unique<HostProductInstallation>();
    run.name = UniqueServiceName(L"TendroH");
    run.product->SetServices({run.name});
    run.product->Configure(L"StopNever:" + run.name, L"1");
    run.service = std::make_unique<HostProductService>(run.product->ExePath(), run.name);
    Require(run.service->Start(), "the host-product service starts");
    run.servicePid = run.service->Pid();
    run.program = run.service->RecordedPid();
    Require(run.program != 0, "the service records its program");
    run.service->StopFromOutside(0);
    Require(ProcessRuns(run.program), "the recorded program runs");
    // Its record says the program runs, so it is not down: a stopped neighbour brings the
    // group restart.
    run.other = std::make_unique<TestService>();
    return run;
}, [](HostRun& run) {
    run.r = RunTendro({L"-v", L"-o", L"--kill-hung", L"-s", run.name, L"-s", run.other->Name()});
});

}  // namespace

TEST(KillHung, WithoutTheOptionAPendingStopKeepsTheGroupDown) {
    HungRun run = withoutTheOption.Take();
    TestService& hung = *run.hung;
    const DWORD pid = run.pid;
    auto lines = ParseLog(run.r.out);
    // The stop wait runs out, the start fails; the hung service keeps its process.
    int first = FindText(lines, L"Stopping service " + hung.Name());
    ASSERT_GE(first, 0);
    EXPECT_EQ(lines[first + 1], (LogLine{L"Err!", L"Can't stop service " + hung.Name()}));
    EXPECT_EQ(lines[first + 2], (LogLine{L"Err!", L"\t" + WindowsErrorText(ERROR_TIMEOUT)}));
    EXPECT_EQ(FindText(lines, FormatText(L"Service %s did not stop; terminating its process %d",
                                         hung.Name().c_str(), static_cast<int>(pid))),
              -1);
    EXPECT_EQ(hung.State(), DWORD{SERVICE_STOP_PENDING});
    EXPECT_EQ(hung.Pid(), pid);
    EXPECT_TRUE(ProcessRuns(pid));
}

// The stop request finds the service STOP_PENDING already: its stop is waited for, and when
// the wait runs out the process is ended; after the wait for STOPPED (which Wine never
// reports) the group is started.
TEST(KillHung, APendingStopIsEndedAndTheGroupRunsAgain) {
    HungRun run = pendingStop.Take();
    TestService &hung = *run.hung, &other = *run.other;
    const DWORD pid = run.pid;
    const RunResult& r = run.r;
    ASSERT_EQ(r.exitCode, 0u) << ToNarrow(r.outText);
    auto lines = ParseLog(r.out);
    auto picked = Picked(std::vector<LogLine>(lines.begin() + FindText(lines, L"Stopping service " + hung.Name()),
                                              lines.end()),
                         kOperations);
    ASSERT_GE(picked.size(), 6u) << ToNarrow(r.outText);
    EXPECT_THAT(std::vector<std::wstring>(picked.begin(), picked.begin() + 6),
                ElementsAre(L"Info Stopping service " + hung.Name(),
                            L"Err! Can't stop service " + hung.Name(), Terminating(hung.Name(), pid),
                            L"Info Stopping service " + other.Name(),
                            L"Info Starting service " + hung.Name(),
                            L"Info Starting service " + other.Name()));
    EXPECT_EQ(hung.State(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(hung.Pid(), pid);
    EXPECT_FALSE(ProcessRuns(pid));
    EXPECT_EQ(other.State(), DWORD{SERVICE_RUNNING});
    // The stop limit, the wait for STOPPED (10 s, as Wine keeps the old state), the starts.
    EXPECT_LT(run.elapsed, 20000u + 8000u);
}

// The stop request is taken, but the service never finishes stopping: the stop wait runs out.
TEST(KillHung, AStopThatRunsOutOfTimeIsEndedAndTheGroupRunsAgain) {
    HungRun run = stopRunsOut.Take();
    TestService &hung = *run.hung, &other = *run.other;
    const DWORD pid = run.pid;
    const RunResult& r = run.r;
    ASSERT_EQ(r.exitCode, 0u) << ToNarrow(r.outText);
    auto lines = ParseLog(r.out);
    int stop = FindText(lines, L"Stopping service " + hung.Name());
    ASSERT_GE(stop, 0) << ToNarrow(r.outText);
    EXPECT_THAT(std::vector<LogLine>(lines.begin() + stop, lines.begin() + stop + 5),
                ElementsAre(LogLine{L"Info", L"Stopping service " + hung.Name()},
                            LogLine{L"Err!", L"Can't stop service " + hung.Name()},
                            LogLine{L"Err!", L"\t" + WindowsErrorText(ERROR_TIMEOUT)},
                            LogLine{L"Err!", FormatText(L"Service %s did not stop; terminating its process %d",
                                                        hung.Name().c_str(), static_cast<int>(pid))},
                            LogLine{L"Info", L"Stopping service " + other.Name()}));
    EXPECT_THAT(ServiceOperations(lines),
                ElementsAreArray(StopsThenStarts({hung.Name(), other.Name()},
                                                 {hung.Name(), other.Name()})));
    EXPECT_EQ(hung.State(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(hung.Pid(), pid);
    EXPECT_EQ(other.State(), DWORD{SERVICE_RUNNING});
    // The stop limit, the wait for STOPPED, the starts.
    EXPECT_LT(run.elapsed, 20000u + 8000u);
}

// The policy as the failure response calls it after a stop wait that ran out (the error is
// given here, not waited for: ten seconds a stop): nothing to terminate, and no wait.
TEST(KillHung, SharedProcessesAndServicesOfOtherMachinesAreLeftAlone) {
    TestService shared({L"--stop-never", L"--share-process"}), remote(kHangs);
    for (TestService* s : {&shared, &remote}) {
        ASSERT_TRUE(s->Start());
        LeaveStopPending(*s);
    }
    const DWORD sharedPid = shared.Pid(), remotePid = remote.Pid();
    SharedScHandle scm = MakeSharedScHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceControl sharedControl(scm, SharedToken(), shared.Name(), 1);
    ServiceControl remoteControl(scm, SharedToken(), remote.RemoteName(), 1);

    SetupLevelWords();
    KillHungPolicy policy(SystemPolicyClock(), StopSignal::Never());
    CapturedLog log;
    EXPECT_FALSE(policy.StopFailed(sharedControl, ERROR_TIMEOUT));
    EXPECT_FALSE(policy.StopFailed(remoteControl, ERROR_TIMEOUT));
    EXPECT_THAT(log.Lines(),
                ElementsAre(LogLine{L"Err!", FormatText(L"Service %s did not stop; its process %d is "
                                                        L"shared with other services and is left alone",
                                                        shared.Name().c_str(), static_cast<int>(sharedPid))},
                            LogLine{L"Err!", L"Service " + remote.RemoteName() +
                                                 L" did not stop; processes of other machines are "
                                                 L"not terminated"}));
    EXPECT_TRUE(ProcessRuns(sharedPid));
    EXPECT_TRUE(ProcessRuns(remotePid));
    EXPECT_EQ(shared.Pid(), sharedPid);
    EXPECT_EQ(remote.Pid(), remotePid);
}

// A host-product service: its recorded program is ended first, then the service process.
TEST(KillHung, AHostProductServiceHasItsProgramEndedFirst) {
    HostRun run = hostProduct.Take();
    const std::wstring& name = run.name;
    const DWORD servicePid = run.servicePid, program = run.program;
    const RunResult& r = run.r;
    ASSERT_EQ(r.exitCode, 0u) << ToNarrow(r.outText);
    auto lines = ParseLog(r.out);
    int stop = FindText(lines, L"Stopping service " + name);
    ASSERT_GE(stop, 0) << ToNarrow(r.outText);
    auto picked = Picked(std::vector<LogLine>(lines.begin() + stop, lines.end()), kOperations);
    ASSERT_GE(picked.size(), 5u) << ToNarrow(r.outText);
    EXPECT_THAT(std::vector<std::wstring>(picked.begin(), picked.begin() + 5),
                ElementsAre(L"Info Stopping service " + name, L"Err! Can't stop service " + name,
                            Terminating(name, program), Terminating(name, servicePid),
                            L"Info Stopping service " + run.other->Name()));
    EXPECT_FALSE(ProcessRuns(program));
    EXPECT_FALSE(ProcessRuns(servicePid));
    EXPECT_EQ(run.service->State(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(run.service->RecordedPid(), program);
}

// Stopped from outside, the service stays STOP_PENDING for three seconds. The watch wakes the
// pass at once; the stop finds the service stopping (1061) and waits for it: nothing is
// terminated, and the service is started again once it has stopped, one restart for one stop.
TEST(KillHung, AServiceStoppingByItselfIsWaitedForNotEnded) {
    TestService stopping({L"--stop-pending", L"3000"});
    ASSERT_TRUE(stopping.Start());
    const DWORD pid = stopping.Pid();
    RunningProgram tendro(ProgramPath(L"tendro.exe"), {L"-v", L"-r", L"-f", L"30", L"--watch",
                                                       L"--kill-hung", L"-s", stopping.Name()});
    ASSERT_TRUE(tendro.WaitForOutput(L"    PID: " + std::to_wstring(pid), 30000))
        << ToNarrow(tendro.OutputSoFar());
    ::Sleep(500);  // the end of the pass arms the watch
    ASSERT_TRUE(stopping.AskToStop());
    ASSERT_TRUE(tendro.WaitForOutput(L"Starting service " + stopping.Name(), 20000))
        << ToNarrow(tendro.OutputSoFar());
    ASSERT_TRUE(stopping.WaitForState(SERVICE_RUNNING, 20000));
    ::Sleep(1500);  // room for a second restart, which must not come
    RunResult r = tendro.Stop();
    auto lines = ParseLog(r.out);
    EXPECT_EQ(FindText(lines, L"Can't stop service " + stopping.Name()), -1) << ToNarrow(r.outText);
    EXPECT_EQ(FindText(lines, Terminating(stopping.Name(), pid).substr(5)), -1);
    EXPECT_THAT(ServiceOperations(lines),
                ElementsAreArray(StopsThenStarts({stopping.Name()}, {stopping.Name()})));
    EXPECT_FALSE(ProcessRuns(pid));
    EXPECT_NE(stopping.Pid(), pid);
    EXPECT_EQ(stopping.State(), DWORD{SERVICE_RUNNING});
}
