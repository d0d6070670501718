#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "log/log.h"
#include "service/service_control.h"
#include "support/monitor_helpers.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class ServiceControlTest : public LoggingTest {
protected:
    static ServiceControl Open(const std::wstring& name, SharedToken token = {}) {
        SharedScHandle scm =
            MakeSharedScHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        EXPECT_TRUE(scm);
        return ServiceControl(std::move(scm), std::move(token), name, 1);
    }

    static LogLine ErrText(DWORD code) { return Err(L"\t" + WindowsErrorText(code)); }
};

size_t ThreadCount(DWORD pid) {
    Handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    size_t count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
         more = ::Thread32Next(snapshot.get(), &entry))
        count += entry.th32OwnerProcessID == pid ? 1 : 0;
    return count;
}

SIZE_T WorkingSet(DWORD pid) {
    Handle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!process || !::GetProcessMemoryInfo(process.get(), &counters, sizeof(counters))) return 0;
    return counters.WorkingSetSize;
}

bool ThreadIsImpersonating() {
    HANDLE token = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        ::CloseHandle(token);
        return true;
    }
    return false;
}

}  // namespace

// The fixture itself: the behaviours that the other tests build on.
TEST(FixtureService, RunsUntilStoppedAndEndsOnItsOwnWhenAsked) {
    TestService plain;
    ASSERT_TRUE(plain.Start()) << plain.LastError();
    EXPECT_NE(plain.Pid(), 0u);
    EXPECT_TRUE(plain.StopFromOutside());
    EXPECT_EQ(plain.ExitCode(), 0u);

    TestService crash({L"--exit-after", L"300", L"--exit-code", L"1067"});
    ASSERT_TRUE(crash.Start());
    EXPECT_TRUE(crash.WaitForState(SERVICE_STOPPED, 10000));
    EXPECT_EQ(crash.ExitCode(), 1067u);

    TestService failing({L"--start-pending", L"500", L"--fail-start", L"1064"});
    EXPECT_FALSE(failing.Start());
    EXPECT_EQ(failing.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(failing.ExitCode(), 1064u);

    TestService stuck({L"--stop-pending", L"60000"});
    ASSERT_TRUE(stuck.Start());
    EXPECT_FALSE(stuck.StopFromOutside(1000));
    EXPECT_EQ(stuck.State(), static_cast<DWORD>(SERVICE_STOP_PENDING));
    stuck.EndNow();
    EXPECT_EQ(stuck.State(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(FixtureService, HoldsMemoryAndKeepsThreadsBusy) {
    TestService idle;
    TestService hog({L"--memory", L"48", L"--busy", L"2"});
    ASSERT_TRUE(idle.Start());
    ASSERT_TRUE(hog.Start());
    EXPECT_GE(WorkingSet(hog.Pid()), SIZE_T{48} * 1024 * 1024);
    EXPECT_LT(WorkingSet(idle.Pid()), SIZE_T{48} * 1024 * 1024);
    EXPECT_EQ(ThreadCount(hog.Pid()), ThreadCount(idle.Pid()) + 2);
}

TEST(ServiceName, SplitsIntoMachineAndShortName) {
    ServiceNameParts local = SplitServiceName(L"svc");
    EXPECT_EQ(local.machine, L"");
    EXPECT_EQ(local.shortName, L"svc");
    ServiceNameParts remote = SplitServiceName(L"\\\\srv01\\svc");
    EXPECT_EQ(remote.machine, L"srv01");
    EXPECT_EQ(remote.shortName, L"svc");

    ServiceControl never(nullptr, nullptr, L"\\\\tendro-test-host\\Some Svc", 1);
    EXPECT_EQ(never.name, L"\\\\tendro-test-host\\Some Svc");
    EXPECT_EQ(never.machine, L"tendro-test-host");
    EXPECT_EQ(never.shortName, L"Some Svc");
    EXPECT_FALSE(never.handle);

    for (const wchar_t* sound : {L"svc", L"Some Svc", L"\\\\h\\s", L"\\\\127.0.0.1\\svc"})
        EXPECT_TRUE(IsSoundServiceName(sound)) << sound;
    for (const wchar_t* odd : {L"", L"\\\\\\svc", L"\\\\srv\\", L"\\\\srv", L"\\\\", L"\\svc",
                               L"a\\b", L"\\\\srv\\a\\b", L"a/b", L"\\\\srv\\a/b", L"c:svc",
                               L"\\\\srv:1\\svc"})
        EXPECT_FALSE(IsSoundServiceName(odd)) << odd;
}

TEST(ServiceStateWords, OneWordPerStateAndUndefined) {
    EXPECT_EQ(ServiceStateWord(0), L"Undefined");
    EXPECT_EQ(ServiceStateWord(SERVICE_STOPPED), L"Stopped");
    EXPECT_EQ(ServiceStateWord(SERVICE_CONTINUE_PENDING), L"continue pending");
    EXPECT_EQ(ServiceStateWord(SERVICE_PAUSED), L"Paused");
    EXPECT_EQ(ServiceStateWord(8), L"Undefined");
}

TEST_F(ServiceControlTest, ServiceThatCannotBeOpenedFailsEveryOperation) {
    const std::wstring name = UniqueServiceName(L"Missing");
    ServiceControl missing = Open(name);
    EXPECT_FALSE(missing.handle);
    EXPECT_EQ(missing.openError, static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));

    CapturedLog log;
    EXPECT_EQ(missing.GetStatus(), 0u);
    EXPECT_EQ(missing.GetServicePid(), -1);
    EXPECT_EQ(missing.Start(), -1);
    ::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(missing.Stop(), 0);
    EXPECT_THAT(log.Lines(),
                ElementsAre(Err(L"Can't get status for service " + name), Err(L"No PID for " + name + L"!"),
                            Err(L"Unable to open service!"), Err(L"Service not open!"),
                            Err(L"Can't stop service " + name), ErrText(ERROR_SERVICE_DOES_NOT_EXIST)));

    log.Clear();
    ServiceControl unconnected;
    EXPECT_EQ(unconnected.Start(), -1);
    EXPECT_EQ(unconnected.Stop(), 0);
    std::vector<LogLine> lines = log.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], Err(L"Unable to obtain Service control manager!"));
    EXPECT_EQ(lines[1], Err(L"Unable to obtain Service control manager!"));
    EXPECT_EQ(lines[2], Err(L"Can't stop service "));
}

TEST_F(ServiceControlTest, StartsAndStopsARealService) {
    TestService service;
    ServiceControl control = Open(service.Name());
    ASSERT_TRUE(control.handle);
    EXPECT_EQ(control.GetStatus(), static_cast<uint32_t>(SERVICE_STOPPED));

    Verbosity = LogInfo;
    CapturedLog log;
    EXPECT_EQ(control.GetServicePid(), -1);  // stopped: no process, no message
    EXPECT_EQ(control.Start(), 1);
    EXPECT_EQ(control.GetStatus(), static_cast<uint32_t>(SERVICE_RUNNING));
    EXPECT_EQ(control.GetServicePid(), static_cast<int32_t>(service.Pid()));
    EXPECT_GT(control.GetServicePid(), 0);
    EXPECT_EQ(control.Start(), -1);  // already running
    EXPECT_EQ(control.Stop(), 1);
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(control.Stop(), 1);  // already stopped with exit code 0
    EXPECT_THAT(log.Lines(), ElementsAre(LogLine{L"Info", L"Starting service " + service.Name()},
                                         LogLine{L"Info", L"Starting service " + service.Name()},
                                         Err(L"Unable to start service!"),
                                         LogLine{L"Info", L"Stopping service " + service.Name()},
                                         LogLine{L"Info", L"Stopping service " + service.Name()}));
}

TEST_F(ServiceControlTest, StopReportsTheServiceExitCode) {
    TestService failingStop({L"--stop-exit-code", L"1064"});
    ASSERT_TRUE(failingStop.Start());
    TestService crashed({L"--exit-after", L"100", L"--exit-code", L"1067"});
    ASSERT_TRUE(crashed.Start());
    ASSERT_TRUE(crashed.WaitForState(SERVICE_STOPPED, 10000));

    CapturedLog log;
    EXPECT_EQ(Open(failingStop.Name()).Stop(), 0);
    EXPECT_EQ(failingStop.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(Open(crashed.Name()).Stop(), 0);  // not active (1062): its last exit code counts
    EXPECT_THAT(log.Lines(), ElementsAre(Err(L"Can't stop service " + failingStop.Name()),
                                         ErrText(1064),
                                         Err(L"Can't stop service " + crashed.Name()),
                                         ErrText(1067)));
}

TEST_F(ServiceControlTest, StopWaitsOutStopPendingButGivesUpAfterTenSeconds) {
    TestService slow({L"--stop-pending", L"2500", L"--stop-hint", L"0"});
    ASSERT_TRUE(slow.Start());
    // The wait hint is cut to ten seconds: waited in full, the service would be stopped.
    TestService stuck({L"--stop-pending", L"30000", L"--stop-hint", L"60000",
                       L"--stop-checkpoint-fixed"});
    ASSERT_TRUE(stuck.Start());

    CapturedLog log;
    EXPECT_EQ(Open(slow.Name()).Stop(), 1);
    EXPECT_EQ(slow.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(Open(stuck.Name()).Stop(), 0);
    EXPECT_EQ(stuck.State(), static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_THAT(log.Lines(),
                ElementsAre(Err(L"Can't stop service " + stuck.Name()), ErrText(ERROR_TIMEOUT)));
    EXPECT_FALSE(ThreadIsImpersonating());
}

TEST_F(ServiceControlTest, StartWaitsWhileStartPendingAndReportsAFailedStart) {
    TestService slow({L"--start-pending", L"2000", L"--start-hint", L"300"});
    TestService dying({L"--start-pending", L"800", L"--fail-start", L"1064"});
    TestService endless({L"--start-pending", L"60000", L"--start-hint", L"400"});

    CapturedLog log;
    EXPECT_EQ(Open(slow.Name()).Start(), 1);
    EXPECT_EQ(slow.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Open(dying.Name()).Start(), -1);
    EXPECT_EQ(Open(endless.Name()).StartWithin(1500), -1);
    EXPECT_EQ(endless.State(), static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_THAT(log.Lines(),
                ElementsAre(Err(L"Can't start service; its exit code: 1064"),
                            Err(L"Can't start service " + endless.Name() +
                                L": still starting after 1 seconds")));
    EXPECT_EQ(StartWaitLimitMs, 120000u);
}

TEST_F(ServiceControlTest, ImpersonationLastsForTheScopeOnly) {
    EXPECT_FALSE(ThreadIsImpersonating());
    { ImpersonationScope none(nullptr); EXPECT_FALSE(ThreadIsImpersonating()); }

    HANDLE own = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(),
                                   TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_IMPERSONATE, &own));
    SharedToken token = MakeSharedToken(own);
    {
        ImpersonationScope scope(token.get());
        EXPECT_TRUE(ThreadIsImpersonating());
        scope.Revert();
        EXPECT_FALSE(ThreadIsImpersonating());
    }
    {
        ImpersonationScope scope(token.get());
        EXPECT_TRUE(ThreadIsImpersonating());
    }
    EXPECT_FALSE(ThreadIsImpersonating());

    // Every operation impersonates around its own calls and leaves the thread as it was.
    TestService service;
    ServiceControl control = Open(service.Name(), token);
    ASSERT_TRUE(control.handle);
    CapturedLog log;
    EXPECT_EQ(control.Start(), 1);
    EXPECT_FALSE(ThreadIsImpersonating());
    EXPECT_EQ(control.GetStatus(), static_cast<uint32_t>(SERVICE_RUNNING));
    EXPECT_GT(control.GetServicePid(), 0);
    EXPECT_EQ(control.Stop(), 1);
    EXPECT_FALSE(ThreadIsImpersonating());
    EXPECT_THAT(log.Lines(), IsEmpty());
}
