#include <gtest/gtest.h>

#include "support/test_services.h"

using namespace tendro::test;

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
