// The process limits: the one-second CPU sample, the strikes against -m and -c, the grace
// count and the termination, measured on real fixture service processes. The CPU sample's
// times come from a scripted source, because Wine reports no CPU time for other processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <regex>

#include "app/process_limits.h"
#include "app/startup.h"
#include "common/text.h"
#include "log/log.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

// Times and clock readings handed out in order; a missing times entry is a failed reading.
class ScriptedCpu final : public CpuSampleSource {
public:
    struct Times {
        uint64_t kernel;
        uint64_t user;
    };
    std::deque<std::optional<Times>> times;
    std::deque<uint32_t> clock;
    std::vector<uint32_t> pauses;

    ScriptedCpu() { SetCpuSampleSource(this); }
    ~ScriptedCpu() override { SetCpuSampleSource(nullptr); }

    // One sample of `cpuMs` milliseconds of CPU time (split between kernel and user) over
    // `elapsedMs` milliseconds.
    void AddSample(uint64_t cpuMs, uint32_t elapsedMs = 1000) {
        uint64_t start = next_;
        next_ += cpuMs * 10000;
        times.push_back(Times{start / 2, start - start / 2});
        times.push_back(Times{start / 2 + (next_ - start) / 3,
                              start - start / 2 + (next_ - start) - (next_ - start) / 3});
        clock.push_back(clock_);
        clock_ += elapsedMs;
        clock.push_back(clock_);
        clock_ += 5000;
    }

    bool ReadProcessTimes(HANDLE, uint64_t& kernel, uint64_t& user) override {
        if (times.empty()) return false;
        std::optional<Times> reading = times.front();
        times.pop_front();
        if (!reading) return false;
        kernel = reading->kernel;
        user = reading->user;
        return true;
    }
    uint32_t Milliseconds() override {
        if (clock.empty()) return clock_;
        uint32_t value = clock.front();
        clock.pop_front();
        return value;
    }
    void Pause(uint32_t milliseconds) override { pauses.push_back(milliseconds); }

private:
    uint64_t next_ = 123456789;
    uint32_t clock_ = 40000;
};

class ProcessLimits : public ::testing::Test {
protected:
    void SetUp() override {
        SetupLevelWords();
        Verbosity = LogInfo;
    }
    void TearDown() override { Verbosity = 0; }

    // A ServiceControl of `service` opened through the local service manager.
    static ServiceControl Control(const TestService& service) {
        return ServiceControl(MakeSharedScHandle(::OpenSCManagerW(nullptr, nullptr,
                                                                  SC_MANAGER_CONNECT)),
                              SharedToken(), service.Name(), 1);
    }

    CmdLineParser settings;
    StrikeCounts strikes;
};

}  // namespace

TEST(CpuSample, LoadIsTheGrowthOfKernelAndUserTimeOverTheElapsedTime) {
    ServiceControl nowhere(SharedScHandle(), SharedToken(), L"TendroNoSuchService", 1);
    CapturedLog log;
    ScriptedCpu cpu;
    cpu.AddSample(500);
    EXPECT_FLOAT_EQ(MeasureCpuLoad(nowhere), 50.0f);
    EXPECT_THAT(cpu.pauses, ElementsAre(1000u));
    cpu.AddSample(2000);  // two processors kept busy
    EXPECT_FLOAT_EQ(MeasureCpuLoad(nowhere), 200.0f);
    cpu.AddSample(732, 999);
    EXPECT_FLOAT_EQ(MeasureCpuLoad(nowhere), static_cast<float>(732 * 100.0 / 999));
    // Kernel and user times in 100 ns units; only whole milliseconds of their growth count.
    cpu.times = {ScriptedCpu::Times{0, 0}, ScriptedCpu::Times{9999, 19999}};
    cpu.clock = {100, 1100};
    EXPECT_FLOAT_EQ(MeasureCpuLoad(nowhere), 0.2f);
}

TEST(CpuSample, MillisecondCounterWrapDoesNoHarm) {
    ServiceControl nowhere(SharedScHandle(), SharedToken(), L"TendroNoSuchService", 1);
    CapturedLog log;
    ScriptedCpu cpu;
    cpu.times = {ScriptedCpu::Times{0, 0}, ScriptedCpu::Times{0, 7500000}};
    cpu.clock = {0xFFFFFF00u, 1500 - 0x100};  // 1500 ms across the wrap
    EXPECT_FLOAT_EQ(MeasureCpuLoad(nowhere), 50.0f);
}

