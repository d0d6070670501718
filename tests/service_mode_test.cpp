// Tendro as a service: the status it reports and the controls it takes (in-process: Wine never
// sends SHUTDOWN or PRESHUTDOWN), and what a shutdown does to a response under way.
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <vector>

#include "app/failure_response.h"
#include "app/startup.h"
#include "log/log.h"
#include "support/monitor_helpers.h"
#include "servicemode/service_status.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;

namespace {

// A reporter whose statuses the test reads.
struct Reported {
    explicit Reported(uint32_t stopBudgetMs = StopBudgetMs) : stop(stopBudgetMs) {}
    StopSignal stop;
    std::mutex mutex;
    SERVICE_STATUS last{};
    ServiceStatusReporter reporter{[this](const SERVICE_STATUS& status) {
                                       std::lock_guard<std::mutex> lock(mutex);
                                       last = status;
                                   },
                                   stop};
    SERVICE_STATUS Last() {
        std::lock_guard<std::mutex> lock(mutex);
        return last;
    }
};

// A group restart begun for the first of `group`'s services, on a thread of its own.
struct GroupResponse {
    GroupResponse(std::initializer_list<const TestService*> group, StopSignal& stop) {
        SharedScHandle scm = MakeSharedScHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        for (const TestService* s : group) {
            settings.monitoredServices.push_back(s->Name());
            services.emplace(s->Name(), ServiceControl(scm, SharedToken(), s->Name(), 1));
        }
        done = std::async(std::launch::async, [this, &stop] {
            PassResponses pass(stop);
            RespondToFailure(settings, services, services.at(settings.monitoredServices.front()), NoMonitorHooks(), pass);
        });
    }
    CmdLineParser settings;
    ServiceObjects services;
    std::future<void> done;
};

}  // namespace

// From START_PENDING (its check point moving by itself) to RUNNING, the controls answered,
// and each way of ending: a stop, a shutdown, a pre-shutdown, and a run that ended by itself
// (a failed start-up: a failure with Tendro's exit code, so that the failure actions apply).
TEST(ServiceStatus, StatesAndControlsFromStartToStop) {
    const DWORD endings[] = {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN,
                             SERVICE_CONTROL_PRESHUTDOWN, 0};
    for (DWORD ending : endings) {
        SCOPED_TRACE(ending);
        Reported r;
        r.reporter.StartPending();
        EXPECT_EQ(r.Last().dwControlsAccepted, 0u);
        const DWORD begin = ::GetTickCount();
        while (r.Last().dwCheckPoint < 3 && ::GetTickCount() - begin < 10000) ::Sleep(50);
        EXPECT_EQ(r.Last().dwCurrentState, DWORD{SERVICE_START_PENDING});
        EXPECT_GE(r.Last().dwCheckPoint, 3u);
        if (ending == 0) {
            r.reporter.Stopped(1);
            EXPECT_EQ(r.Last().dwWin32ExitCode, DWORD{ERROR_SERVICE_SPECIFIC_ERROR});
            EXPECT_EQ(r.Last().dwServiceSpecificExitCode, 1u);
            continue;
        }
        r.reporter.Running();
        EXPECT_EQ(r.Last().dwControlsAccepted, TendroControlsAccepted);
        EXPECT_EQ(r.reporter.Control(SERVICE_CONTROL_INTERROGATE), DWORD{NO_ERROR});
        EXPECT_EQ(r.reporter.Control(SERVICE_CONTROL_PAUSE), DWORD{ERROR_CALL_NOT_IMPLEMENTED});
        EXPECT_EQ(r.Last().dwCurrentState, DWORD{SERVICE_RUNNING});
        EXPECT_FALSE(r.stop.Stopping());

        EXPECT_EQ(r.reporter.Control(ending), DWORD{NO_ERROR});
        EXPECT_EQ(r.Last().dwCurrentState, DWORD{SERVICE_STOP_PENDING});
        EXPECT_TRUE(r.stop.Stopping());
        EXPECT_EQ(r.stop.ShuttingDown(), ending != SERVICE_CONTROL_STOP);
        r.reporter.Running();  // nothing takes the stop back
        EXPECT_EQ(r.Last().dwCurrentState, DWORD{SERVICE_STOP_PENDING});
        r.reporter.Stopped(0);
        EXPECT_EQ(r.Last().dwCurrentState, DWORD{SERVICE_STOPPED});
        EXPECT_EQ(r.Last().dwWin32ExitCode, DWORD{NO_ERROR});
    }
}

