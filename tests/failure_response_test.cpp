// The failure response end to end: which services of a group of three are stopped and
// started, in which order, for each combination of -r, -g and -j.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "app/failure_response.h"
#include "app/startup.h"
#include "common/text.h"
#include "log/log.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::Contains;
using ::testing::ElementsAreArray;

namespace {

struct Row {
    std::vector<std::wstring> options;
    std::vector<int> stopped;  // indices into the group, in the order expected
    std::vector<int> started;
};

std::vector<std::wstring> Pick(const std::vector<std::wstring>& names, const std::vector<int>& at) {
    std::vector<std::wstring> picked;
    for (int i : at) picked.push_back(names[static_cast<size_t>(i)]);
    return picked;
}

}  // namespace

// S1, S2, S3 with S2 stopped: the first pass finds S2 down (and, after a stop without a start,
// S3 as well) and responds in the same pass.
TEST(FailureResponse, EveryRowOfOptionsStopsAndStartsTheRightRunInListOrder) {
    TestService s1, s2, s3;
    const std::vector<std::wstring> group{s1.Name(), s2.Name(), s3.Name()};
    const std::vector<Row> rows{
        {{}, {0, 1, 2}, {0, 1, 2}},
        {{L"-g"}, {1, 2}, {1, 2}},
        {{L"-r"}, {1}, {1}},
        {{L"-r", L"-g"}, {1}, {1}},
        {{L"-r", L"-j"}, {1}, {}},
        {{L"-j"}, {0, 1, 2, 0, 1, 2}, {}},     // S3 is down after the first response
        {{L"-g", L"-j"}, {1, 2, 2}, {}},
    };
    for (const Row& row : rows) {
        std::wstring label;
        for (const auto& option : row.options) label += option + L" ";
        SCOPED_TRACE(ToNarrow(label));
        ASSERT_TRUE(s2.StopFromOutside());
        for (TestService* s : {&s1, &s3})
            if (s->State() != SERVICE_RUNNING) {
                ASSERT_TRUE(s->Start());
            }
        std::vector<DWORD> pids{s1.Pid(), 0, s3.Pid()};

        std::vector<std::wstring> args{L"-v", L"-o"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        for (const auto& name : group) args.insert(args.end(), {L"-s", name});
        RunResult r = RunTendro(args);
        ASSERT_EQ(r.exitCode, 0u);
        auto lines = ParseLog(r.out);
        EXPECT_THAT(ServiceOperations(lines),
                    ElementsAreArray(StopsThenStarts(Pick(group, row.stopped),
                                                     Pick(group, row.started))));
        // Each service's end state follows from the row; untouched ones keep their process.
        for (int i : {0, 1, 2}) {
            TestService& s = *std::vector<TestService*>{&s1, &s2, &s3}[static_cast<size_t>(i)];
            bool touched = std::count(row.stopped.begin(), row.stopped.end(), i) > 0;
            bool started = std::count(row.started.begin(), row.started.end(), i) > 0;
            DWORD expected = (started || (!touched && i != 1)) ? SERVICE_RUNNING : SERVICE_STOPPED;
            EXPECT_EQ(s.State(), expected) << "S" << i + 1;
            if (i == 1) continue;
            if (!touched) {
                EXPECT_EQ(s.Pid(), pids[static_cast<size_t>(i)]) << "S" << i + 1;
            } else if (started) {
                EXPECT_NE(s.Pid(), pids[static_cast<size_t>(i)]) << "S" << i + 1;
            }
        }
    }
}

TEST(FailureResponse, RemoteNamesAreStoppedAndStartedThroughTheirMachine) {
    TestService s1, s2;
    ASSERT_TRUE(s1.Start());
    const DWORD oldPid = s1.Pid();
    RunResult r = RunTendro({L"-v", L"-o", L"-s", s1.RemoteName(), L"-s", s2.RemoteName()});
    auto lines = ParseLog(r.out);
    EXPECT_THAT(ServiceOperations(lines),
                ElementsAreArray(StopsThenStarts({s1.RemoteName(), s2.RemoteName()},
                                                 {s1.RemoteName(), s2.RemoteName()})));
    EXPECT_EQ(s2.State(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(s1.Pid(), oldPid);
}

TEST(FailureResponse, StopOnlyStopsTheGroupAgainOnLaterPasses) {
    TestService s1, s2, s3;
    for (TestService* s : {&s1, &s2, &s3}) ASSERT_TRUE(s->Start());
    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-v", L"-j", L"-f", L"0", L"-s", s1.Name(), L"-s", s2.Name(), L"-s", s3.Name()});
    ASSERT_TRUE(s2.StopFromOutside());
    // The pass after the stop, then the passes after that: every service found down each time.
    // A response is logged before the next pass finds anything, so once the fifth finding is
    // there, the four responses before it are complete (the program may be ended in the middle
    // of the fifth).
    ASSERT_TRUE(WaitForLines(tendro, L"Service or process is down", 5, 60000)) << tendro.OutputSoFar();
    RunResult r = tendro.Stop();
    auto lines = ParseLog(r.out);
    int first = FindText(lines, L"Service or process is down");
    ASSERT_GE(first, 4);
    // The finding, then the status block, then the down line.
    EXPECT_EQ(lines[static_cast<size_t>(first - 4)].word, L"Err!");
    EXPECT_EQ(lines[static_cast<size_t>(first - 4)].text.rfind(L"Service ", 0), 0u);
    // From the first later-pass finding on: stop runs of S1, S2, S3 only, one per service found
    // down, and nothing started.
    std::vector<LogLine> after(lines.begin() + first, lines.end());
    auto operations = ServiceOperations(after);
    ASSERT_GE(operations.size(), 12u);
    auto round = StopsThenStarts({s1.Name(), s2.Name(), s3.Name()}, {});
    for (size_t i = 0; i < operations.size(); ++i) EXPECT_EQ(operations[i], round[i % 3]) << i;
    EXPECT_EQ(FindText(lines, L"Starting service " + s1.Name()), -1);
    EXPECT_THAT(lines, Contains(LogLine{L"Err!", L"Service " + s1.Name() + L" is NOT running!"}));
    for (TestService* s : {&s1, &s2, &s3}) EXPECT_EQ(s->State(), DWORD{SERVICE_STOPPED});
}

TEST(FailureResponse, AFailedStartDoesNotKeepTheRestOfTheGroupDown) {
    TestService s1({L"--fail-start", L"1"});
    TestService s2, s3;
    RunResult r = RunTendro({L"-v", L"-o", L"-s", s1.Name(), L"-s", s2.Name(), L"-s", s3.Name()});
    auto lines = ParseLog(r.out);
    // The start of S1 fails (how depends on the service manager); the group goes on.
    int startS1 = FindText(lines, L"Starting service " + s1.Name());
    ASSERT_GE(startS1, 0) << ToNarrow(r.outText);
    int failed = startS1 + 1;
    ASSERT_LT(static_cast<size_t>(failed), lines.size());
    EXPECT_EQ(lines[failed].word, L"Err!");
    EXPECT_TRUE(lines[failed].text == L"Unable to start service!" ||
                lines[failed].text == L"Can't start service; its exit code: 1")
        << ToNarrow(lines[failed].text);
    EXPECT_GT(FindText(lines, L"Starting service " + s2.Name(), failed), failed);
    EXPECT_GT(FindText(lines, L"Starting service " + s3.Name(), failed), failed);
    EXPECT_EQ(s2.State(), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(s3.State(), DWORD{SERVICE_RUNNING});
}

// Where the run starts with -g when the list holds a name twice (-s and -a) or the failed name
// only differs in case: the last equal entry, else the first entry. Unopened service objects
// still log each operation before they fail.
TEST(FailureResponse, RestartFromFailureStartsAtTheLastEntryEqualWithCase) {
    SetupLevelWords();
    Verbosity = LogInfo;
    CmdLineParser settings;
    settings.flags = CmdLineParser::RestartFromFailure | CmdLineParser::StopOnly;
    settings.monitoredServices = {L"Alpha", L"Beta", L"Alpha", L"Gamma"};
    ServiceObjects services;
    auto respond = [&](const std::wstring& failedName) {
        ServiceControl failed(SharedScHandle(), SharedToken(), failedName, 1);
        CapturedLog log;
        RespondToFailure(settings, services, failed);
        return ServiceOperations(log.Lines());
    };
    EXPECT_THAT(respond(L"Alpha"), ElementsAreArray(StopsThenStarts({L"Alpha", L"Gamma"}, {})));
    EXPECT_THAT(respond(L"Beta"),
                ElementsAreArray(StopsThenStarts({L"Beta", L"Alpha", L"Gamma"}, {})));
    EXPECT_THAT(respond(L"ALPHA"),
                ElementsAreArray(StopsThenStarts({L"Alpha", L"Beta", L"Alpha", L"Gamma"}, {})));
    Verbosity = 0;
}