TEST(CpuSample, UnmeasurableWhenTimesFailOrNoTimePassed) {
    ServiceControl nowhere(SharedScHandle(), SharedToken(), L"TendroNoSuchService", 1);
    CapturedLog log;
    ScriptedCpu cpu;
    // First reading fails: no pause at all.
    cpu.times = {std::nullopt};
    EXPECT_FLOAT_EQ(MeasureCpuLoad(nowhere), -1.0f);
    EXPECT_THAT(cpu.pauses, IsEmpty());
    // Second reading fails.
    cpu.times = {ScriptedCpu::Times{0, 0}, std::nullopt};
    EXPECT_FLOAT_EQ(MeasureCpuLoad(nowhere), -1.0f);
    // Elapsed time zero.
    cpu.times = {ScriptedCpu::Times{0, 0}, ScriptedCpu::Times{10000000, 0}};
    cpu.clock = {777, 777};
    EXPECT_FLOAT_EQ(MeasureCpuLoad(nowhere), -1.0f);
    // The system's own reading of a process that does not exist.
    SetCpuSampleSource(nullptr);
    EXPECT_FLOAT_EQ(MeasureCpuLoad(nowhere), -1.0f);
}

TEST_F(ProcessLimits, CpuStrikesAddUpOverPassesAndKillAfterTheGraceCount) {
    TestService service;
    ASSERT_TRUE(service.Start());
    ServiceControl control = Control(service);
    const std::wstring pid = std::to_wstring(service.Pid());
    settings.cpuThreshold = 50;
    settings.ignoreIntervals = 2;
    strikes[service.Name()] = 0;

    CapturedLog log;
    ScriptedCpu cpu;
    std::vector<bool> decisions;
    for (uint64_t cpuMs : {1000, 100, 500, 1000, 1500}) {
        cpu.AddSample(cpuMs);
        decisions.push_back(CheckProcessLimits(settings, strikes, control));
    }
    // 100% strike, 10% none, exactly 50% none, then strikes two and three: the third kills.
    EXPECT_THAT(decisions, ElementsAre(false, false, false, false, true));
    EXPECT_EQ(strikes[service.Name()], 3);
    auto lines = log.Lines();
    EXPECT_THAT(lines, ElementsAre(LogLine{L"Info", L"    Load:    100.00%"},
                                   LogLine{L"Err!", L"Process " + pid + L" hit CPU threshold of 50% 1 times"},
                                   LogLine{L"Info", L"    Load:    10.00%"},
                                   LogLine{L"Info", L"    Load:    50.00%"},
                                   LogLine{L"Info", L"    Load:    100.00%"},
                                   LogLine{L"Err!", L"Process " + pid + L" hit CPU threshold of 50% 2 times"},
                                   LogLine{L"Info", L"    Load:    150.00%"},
                                   LogLine{L"Err!", L"Process " + pid + L" hit CPU threshold of 50% 3 times"}));
}

TEST_F(ProcessLimits, ZeroThresholdCountsAnyCpuUseButNotIdleOrUnmeasured) {
    TestService service;
    ASSERT_TRUE(service.Start());
    ServiceControl control = Control(service);
    settings.cpuThreshold = 0;
    settings.ignoreIntervals = 5;

    CapturedLog log;
    ScriptedCpu cpu;
    cpu.AddSample(0);
    EXPECT_FALSE(CheckProcessLimits(settings, strikes, control));
    cpu.times = {std::nullopt};
    EXPECT_FALSE(CheckProcessLimits(settings, strikes, control));
    EXPECT_EQ(strikes[service.Name()], 0);
    cpu.AddSample(1);
    EXPECT_FALSE(CheckProcessLimits(settings, strikes, control));
    EXPECT_EQ(strikes[service.Name()], 1);
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, L"    Load:    0.00%");
    EXPECT_EQ(lines[1].text, L"    Load:    -1.00%");
    EXPECT_EQ(lines[2].text, L"    Load:    0.10%");
}

TEST_F(ProcessLimits, QuietModeShowsOnlyTheHits) {
    TestService service({L"--memory", L"8"});
    ASSERT_TRUE(service.Start());
    ServiceControl control = Control(service);
    settings.cpuThreshold = 10;
    settings.memoryThreshold = 1;
    settings.ignoreIntervals = 9;
    for (uint32_t verbosity : {LogError, LogInit}) {
        Verbosity = verbosity;
        CapturedLog log;
        ScriptedCpu cpu;
        cpu.AddSample(800);
        EXPECT_FALSE(CheckProcessLimits(settings, strikes, control));
        for (const auto& line : log.Lines()) EXPECT_EQ(line.word, L"Err!") << line.text;
        EXPECT_EQ(log.Lines().size(), 2u);
    }
}