// A PRESHUTDOWN while the group restart waits for the slow stop of its first service: the
// wait ends at once, and nothing more is stopped or started.
TEST(ServiceStatus, PreshutdownDuringAResponseStartsNothingMore) {
    TestService slow({L"--stop-pending", L"5000"}), second, third;
    for (TestService* s : {&slow, &second, &third}) ASSERT_TRUE(s->Start());
    Reported r;
    r.reporter.Running();
    GroupResponse response({&slow, &second, &third}, r.stop);
    ASSERT_TRUE(slow.WaitForState(SERVICE_STOP_PENDING, 10000));
    const DWORD asked = ::GetTickCount();
    EXPECT_EQ(r.reporter.Control(SERVICE_CONTROL_PRESHUTDOWN), DWORD{NO_ERROR});
    ASSERT_EQ(response.done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_LT(::GetTickCount() - asked, 1000u);
    EXPECT_EQ(second.State(), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(third.State(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(slow.State(), DWORD{SERVICE_RUNNING});
}

// With a listener: PAUSE gives PAUSE_PENDING (a second one changes nothing), CONTINUE while
// paused gives CONTINUE_PENDING, and PARAMCHANGE is passed on; each reaches the listener once,
// and a stale PAUSED or RUNNING of the monitor takes no pending continue, pause or stop back.
// Stopping, the listener hears nothing.
TEST(ServiceStatus, PauseContinueAndParamChangeGoToTheListener) {
    Reported r;
    std::vector<DWORD> heard;  // on the thread that sends the control
    r.reporter.Listen([&](DWORD control) { heard.push_back(control); });
    r.reporter.Running();
    EXPECT_EQ(r.Last().dwControlsAccepted, TendroControlsAccepted | TendroListenedControls);
    constexpr DWORD kPaused = 1000, kRunning = 1001;  // the monitor reports
    const struct {
        DWORD step, state;
    } steps[] = {{SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_PENDING},  {SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_PENDING},
                 {SERVICE_CONTROL_CONTINUE, SERVICE_CONTINUE_PENDING},
                 {SERVICE_CONTROL_PARAMCHANGE, SERVICE_CONTINUE_PENDING},
                 {kPaused, SERVICE_CONTINUE_PENDING}, {SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_PENDING},
                 {kRunning, SERVICE_PAUSE_PENDING},   {kPaused, SERVICE_PAUSED},
                 {SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING}, {kPaused, SERVICE_STOP_PENDING}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        if (step.step == kPaused) r.reporter.Paused();
        else if (step.step == kRunning) r.reporter.Running();
        else EXPECT_EQ(r.reporter.Control(step.step), DWORD{NO_ERROR});
        EXPECT_EQ(r.Last().dwCurrentState, step.state);
        EXPECT_TRUE(step.state != SERVICE_PAUSED || r.Last().dwCheckPoint == 0);
    }
    EXPECT_EQ(r.reporter.Control(SERVICE_CONTROL_PARAMCHANGE), DWORD{ERROR_SERVICE_CANNOT_ACCEPT_CTRL});
    EXPECT_EQ(heard, (std::vector<DWORD>{SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                                         SERVICE_CONTROL_PARAMCHANGE, SERVICE_CONTROL_PAUSE}));
}

// A stop of Tendro early in a group restart of services that each take seconds to stop. The
// stop budget (cut to four seconds here) runs out during the second service's stop: nothing
// more is stopped, so the healthy service never gets a stop, and the starts still go out for
// the first one, which was stopped, and for the last, which was down already.
TEST(ServiceStatus, AStopWhoseBudgetIsSpentStopsNothingMore) {
    SetupLevelWords();
    Verbosity = LogInfo;
    TestService slow1({L"--stop-pending", L"3000"}), slow2({L"--stop-pending", L"3000"}), healthy;
    TestService down({L"--start-pending", L"2000"});  // stopped: it needs no stop, only a start
    for (TestService* s : {&slow1, &slow2, &healthy}) ASSERT_TRUE(s->Start());
    const DWORD healthyPid = healthy.Pid();
    Reported r(4000);
    r.reporter.Running();
    CapturedLog log;
    GroupResponse response({&slow1, &slow2, &healthy, &down}, r.stop);
    ASSERT_TRUE(slow1.WaitForState(SERVICE_STOP_PENDING, 10000));
    EXPECT_EQ(r.reporter.Control(SERVICE_CONTROL_STOP), DWORD{NO_ERROR});
    ASSERT_EQ(response.done.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    auto lines = log.Lines();
    Verbosity = 0;
    EXPECT_EQ(FindText(lines, L"Stopping service " + healthy.Name()), -1);
    EXPECT_EQ(FindText(lines, L"Starting service " + healthy.Name()), -1);
    EXPECT_NE(FindText(lines, L"Service " + healthy.Name() + L" is left running: Tendro is stopping"), -1);
    EXPECT_NE(FindText(lines, L"Starting service " + slow1.Name()), -1);
    // A stop or start cut short by the budget is no failure (and no hung stop).
    EXPECT_EQ(FindText(lines, L"Can't stop service " + slow2.Name()), -1);
    for (const wchar_t* left : {L" is left running: Tendro is stopping", L" is left down: Tendro is stopping"})
        EXPECT_EQ(FindText(lines, L"Service " + down.Name() + left), -1);
    EXPECT_NE(FindText(lines, L"Service " + down.Name() + L" is starting, not waited for: Tendro is stopping"), -1);
    EXPECT_TRUE(down.WaitForState(SERVICE_RUNNING, 10000));
    EXPECT_EQ(healthy.State(), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(healthy.Pid(), healthyPid);
    EXPECT_TRUE(slow1.WaitForState(SERVICE_RUNNING, 10000));
}
