// Tendro as a service: the status it reports and the controls it takes (in-process: Wine never
// sends SHUTDOWN or PRESHUTDOWN), and what a shutdown does to a response under way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <vector>

#include "app/failure_response.h"
#include "common/handle.h"
#include "servicemode/service_status.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;

namespace {

// The statuses a reporter sends, kept for the test.
struct Recorder {
    std::mutex mutex;
    std::vector<SERVICE_STATUS> statuses;
    StatusSink Sink() {
        return [this](const SERVICE_STATUS& status) {
            std::lock_guard<std::mutex> lock(mutex);
            statuses.push_back(status);
        };
    }
    SERVICE_STATUS Last() {
        std::lock_guard<std::mutex> lock(mutex);
        return statuses.empty() ? SERVICE_STATUS{} : statuses.back();
    }
};

}  // namespace

TEST(ServiceStatus, StatesAndControlsFromStartToStop) {
    struct Case {
        const char* what;
        DWORD control;        // 0: no control, the step below instead
        DWORD answer;
        DWORD state;          // reported afterwards
        bool stopping, shuttingDown;
    };
    for (DWORD ending : {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN},
                         DWORD{SERVICE_CONTROL_PRESHUTDOWN}}) {
        SCOPED_TRACE(ending);
        StopSignal stop;
        Recorder recorder;
        ServiceStatusReporter reporter(recorder.Sink(), stop);
        reporter.StartPending();
        EXPECT_EQ(recorder.Last().dwCurrentState, DWORD{SERVICE_START_PENDING});
        EXPECT_EQ(recorder.Last().dwControlsAccepted, 0u);
        // The check point moves on by itself while the start-up runs.
        const DWORD begin = ::GetTickCount();
        while (recorder.Last().dwCheckPoint < 3 && ::GetTickCount() - begin < 10000) ::Sleep(50);
        EXPECT_GE(recorder.Last().dwCheckPoint, 3u);

        reporter.Running();
        EXPECT_EQ(recorder.Last().dwCurrentState, DWORD{SERVICE_RUNNING});
        EXPECT_EQ(recorder.Last().dwControlsAccepted, TendroControlsAccepted);
        const Case cases[] = {
            {"interrogate", SERVICE_CONTROL_INTERROGATE, NO_ERROR, SERVICE_RUNNING, false, false},
            {"pause", SERVICE_CONTROL_PAUSE, ERROR_CALL_NOT_IMPLEMENTED, SERVICE_RUNNING, false,
             false},
            {"param change", SERVICE_CONTROL_PARAMCHANGE, ERROR_CALL_NOT_IMPLEMENTED,
             SERVICE_RUNNING, false, false},
            {"the end", ending, NO_ERROR, SERVICE_STOP_PENDING, true,
             ending != SERVICE_CONTROL_STOP},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            EXPECT_EQ(reporter.Control(c.control), c.answer);
            EXPECT_EQ(recorder.Last().dwCurrentState, c.state);
            EXPECT_EQ(stop.Stopping(), c.stopping);
            EXPECT_EQ(stop.ShuttingDown(), c.shuttingDown);
        }
        // Nothing takes the stop back; a stop asked for ends without an error.
        reporter.Running();
        EXPECT_EQ(recorder.Last().dwCurrentState, DWORD{SERVICE_STOP_PENDING});
        reporter.Stopped(0);
        EXPECT_EQ(recorder.Last().dwCurrentState, DWORD{SERVICE_STOPPED});
        EXPECT_EQ(recorder.Last().dwWin32ExitCode, DWORD{NO_ERROR});
    }
}

// A run that ends by itself (a start-up that failed) is a failure of the service, so that the
// manager's failure actions apply.
TEST(ServiceStatus, ARunThatEndsByItselfStopsWithItsExitCode) {
    for (int exitCode : {0, 1}) {
        StopSignal stop;
        Recorder recorder;
        ServiceStatusReporter reporter(recorder.Sink(), stop);
        reporter.StartPending();
        reporter.Stopped(exitCode);
        EXPECT_EQ(recorder.Last().dwCurrentState, DWORD{SERVICE_STOPPED});
        EXPECT_EQ(recorder.Last().dwWin32ExitCode, DWORD{ERROR_SERVICE_SPECIFIC_ERROR});
        EXPECT_EQ(recorder.Last().dwServiceSpecificExitCode, static_cast<DWORD>(exitCode));
    }
}

// A PRESHUTDOWN while the group restart waits for the slow stop of its first service: the
// wait ends at once, and nothing more is stopped or started.
TEST(ServiceStatus, PreshutdownDuringAResponseStartsNothingMore) {
    TestService slow({L"--stop-pending", L"5000"}), second, third;
    for (TestService* s : {&slow, &second, &third}) ASSERT_TRUE(s->Start());
    CmdLineParser settings;
    settings.monitoredServices = {slow.Name(), second.Name(), third.Name()};
    SharedScHandle scm = MakeSharedScHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceObjects services;
    for (const auto& name : settings.monitoredServices)
        services.emplace(name, ServiceControl(scm, SharedToken(), name, 1));

    StopSignal stop;
    Recorder recorder;
    ServiceStatusReporter reporter(recorder.Sink(), stop);
    reporter.Running();
    auto response = std::async(std::launch::async, [&] {
        PassResponses pass(stop);
        RespondToFailure(settings, services, services.at(slow.Name()), NoMonitorHooks(), pass);
    });
    ASSERT_TRUE(slow.WaitForState(SERVICE_STOP_PENDING, 10000));
    const DWORD asked = ::GetTickCount();
    EXPECT_EQ(reporter.Control(SERVICE_CONTROL_PRESHUTDOWN), DWORD{NO_ERROR});
    ASSERT_EQ(response.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_LT(::GetTickCount() - asked, 1000u);
    // The rest of the group was neither stopped nor started; the slow one is not started again.
    EXPECT_EQ(second.State(), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(third.State(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(slow.State(), DWORD{SERVICE_RUNNING});
}
