// Tendro run by the service manager: installed with --install over fixture services, started
// and stopped as an administrator would, its log file read back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/handle.h"
#include "common/text.h"
#include "servicemode/stored_options.h"
#include "support/run_tendro.h"
#include "support/temp_folder.h"
#include "support/tendro_service.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::HasSubstr;
using ::testing::Not;

// Started, it watches the group: a service stopped from outside is restarted and the log file
// says so. Stopped while idle, it is gone within a second or two.
TEST(ServiceRun, RunsTheGroupAndStopsWhenAsked) {
    TestService watched;
    ASSERT_TRUE(watched.Start());
    TendroService tendro({L"-f", L"1", L"-s", watched.Name()});
    ASSERT_TRUE(tendro.Start()) << ToNarrow(tendro.Log());
    ASSERT_TRUE(tendro.WaitForLog(L"Init: ", 10000));
    const DWORD oldPid = watched.Pid();
    ASSERT_TRUE(watched.StopFromOutside());
    ASSERT_TRUE(tendro.WaitForLog(L"Service " + watched.Name() + L" is NOT running!", 20000))
        << ToNarrow(tendro.Log());
    ASSERT_TRUE(watched.WaitForState(SERVICE_RUNNING, 20000));
    EXPECT_NE(watched.Pid(), oldPid);
    const DWORD took = tendro.Stop(10000);
    EXPECT_LT(took, 5000u) << "an idle stop";
    EXPECT_EQ(tendro.Status().dwWin32ExitCode, DWORD{NO_ERROR});
    EXPECT_THAT(ToNarrow(tendro.Log()), HasSubstr("Tendro Stopped\r\n"));
}

