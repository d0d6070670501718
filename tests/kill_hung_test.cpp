// --kill-hung end to end: a fixture whose stop never finishes, watched by tendro.exe, with and
// without the option; shared processes and services of other machines are left alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>
#include <stdexcept>

#include "app/startup.h"
#include "common/handle.h"
#include "common/text.h"
#include "log/log.h"
#include "policy/kill_hung.h"
#include "support/host_product.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
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
        {ERROR_OPERATION_ABORTED, SERVICE_STOP_PENDING, false},  // the run's stop cut the wait
        {ERROR_TIMEOUT, SERVICE_STOPPED, false},
        {ERROR_PROCESS_ABORTED, SERVICE_STOPPED, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsHungStop(c.error, c.state), c.hung) << c.error << " in state " << c.state;
}

namespace {

// The four cases below each spend a stop wait that must run out (and Wine's wait after a kill):
// they run at once, on services of their own, and each test checks its run's outcome. Each is
// set up on the test thread (under Wine, calls on the service manager from several threads at
// once fail with invalid handles), then its tendro.exe runs on a thread of its own.
struct HungRun {
    std::unique_ptr<TestService> hung, other;
    DWORD pid = 0, elapsed = 0;  // the hung service's process before the run; the run, in ms
    RunResult r{};
    // A host-product service in place of `hung`, and its recorded program.
    std::unique_ptr<HostProductInstallation> product;
    std::unique_ptr<HostProductService> host;
    DWORD program = 0;
    const std::wstring& Name() const { return host ? host->Name() : hung->Name(); }
};

void Require(bool condition, const char* what) {
    if (!condition) throw std::runtime_error(what);
}

// tendro.exe -v -o over the pair, timed; the future hands the run back.
std::future<HungRun> Drive(HungRun run, bool killHung) {
    std::vector<std::wstring> options{L"-v", L"-o", L"-s", run.Name(), L"-s", run.other->Name()};
    if (killHung) options.push_back(L"--kill-hung");
    return std::async(std::launch::async, [options, run = std::move(run)]() mutable {
        const DWORD begin = ::GetTickCount();
        run.r = RunTendro(options);
        run.elapsed = ::GetTickCount() - begin;
        return std::move(run);
    });
}

// Starts the hung service (and `other` when `startOther`); `pending`: then asks the hung one to
// stop, which leaves it STOP_PENDING.
std::future<HungRun> HungPair(bool startOther, bool pending, bool killHung) {
    HungRun run;
    run.hung = std::make_unique<TestService>(kHangs), run.other = std::make_unique<TestService>();
    Require(run.hung->Start() && (!startOther || run.other->Start()), "the services start");
    run.pid = run.hung->Pid();
    if (pending) {
        run.hung->StopFromOutside(0);
        Require(run.hung->WaitForState(SERVICE_STOP_PENDING, 10000), "the hung service is STOP_PENDING");
    }
    return Drive(std::move(run), killHung);
}

// A host-product service whose stop never ends; its record says that the program runs, so it
// is not down: a stopped neighbour brings the group restart.
std::future<HungRun> HostPair() {
    HungRun run;
    run.product = std::make_unique<HostProductInstallation>();
    const std::wstring name = UniqueServiceName(L"TendroH");
    run.product->SetServices({name});
    run.product->Configure(L"StopNever:" + name, L"1");
    run.host = std::make_unique<HostProductService>(run.product->ExePath(), name);
    Require(run.host->Start(), "the host-product service starts");
    run.pid = run.host->Pid();
    run.program = run.host->RecordedPid();
    run.host->StopFromOutside(0);
    Require(run.program != 0 && ProcessRuns(run.program), "the recorded program runs");
    run.other = std::make_unique<TestService>();
    return Drive(std::move(run), true);
}

// The first `count` lines, from the stop of the run's hung service on, that begin with one of
// kOperations.
std::vector<std::wstring> FirstOperations(const HungRun& run, size_t count) {
    auto lines = ParseLog(run.r.out);
    std::vector<std::wstring> picked;
    for (int i = std::max(FindText(lines, L"Stopping service " + run.Name()), 0); i < int(lines.size()); ++i)
        if (std::ranges::any_of(kOperations, [&](auto& prefix) { return lines[i].text.starts_with(prefix); }))
            picked.push_back(lines[i].word + L" " + lines[i].text);
    EXPECT_GE(picked.size(), count) << ToNarrow(run.r.outText);
    picked.resize(count);
    return picked;
}

struct Runs {
    std::future<HungRun> withoutTheOption, pendingStop, stopRunsOut, hostProduct;
};
// Sets every run up, one after the other, and starts it (once).
Runs& Started() {
    // Last but one: the other service is down, so the group restart stops the hung one first.
    static Runs runs{HungPair(true, true, false), HungPair(true, true, true), HungPair(false, false, true), HostPair()};
    return runs;
}

}  // namespace

