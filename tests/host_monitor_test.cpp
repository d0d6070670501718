// The monitor pass over services of the host product, end to end: the stand-in registered as
// a service runs a program as its child and records the program's id and state.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/text.h"
#include "support/host_product.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {


std::wstring NotRunning(const std::wstring& name) {
    return L"Service " + name + L" is NOT running!";
}


}  // namespace

// Services of the host product: the stand-in runs a program as its child and records the
// program's id and state; that record decides whether the service is up.
class MonitorHostProduct : public ::testing::Test {
protected:
    void SetUp() override {
        name = UniqueServiceName(L"TendroH");
        product.SetServices({name});
    }
    void Set(const std::wstring& key, const std::wstring& value) {
        product.Configure(key + L":" + name, value);
    }

    HostProductInstallation product;
    std::wstring name;
};

TEST_F(MonitorHostProduct, AFailedProgramIsDownWhileTheServiceRuns) {
    Set(L"ProcessState", L"4,1");  // failed on the first start, running on the next
    HostProductService service(product.ExePath(), name);
    ASSERT_TRUE(service.Start());
    const DWORD servicePid = service.Pid();
    const DWORD program = service.RecordedPid();
    ASSERT_NE(program, 0u);

    RunResult r = RunTendro({L"-v", L"-o", L"-s", name});
    ASSERT_EQ(r.exitCode, 0u) << ToNarrow(r.outText);
    auto lines = ParseLog(r.out);
    EXPECT_THAT(LinesFrom(lines, L"Service: " + name, 5),
                ElementsAre(LogLine{L"Info", L"Service: " + name},
                            LogLine{L"Info", L" Status: Running"},
                            LogLine{L"Info", L" CV PID: " + std::to_wstring(servicePid)},
                            LogLine{L"Info", L"EXE PID: " + std::to_wstring(program)},
                            LogLine{L"Info", L"Process: Failed"}));
    EXPECT_EQ(FindText(lines, NotRunning(name)), -1);
    EXPECT_EQ(FindText(lines, kDown), -1);  // first pass
    EXPECT_THAT(ServiceOperations(lines), ElementsAreArray(StopsThenStarts({name}, {name})));
    EXPECT_EQ(service.State(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(service.Pid(), servicePid);
    EXPECT_EQ(service.RecordedState(), 1u);
}

TEST_F(MonitorHostProduct, AStoppedServiceWhoseRecordSaysScheduledIsNotRestarted) {
    Set(L"StartChild", L"0");
    Set(L"ProcessState", L"3");
    Set(L"KeepRecordOnStop", L"1");
    HostProductService service(product.ExePath(), name);
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.StopFromOutside());
    ASSERT_EQ(service.RecordedState(), 3u);

    RunResult r = RunTendro({L"-v", L"-o", L"-s", name});
    auto lines = ParseLog(r.out);
    EXPECT_THAT(LinesFrom(lines, NotRunning(name), 6),
                ElementsAre(LogLine{L"Init", NotRunning(name)},
                            LogLine{L"Info", L"Service: " + name},
                            LogLine{L"Info", L" Status: Stopped"},
                            LogLine{L"Info", L" CV PID: -1"},
                            LogLine{L"Info", L"EXE PID: -1"},
                            LogLine{L"Info", L"Process: Scheduled"}));
    EXPECT_THAT(ServiceOperations(lines), IsEmpty());
    EXPECT_EQ(service.State(), DWORD{SERVICE_STOPPED});
}

TEST_F(MonitorHostProduct, AProgramOverItsMemoryLimitIsKilledAndItsServiceRestarted) {
    Set(L"ChildMemoryMb", L"40");
    HostProductService service(product.ExePath(), name);
    ASSERT_TRUE(service.Start());
    const DWORD servicePid = service.Pid();
    const DWORD program = service.RecordedPid();
    Handle programProcess(::OpenProcess(SYNCHRONIZE, FALSE, program));
    ASSERT_TRUE(programProcess);
    const std::wstring id = std::to_wstring(program);

    RunResult r = RunTendro({L"-v", L"-o", L"-m", L"24", L"-s", name});
    auto lines = ParseLog(r.out);
    int hit = FindText(lines, L"Process " + id + L" hit memory threshold of 24MB limit 1 times");
    ASSERT_GE(hit, 0) << ToNarrow(r.outText);
    EXPECT_EQ(lines[hit].word, L"Err!");
    EXPECT_THAT(std::vector<LogLine>(lines.begin() + hit + 1, lines.begin() + std::min<size_t>(lines.size(), hit + 5)),
                ElementsAre(LogLine{L"Err!", L"Process " + id + L" will be terminated"},
                            LogLine{L"Info", L"Killing process " + id},
                            LogLine{L"Info", L"Stopping service " + name},
                            LogLine{L"Info", L"Starting service " + name}));
    EXPECT_EQ(::WaitForSingleObject(programProcess.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(service.State(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(service.Pid(), servicePid);
    EXPECT_NE(service.RecordedPid(), program);
    EXPECT_EQ(service.RecordedState(), 1u);
}

// With -a and -d every pass after the first validates the product's services again: one
// disabled in the meantime leaves the pass, and comes back once it is enabled again.
TEST_F(MonitorHostProduct, RereadingDropsADisabledServiceAndTakesItBackWhenEnabled) {
    HostProductService service(product.ExePath(), name);
    ASSERT_TRUE(service.Start());
    RunningProgram tendro(ProgramPath(L"tendro.exe"), {L"-v", L"-a", L"-d", L"-f", L"1"});
    ASSERT_TRUE(WaitForLines(tendro, L"Rereading services list", 1, 60000)) << tendro.OutputSoFar();
    ASSERT_TRUE(service.SetStartType(SERVICE_DISABLED));
    ASSERT_TRUE(WaitForLines(tendro, L"Service is disabled. Ignoring!", 2, 60000)) << tendro.OutputSoFar();
    ASSERT_TRUE(service.SetStartType(SERVICE_DEMAND_START));
    int rereads = 0;
    for (const auto& line : SplitLines(tendro.OutputSoFar()))
        rereads += line.find(L"Rereading services list") != std::wstring::npos ? 1 : 0;
    ASSERT_TRUE(WaitForLines(tendro, L"Rereading services list", rereads + 2, 60000));
    RunResult r = tendro.Stop();
    SCOPED_TRACE(ToNarrow(r.outText));
    auto lines = ParseLog(r.out);

    // Each pass: what its validation said about the service, and whether it was checked.
    struct Pass {
        bool rereadFirst = false;
        bool disabled = false;
        bool checked = false;
    };
    std::vector<Pass> passes;
    Pass next;
    size_t complete = 0;  // passes that a later re-read shows to have ended
    for (const auto& line : lines) {
        if (line.text == L"Rereading services list") {
            next.rereadFirst = true;
            complete = passes.size();
        }
        if (line.text == L"\tService is disabled. Ignoring!") next.disabled = true;
        if (line.text == L"Service check commencing") passes.push_back(std::exchange(next, Pass{}));
        if (line.text == L"Service: " + name && !passes.empty()) passes.back().checked = true;
    }
    // The stop can come in the middle of the last pass, before it reaches the service.
    passes.resize(complete);
    ASSERT_GE(passes.size(), 4u);
    EXPECT_FALSE(passes[0].rereadFirst);
    EXPECT_TRUE(passes[0].checked);
    size_t firstDisabled = passes.size();
    for (size_t i = 1; i < passes.size(); ++i) {
        EXPECT_TRUE(passes[i].rereadFirst) << i;
        EXPECT_NE(passes[i].disabled, passes[i].checked) << i;
        if (passes[i].disabled && firstDisabled == passes.size()) firstDisabled = i;
    }
    ASSERT_LT(firstDisabled, passes.size());
    EXPECT_TRUE(passes.back().checked);
}