// A stop while a group restart waits for a slow start: the response is finished first, so the
// group is up when the service has stopped.
TEST(ServiceRun, AStopDuringAResponseLeavesTheGroupUp) {
    TestService slow({L"--start-pending", L"3000"}), other;
    ASSERT_TRUE(slow.Start());
    ASSERT_TRUE(other.Start());
    TendroService tendro({L"-v", L"-f", L"1", L"-s", slow.Name(), L"-s", other.Name()});
    ASSERT_TRUE(tendro.Start()) << ToNarrow(tendro.Log());
    ASSERT_TRUE(tendro.WaitForLog(L"Service check commencing", 10000));
    ASSERT_TRUE(other.StopFromOutside());
    ASSERT_TRUE(tendro.WaitForLog(L"Starting service " + slow.Name(), 20000))
        << ToNarrow(tendro.Log());
    EXPECT_NE(tendro.Stop(40000), INFINITE);
    EXPECT_EQ(slow.State(), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(other.State(), DWORD{SERVICE_RUNNING});
}

// A start-up that ends the run is a failure of the service, with Tendro's exit code, and the
// reason is in the log file; --service typed at a prompt says how the service is started.
TEST(ServiceRun, AFailedStartUpStopsTheServiceWithItsExitCode) {
    TendroService tendro({L"-s", UniqueServiceName(L"TendroNoSuch")});
    ASSERT_TRUE(tendro.StartNoWait());
    ASSERT_TRUE(tendro.WaitFor(SERVICE_STOPPED, 20000));
    EXPECT_EQ(tendro.Status().dwWin32ExitCode, DWORD{ERROR_SERVICE_SPECIFIC_ERROR});
    EXPECT_EQ(tendro.Status().dwServiceSpecificExitCode, 1u);
    EXPECT_THAT(ToNarrow(tendro.Log()), HasSubstr("Err!: "));

    RunResult typed = RunTendro({L"--service=TendroAtAPrompt"});
    EXPECT_EQ(typed.exitCode, 1u);
    ASSERT_EQ(typed.out.size(), 1u) << ToNarrow(typed.outText);
    EXPECT_THAT(ToNarrow(typed.out[0]), HasSubstr("--install=TendroAtAPrompt"));
}

// Pause, continue, the pause limit and new options (re-installed, refused, edited) in one
// process of a Tendro service: paused it leaves a stopped service down; refused options keep the old.
TEST(ServiceRun, PauseContinueAndNewOptionsInOneProcess) {
    TestService first, added;
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(added.Start());
    TempFolder folder;
    const std::wstring metrics = L"--metrics=" + folder.File(L"t.prom");
    TendroService tendro({L"-f", L"1", L"-s", first.Name(), metrics});
    ASSERT_TRUE(tendro.Start()) << ToNarrow(tendro.Log());
    const DWORD pid = tendro.Status().dwProcessId;
    const DWORD accepts = SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_PARAMCHANGE;
    EXPECT_EQ(tendro.Status().dwControlsAccepted & accepts, accepts);

    ASSERT_TRUE(tendro.Control(SERVICE_CONTROL_PAUSE));
    ASSERT_TRUE(tendro.WaitFor(SERVICE_PAUSED, 20000));
    ASSERT_TRUE(first.StopFromOutside());
    ASSERT_TRUE(tendro.WaitForLog(L"Tendro is paused: no response for service " + first.Name(), 20000))
        << ToNarrow(tendro.Log());
    EXPECT_EQ(first.State(), DWORD{SERVICE_STOPPED});
    EXPECT_THAT(ReadWhole(folder.File(L"t.prom")).value_or(""), HasSubstr("\ntendro_paused{tendro=\"t\"} 1\n"));
    const DWORD continued = ::GetTickCount();
    ASSERT_TRUE(tendro.Control(SERVICE_CONTROL_CONTINUE));
    ASSERT_TRUE(first.WaitForState(SERVICE_RUNNING, 20000));
    EXPECT_LT(::GetTickCount() - continued, 3000u) << "the next pass begins at continue";
    EXPECT_EQ(tendro.Status().dwCurrentState, DWORD{SERVICE_RUNNING});

    const std::wstring nextLog = folder.File(L"next.log");
    RunResult update = tendro.Reinstall(
        {L"-f", L"1", L"-s", first.Name(), L"-s", added.Name(), L"--pause-limit=3", metrics}, nextLog);
    EXPECT_EQ(update.exitCode, 0u) << ToNarrow(update.outText);
    EXPECT_THAT(ToNarrow(update.outText), HasSubstr("log file options of service " + ToNarrow(tendro.Name()) +
                                                " take effect at its next start"));
    EXPECT_THAT(ToNarrow(update.outText), HasSubstr("has applied the new options"));
    const std::vector<std::wstring> applied = ReadStoredOptions(tendro.Name());
    const std::wstring noSuch = UniqueServiceName(L"TendroNoSuch");
    RunResult typo = tendro.Reinstall({L"-f", L"1", L"-s", noSuch, metrics}, nextLog);
    EXPECT_EQ(typo.exitCode, 1u);
    EXPECT_THAT(ToNarrow(typo.outText), HasSubstr("service " + ToNarrow(noSuch) + "\r\nErr!: "));
    EXPECT_THAT(ToNarrow(typo.outText), HasSubstr("are refused: the lines above say why; Tendro goes "
                                              "on with the options it has; the options of before "
                                              "are stored again"));
    EXPECT_EQ(ReadStoredOptions(tendro.Name()), applied);
    EXPECT_EQ(tendro.Status().dwProcessId, pid);
    ASSERT_TRUE(added.StopFromOutside());
    ASSERT_TRUE(added.WaitForState(SERVICE_RUNNING, 20000)) << ToNarrow(tendro.Log());

    ASSERT_TRUE(tendro.Control(SERVICE_CONTROL_PAUSE));
    ASSERT_TRUE(tendro.WaitFor(SERVICE_PAUSED, 20000));
    ASSERT_TRUE(first.StopFromOutside());
    ASSERT_TRUE(tendro.WaitForLog(L"Tendro continues by itself", 20000)) << ToNarrow(tendro.Log());
    ASSERT_TRUE(first.WaitForState(SERVICE_RUNNING, 20000));
    EXPECT_EQ(tendro.Status().dwCurrentState, DWORD{SERVICE_RUNNING});

    tendro.StoreOptions({L"-f", L"1", L"-s", UniqueServiceName(L"TendroNoSuch")});
    ASSERT_TRUE(tendro.Control(SERVICE_CONTROL_PARAMCHANGE));
    ASSERT_TRUE(tendro.WaitForLog(L"The new options of service " + tendro.Name() + L" are refused", 20000, 2))
        << ToNarrow(tendro.Log());
    ASSERT_TRUE(added.StopFromOutside());
    ASSERT_TRUE(added.WaitForState(SERVICE_RUNNING, 20000)) << ToNarrow(tendro.Log());
    EXPECT_EQ(tendro.Status().dwProcessId, pid);

    // A new account: its process, of the old one, is not told; both wait for the next start.
    RunResult moved = tendro.Reinstall({L"-f", L"1", L"-s", first.Name(), L"--account=NT AUTHORITY\\LocalService"});
    EXPECT_EQ(moved.exitCode, 0u) << ToNarrow(moved.outText);
    EXPECT_THAT(ToNarrow(moved.outText), HasSubstr("the account NT AUTHORITY\\LocalService at its next start"));
    EXPECT_THAT(ToNarrow(moved.outText), Not(HasSubstr("has applied")));
}