TEST_F(ProcessLimits, MemoryAndCpuShareOneCountAndKillInTheSamePass) {
    TestService service({L"--memory", L"24"});
    ASSERT_TRUE(service.Start());
    ServiceControl control = Control(service);
    const std::wstring pid = std::to_wstring(service.Pid());
    settings.memoryThreshold = 16;
    settings.cpuThreshold = 90;
    settings.ignoreIntervals = 1;
    strikes[service.Name()] = 0;

    CapturedLog log;
    ScriptedCpu cpu;
    cpu.AddSample(1000);
    EXPECT_TRUE(CheckProcessLimits(settings, strikes, control));
    EXPECT_EQ(strikes[service.Name()], 2);
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].word, L"Info");
    EXPECT_TRUE(std::regex_match(lines[0].text, std::wregex(LR"(    Memory:  \d+\.\d\dMB)")));
    EXPECT_GE(std::stod(lines[0].text.substr(13)), 24.0);
    EXPECT_EQ(lines[1].word, L"Info");
    EXPECT_TRUE(std::regex_match(lines[1].text, std::wregex(LR"(    Threads: [1-9]\d*)")));
    EXPECT_EQ(lines[2], (LogLine{L"Err!", L"Process " + pid + L" hit memory threshold of 16MB limit 1 times"}));
    EXPECT_EQ(lines[3], (LogLine{L"Info", L"    Load:    100.00%"}));
    EXPECT_EQ(lines[4], (LogLine{L"Err!", L"Process " + pid + L" hit CPU threshold of 90% 2 times"}));
}

TEST_F(ProcessLimits, MemoryUnderOrAtThresholdAndUnreadableMemoryAreNoStrike) {
    TestService small;
    ASSERT_TRUE(small.Start());
    TestService stopped;
    ServiceControl running = Control(small);
    ServiceControl notRunning = Control(stopped);
    settings.memoryThreshold = 0;

    CapturedLog log;
    // The stopped service has no process: reading -1 bytes, no threads, no strike at 0 MB.
    EXPECT_FALSE(CheckProcessLimits(settings, strikes, notRunning));
    EXPECT_EQ(strikes[stopped.Name()], 0);
    EXPECT_THAT(log.Lines(), ElementsAre(LogLine{L"Info", L"    Memory:  -0.00MB"},
                                         LogLine{L"Info", L"    Threads: 0"}));
    log.Clear();
    settings.memoryThreshold = 4096;
    EXPECT_FALSE(CheckProcessLimits(settings, strikes, running));
    EXPECT_EQ(strikes[small.Name()], 0);
    settings.memoryThreshold = 0;
    EXPECT_TRUE(CheckProcessLimits(settings, strikes, running));
    EXPECT_EQ(strikes[small.Name()], 1);
}

TEST_F(ProcessLimits, TerminationEndsTheMonitoredProcess) {
    TestService service;
    ASSERT_TRUE(service.Start());
    ServiceControl control = Control(service);
    DWORD pid = service.Pid();
    Handle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    ASSERT_TRUE(process);

    CapturedLog log;
    TerminateMonitoredProcess(control);
    EXPECT_EQ(::WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    const std::wstring id = std::to_wstring(pid);
    EXPECT_THAT(log.Lines(), ElementsAre(LogLine{L"Err!", L"Process " + id + L" will be terminated"},
                                         LogLine{L"Info", L"Killing process " + id}));
}

TEST_F(ProcessLimits, TerminationOfAMissingProcessIsReported) {
    TestService stopped;
    ServiceControl control = Control(stopped);
    ::SetLastError(0);
    Handle none(::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(-1)));
    ASSERT_FALSE(none);
    const std::wstring reason = WindowsErrorText(::GetLastError());

    Verbosity = LogError;
    CapturedLog log;
    TerminateMonitoredProcess(control);
    EXPECT_THAT(log.Lines(), ElementsAre(LogLine{L"Err!", L"Process -1 will be terminated"},
                                         LogLine{L"Err!", L"Unable terminate process!"},
                                         LogLine{L"Err!", reason}));
}