TEST(KillHung, WithoutTheOptionAPendingStopKeepsTheGroupDown) {
    HungRun run = Started().withoutTheOption.get();
    const std::wstring& hung = run.Name();
    auto lines = ParseLog(run.r.out);
    // The stop wait runs out, the start fails; the hung service keeps its process.
    int first = FindText(lines, L"Stopping service " + hung);
    ASSERT_GE(first, 0) << ToNarrow(run.r.outText);
    EXPECT_EQ(lines[first + 1], (LogLine{L"Err!", L"Can't stop service " + hung}));
    EXPECT_EQ(lines[first + 2], (LogLine{L"Err!", L"\t" + WindowsErrorText(ERROR_TIMEOUT)}));
    EXPECT_GE(CountLines(lines, L"Err!", L"Unable to start service!"), 1);
    EXPECT_EQ(FindText(lines, Terminating(hung, run.pid).substr(5)), -1);
    EXPECT_EQ(run.hung->State(), DWORD{SERVICE_STOP_PENDING});
    EXPECT_EQ(run.hung->Pid(), run.pid);
    EXPECT_TRUE(ProcessRuns(run.pid));
}

// The stop request finds the service STOP_PENDING already: its stop is waited for, and when
// the wait runs out the process is ended; after the wait for STOPPED (which Wine never
// reports) the group is started.
TEST(KillHung, APendingStopIsEndedAndTheGroupRunsAgain) {
    HungRun run = Started().pendingStop.get();
    const std::wstring &hung = run.Name(), &other = run.other->Name();
    ASSERT_EQ(run.r.exitCode, 0u) << ToNarrow(run.r.outText);
    EXPECT_THAT(FirstOperations(run, 6),
                ElementsAre(L"Info Stopping service " + hung, L"Err! Can't stop service " + hung,
                            Terminating(hung, run.pid), L"Info Stopping service " + other,
                            L"Info Starting service " + hung, L"Info Starting service " + other));
    EXPECT_EQ(run.hung->State(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(run.hung->Pid(), run.pid);
    EXPECT_FALSE(ProcessRuns(run.pid));
    EXPECT_EQ(run.other->State(), DWORD{SERVICE_RUNNING});
    // The stop limit, the wait for STOPPED (10 s, as Wine keeps the old state), the starts.
    EXPECT_LT(run.elapsed, 20000u + 8000u);
}

// The stop request is taken, but the service never finishes stopping: the stop wait runs out.
TEST(KillHung, AStopThatRunsOutOfTimeIsEndedAndTheGroupRunsAgain) {
    HungRun run = Started().stopRunsOut.get();
    const std::wstring &hung = run.Name(), &other = run.other->Name();
    ASSERT_EQ(run.r.exitCode, 0u) << ToNarrow(run.r.outText);
    auto lines = ParseLog(run.r.out);
    int stop = FindText(lines, L"Stopping service " + hung);
    ASSERT_GE(stop, 0) << ToNarrow(run.r.outText);
    EXPECT_THAT(std::vector<LogLine>(lines.begin() + stop, lines.begin() + stop + 5),
                ElementsAre(LogLine{L"Info", L"Stopping service " + hung},
                            LogLine{L"Err!", L"Can't stop service " + hung},
                            LogLine{L"Err!", L"\t" + WindowsErrorText(ERROR_TIMEOUT)},
                            LogLine{L"Err!", Terminating(hung, run.pid).substr(5)},
                            LogLine{L"Info", L"Stopping service " + other}));
    EXPECT_THAT(ServiceOperations(lines), ElementsAreArray(StopsThenStarts({hung, other}, {hung, other})));
    EXPECT_EQ(run.hung->State(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(run.hung->Pid(), run.pid);
    EXPECT_EQ(run.other->State(), DWORD{SERVICE_RUNNING});
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
    HungRun run = Started().hostProduct.get();
    const std::wstring& name = run.Name();
    ASSERT_EQ(run.r.exitCode, 0u) << ToNarrow(run.r.outText);
    EXPECT_THAT(FirstOperations(run, 5),
                ElementsAre(L"Info Stopping service " + name, L"Err! Can't stop service " + name,
                            Terminating(name, run.program), Terminating(name, run.pid),
                            L"Info Stopping service " + run.other->Name()));
    EXPECT_FALSE(ProcessRuns(run.program));
    EXPECT_FALSE(ProcessRuns(run.pid));
    EXPECT_EQ(run.host->State(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(run.host->RecordedPid(), run.program);
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