// tendro.exe measuring fixture services. Wine reports no CPU time for other processes, so
// end to end the CPU check shows a load of 0 and never strikes.
TEST(ProcessLimitsEndToEnd, LocalServiceIsMeasuredRemoteServiceNever) {
    TestService local, remote;
    ASSERT_TRUE(local.Start());
    ASSERT_TRUE(remote.Start());
    const std::wstring pid = std::to_wstring(local.Pid());
    // Wine reports little or no processor time for another process, but now and then a
    // fixture that has just started shows a percent or so: -c 50 is never hit by that.
    RunResult r = RunTendro({L"-v", L"-o", L"-m", L"0", L"-c", L"50", L"-i", L"5", L"-s",
                             local.Name(), L"-s", remote.RemoteName()});
    ASSERT_EQ(r.exitCode, 0u);
    auto lines = ParseLog(r.out);
    int at = FindText(lines, L"    PID: " + pid);
    ASSERT_GE(at, 0) << ToNarrow(r.outText);
    ASSERT_GE(lines.size(), static_cast<size_t>(at) + 6);
    EXPECT_EQ(lines[at + 1].text.substr(0, 13), L"    Memory:  ");
    EXPECT_EQ(lines[at + 2].text.substr(0, 13), L"    Threads: ");
    EXPECT_EQ(lines[at + 3], (LogLine{L"Err!", L"Process " + pid + L" hit memory threshold of 0MB limit 1 times"}));
    EXPECT_EQ(lines[at + 4].word, L"Info");
    EXPECT_EQ(lines[at + 4].text.substr(0, 13), L"    Load:    ");
    EXPECT_EQ(lines[at + 5], (LogLine{L"Info", L"Service: " + remote.RemoteName()}));
    int memoryLines = 0, loadLines = 0;
    for (const auto& line : lines) {
        memoryLines += line.text.rfind(L"    Memory:", 0) == 0 ? 1 : 0;
        loadLines += line.text.rfind(L"    Load:", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(memoryLines, 1);
    EXPECT_EQ(loadLines, 1);
    EXPECT_TRUE(ServiceOperations(lines).empty());
}

TEST(ProcessLimitsEndToEnd, MemoryHogIsTerminatedAfterTheGraceCountThenTheGroupResponds) {
    TestService hog({L"--memory", L"48"});
    ASSERT_TRUE(hog.Start());
    const DWORD pid = hog.Pid();
    Handle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    ASSERT_TRUE(process);
    const std::wstring id = std::to_wstring(pid);

    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-v", L"-f", L"0", L"-m", L"32", L"-i", L"2", L"-s", hog.Name()});
    ASSERT_TRUE(tendro.WaitForOutput(L"will be terminated", 60000)) << tendro.OutputSoFar();
    EXPECT_EQ(::WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(tendro.WaitForOutput(L"Stopping service " + hog.Name(), 20000));
    RunResult r = tendro.Stop();
    auto lines = ParseLog(r.out);

    std::vector<LogLine> hits;
    for (const auto& line : lines)
        if (line.text.find(L" hit ") != std::wstring::npos || line.text.find(L"terminated") != std::wstring::npos ||
            line.text.rfind(L"Killing", 0) == 0 || line.text.rfind(L"Stopping", 0) == 0)
            hits.push_back(line);
    const std::wstring hit = L"Process " + id + L" hit memory threshold of 32MB limit ";
    ASSERT_GE(hits.size(), 6u);
    EXPECT_THAT(std::vector<LogLine>(hits.begin(), hits.begin() + 6),
                ElementsAre(LogLine{L"Err!", hit + L"1 times"}, LogLine{L"Err!", hit + L"2 times"},
                            LogLine{L"Err!", hit + L"3 times"},
                            LogLine{L"Err!", L"Process " + id + L" will be terminated"},
                            LogLine{L"Info", L"Killing process " + id},
                            LogLine{L"Info", L"Stopping service " + hog.Name()}));
    // The kill was the only failure: the service was not reported down before it.
    EXPECT_LT(FindText(lines, L"Service or process is down"), 0);
}

TEST(ProcessLimitsEndToEnd, QuietModeShowsTheHitAndTheTerminationOnly) {
    TestService hog({L"--memory", L"40"});
    ASSERT_TRUE(hog.Start());
    const std::wstring id = std::to_wstring(hog.Pid());
    Handle process(::OpenProcess(SYNCHRONIZE, FALSE, hog.Pid()));
    RunResult r = RunTendro({L"-q", L"-o", L"-m", L"24", L"-c", L"50", L"-s", hog.Name()}, 90000);
    ASSERT_FALSE(r.timedOut);
    auto lines = ParseLog(r.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], (LogLine{L"Err!", L"Process " + id + L" hit memory threshold of 24MB limit 1 times"}));
    EXPECT_EQ(lines[1], (LogLine{L"Err!", L"Process " + id + L" will be terminated"}));
    for (const auto& line : lines) EXPECT_EQ(line.word, L"Err!") << ToNarrow(line.text);
    EXPECT_EQ(::WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
}
