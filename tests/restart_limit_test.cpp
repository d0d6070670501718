// --restart-limit: the hold arithmetic and a crashing fixture under the monitor's passes, both
// in-process on a clock of the test's own; and the crashing fixture end to end by tendro.exe.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/monitor.h"
#include "common/handle.h"
#include "common/text.h"
#include "log/log.h"
#include "policy/restart_limit.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class TestClock final : public PolicyClock {
public:
    uint64_t now = 5'000'000'000ull;
    uint64_t NowMs() override { return now; }
    void Sleep(uint32_t milliseconds) override { now += milliseconds; }
    void At(uint64_t seconds) { now = 5'000'000'000ull + seconds * 1000; }
};

std::wstring HeldFor(const std::wstring& name, int count, int window, int hold) {
    return FormatText(L"Service %s failed %d times within %d seconds; restarts held for %d seconds",
                      name.c_str(), count, window, hold);
}
std::wstring HeldMore(const std::wstring& name, int seconds) {
    return FormatText(L"Restarts of service %s are held for %d more seconds", name.c_str(), seconds);
}

class RestartLimitHolds : public LoggingTest {
protected:
    RestartLimitHolds() : policy_({3, 30}, clock_) {}

    // A failure response due at `seconds`: true when it ran (it was not held).
    bool DueAt(uint64_t seconds, ServiceControl& service) {
        clock_.At(seconds);
        policy_.Observe(ServiceFound{service, SERVICE_STOPPED, true, DownCause::Stopped, false});
        if (policy_.HoldFailureResponse(service)) return false;
        policy_.Observe(ResponseEnded{settings_, service, none_, none_});
        return true;
    }
    bool DueAt(uint64_t seconds) { return DueAt(seconds, web_); }
    // A pass at `seconds` that finds the service up.
    void UpAt(uint64_t seconds) {
        clock_.At(seconds);
        policy_.Observe(ServiceFound{web_, SERVICE_RUNNING, false, DownCause::Stopped, false});
    }
    // The crash loop from `start`: three responses 5 s apart, then a held one; the hold's
    // length as the message gives it, -1 when there was none.
    int LoopFrom(uint64_t start) {
        log_.Clear();
        for (uint64_t t = start; t < start + 15; t += 5)
            if (!DueAt(t)) return -1;
        if (DueAt(start + 15)) return -1;
        return HoldIn(3);
    }
    // On probation from `end` (the end of the last hold): the try, then a held response 5 s
    // later; the hold's length, -1 when there was none.
    int TryFrom(uint64_t end) {
        log_.Clear();
        if (!DueAt(end)) return -1;
        if (DueAt(end + 5)) return -1;
        return HoldIn(1);
    }
    // The length of the hold that the only line of the log begins, with `count` responses.
    int HoldIn(int count) {
        auto lines = log_.Lines();
        for (int hold : {30, 60, 120, 240, 480, 960, 1920, 3600})
            if (lines.size() == 1 && lines.back().text == HeldFor(L"web", count, 30, hold)) return hold;
        return -1;
    }

    TestClock clock_;
    RestartLimitPolicy policy_;
    CmdLineParser settings_;
    const std::vector<std::wstring> none_;  // a response's stopped and started services
    ServiceControl web_{SharedScHandle(), SharedToken(), L"web", 1};
    CapturedLog log_;
};

}  // namespace

TEST_F(RestartLimitHolds, TheNextResponseAfterNWithinTheWindowIsHeldUntilTheHoldEnds) {
    EXPECT_TRUE(DueAt(0));
    EXPECT_TRUE(DueAt(5));
    EXPECT_TRUE(DueAt(10));
    EXPECT_FALSE(DueAt(15));
    EXPECT_FALSE(DueAt(16));
    clock_.now += 500;  // a part of a second counts as a whole one
    EXPECT_TRUE(policy_.HoldFailureResponse(web_));
    EXPECT_FALSE(DueAt(44));
    EXPECT_TRUE(DueAt(45));  // the hold has ended: the try
    EXPECT_THAT(log_.Lines(), ElementsAre(Err(HeldFor(L"web", 3, 30, 30)), Err(HeldMore(L"web", 29)),
                                          Err(HeldMore(L"web", 29)), Err(HeldMore(L"web", 1))));
}

TEST_F(RestartLimitHolds, OnProbationTheResponseAfterTheTryIsHeldAtOnce) {
    ASSERT_EQ(LoopFrom(0), 30);  // held 15..45
    log_.Clear();
    EXPECT_TRUE(DueAt(45));      // the try
    UpAt(46);
    EXPECT_FALSE(DueAt(74));     // within 30 s of the hold's end: one response, the try's
    EXPECT_FALSE(DueAt(133));
    EXPECT_TRUE(DueAt(134));     // the next try
    EXPECT_FALSE(DueAt(163));
    EXPECT_THAT(log_.Lines(), ElementsAre(Err(HeldFor(L"web", 1, 30, 60)), Err(HeldMore(L"web", 1)),
                                          Err(HeldFor(L"web", 1, 30, 120))));
}

TEST_F(RestartLimitHolds, ResponsesThatFallOutOfTheWindowDoNotCount) {
    for (uint64_t t = 0; t <= 300; t += 15) EXPECT_TRUE(DueAt(t)) << t;  // two per 30 s at most
    // The window is the last 30 s: at 330 the response of 300 has just left it.
    EXPECT_TRUE(DueAt(315));
    EXPECT_TRUE(DueAt(329));
    EXPECT_TRUE(DueAt(330));
    EXPECT_FALSE(DueAt(344));
    EXPECT_THAT(log_.Lines(), ElementsAre(Err(HeldFor(L"web", 3, 30, 30))));
}

TEST_F(RestartLimitHolds, HoldsThatFollowWithinTheWindowDoubleUpToAnHour) {
    // Each try comes when the last hold has ended, so each hold follows within 30 s.
    std::vector<int> holds{LoopFrom(0)};
    uint64_t end = 15 + 30;
    for (int i = 1; i < 10; ++i) {
        ASSERT_GT(holds.back(), 0) << i;
        holds.push_back(TryFrom(end));
        end += 5 + static_cast<uint64_t>(holds.back());
    }
    EXPECT_EQ(holds, (std::vector<int>{30, 60, 120, 240, 480, 960, 1920, 3600, 3600, 3600}));
}

TEST_F(RestartLimitHolds, ALaterHoldKeepsTheLastLengthUntilTheServiceStaysUp) {
    ASSERT_EQ(LoopFrom(0), 30);    // held 15..45
    ASSERT_EQ(TryFrom(45), 60);    // held 50..110
    // Failures spread out after the hold: none but the try within 30 s of its end, yet never
    // up long: the count of 3 applies again, the try already out of the window.
    log_.Clear();
    EXPECT_TRUE(DueAt(110));
    UpAt(130);
    EXPECT_TRUE(DueAt(140));       // 30 s after the hold's end: the probation is over
    EXPECT_TRUE(DueAt(150));
    EXPECT_TRUE(DueAt(160));
    EXPECT_FALSE(DueAt(165));
    EXPECT_THAT(log_.Lines(), ElementsAre(Err(HeldFor(L"web", 3, 30, 60))));
}

TEST_F(RestartLimitHolds, AServiceUpForTheWindowAfterAHoldIsForgiven) {
    ASSERT_EQ(LoopFrom(0), 30);    // held 15..45
    ASSERT_EQ(TryFrom(45), 60);    // held 50..110
    EXPECT_TRUE(DueAt(110));       // the try; it stays up
    UpAt(111);
    UpAt(130);
    UpAt(141);                     // 30 s after the first pass that found it up
    ASSERT_EQ(LoopFrom(200), 30);  // a fresh count and a fresh hold length: held 215..245
    ASSERT_EQ(TryFrom(245), 60);   // held 250..310
    // Up during the hold does not count, only up after its end (started from outside here).
    UpAt(251);
    UpAt(309);
    UpAt(339);
    ASSERT_EQ(LoopFrom(341), 60);  // not forgiven: the last length
}

TEST_F(RestartLimitHolds, EachServiceIsCountedOnItsOwnByNameWithoutCase) {
    ServiceControl db(SharedScHandle(), SharedToken(), L"db", 1);
    ServiceControl webUpper(SharedScHandle(), SharedToken(), L"WEB", 1);
    EXPECT_TRUE(DueAt(0));
    EXPECT_TRUE(DueAt(1, db));
    EXPECT_TRUE(DueAt(2, webUpper));
    EXPECT_TRUE(DueAt(3, db));
    EXPECT_TRUE(DueAt(4));
    EXPECT_FALSE(DueAt(5, webUpper));
    EXPECT_TRUE(DueAt(6, db));
    EXPECT_FALSE(DueAt(7, db));
    EXPECT_THAT(log_.Lines(), ElementsAre(Err(HeldFor(L"WEB", 3, 30, 30)), Err(HeldFor(L"db", 3, 30, 30))));
}

TEST_F(RestartLimitHolds, AWindowOverAnHourIsNeverShortened) {
    RestartLimitPolicy longWindow({1, 7200}, clock_);
    auto due = [&](uint64_t seconds) {
        clock_.At(seconds);
        if (longWindow.HoldFailureResponse(web_)) return false;
        longWindow.Observe(ResponseEnded{settings_, web_, none_, none_});
        return true;
    };
    EXPECT_TRUE(due(0));
    EXPECT_FALSE(due(1));        // held 1..7201
    EXPECT_TRUE(due(7201));
    EXPECT_FALSE(due(7202));     // within the window of the end: doubled, but not past the 7200
    EXPECT_THAT(log_.Lines(), ElementsAre(Err(HeldFor(L"web", 1, 7200, 7200)),
                                          Err(HeldFor(L"web", 1, 7200, 7200))));
}

namespace {

// The output of a running tendro.exe, each line with the tick count at which it was seen.
class TimedLog {
public:
    explicit TimedLog(RunningProgram& program) : program_(program) {}

    // Waits until `count` lines have exactly `text` (word aside); false when the time is up.
    bool WaitFor(const std::wstring& text, int count, DWORD timeoutMs) {
        const DWORD begin = ::GetTickCount();
        for (;;) {
            Poll();
            if (Count(text) >= count) return true;
            if (::GetTickCount() - begin >= timeoutMs) return false;
            ::Sleep(100);
        }
    }
    int Count(const std::wstring& text) const {
        int n = 0;
        for (const auto& line : lines_) n += line.text == text ? 1 : 0;
        return n;
    }
    // Index of the first line with `text` at or after `from`; -1 when there is none.
    int Find(const std::wstring& text, size_t from = 0) const { return FindText(lines_, text, from); }
    DWORD TickOf(int index) const { return ticks_[static_cast<size_t>(index)]; }
    const std::vector<LogLine>& Lines() const { return lines_; }
    std::vector<LogLine> Between(int from, int to) const {
        return std::vector<LogLine>(lines_.begin() + from, lines_.begin() + to);
    }

    void Poll() {
        std::wstring text = program_.OutputSoFar();
        size_t end = text.rfind(L'\n');
        if (end == std::wstring::npos) return;
        auto all = ParseLog(SplitLines(text.substr(0, end + 1)));
        const DWORD now = ::GetTickCount();
        for (size_t i = lines_.size(); i < all.size(); ++i) {
            lines_.push_back(all[i]);
            ticks_.push_back(now);
        }
    }

private:
    RunningProgram& program_;
    std::vector<LogLine> lines_;
    std::vector<DWORD> ticks_;
};

// Replaces the fixture arguments of a registered fixture service (from its next start on).
void SetFixtureArguments(const std::wstring& name, const std::vector<std::wstring>& arguments) {
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_TRUE(scm);
    ScHandle service(::OpenServiceW(scm.get(), name.c_str(), SERVICE_CHANGE_CONFIG));
    ASSERT_TRUE(service);
    std::wstring path = L"\"" + ProgramPath(L"svcfixture.exe") + L"\" --name " + name;
    for (const auto& argument : arguments) path += L" " + argument;
    ASSERT_TRUE(::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       SERVICE_NO_CHANGE, path.c_str(), nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr));
}

int Starts(const std::vector<LogLine>& lines, const std::wstring& name) {
    return CountLines(lines, L"Info", L"Starting service " + name);
}

// The passes of a hold, up to the stop that begins the try: each reports the service down and
// the hold and responds no further; the last, the try's, reports it down. The count of downs.
int ExpectHeldPasses(const std::vector<LogLine>& held, const std::wstring& name) {
    const LogLine down{L"Err!", L"Service or process is down"};
    EXPECT_EQ(ServiceOperations(held), std::vector<std::wstring>{});
    int more = 0;
    for (size_t i = 0; i < held.size(); ++i)
        if (held[i].text.rfind(L"Restarts of service " + name + L" are held for ", 0) == 0) {
            ++more;
            EXPECT_TRUE(i >= 1 && held[i - 1] == down) << i;
        }
    const int downs = CountLines(held, down.word, down.text);
    EXPECT_EQ(more + 1, downs);
    return downs;
}

// A fixture that crashes 1.5 s after each start (a group restart and its crash: about 2 s).
const std::vector<std::wstring> kCrashes{L"--exit-after", L"1500"};

// The monitor's passes over real fixture services, one a second on the test's clock; while the
// fixture crashes, each pass first waits for its crash (as -f 1 would on a real clock).
class RestartLimitLoop : public LoggingTest {
protected:
    static constexpr int kWindow = 20;

    RestartLimitLoop() : crasher_(kCrashes), policy_({3, kWindow}, clock_) {}

    void SetUp() override {
        LoggingTest::SetUp();
        Verbosity = LogInfo;  // -v: the stops and starts
        ASSERT_TRUE(healthy_.Start());
        settings_.specifiedServices = {crasher_.Name(), healthy_.Name()};
        ASSERT_TRUE(settings_.ConnectServiceManagers(connections_));
        ASSERT_EQ(settings_.ValidateServices(connections_, strikes_, services_), 1);
        log_.Clear();
    }

    void Pass() {
        if (crashing_) { ASSERT_TRUE(crasher_.WaitForState(SERVICE_STOPPED, 20000)); }
        clock_.now += 1000;
        RunMonitorPass(settings_, connections_, strikes_, services_, first_, policy_);
        first_ = false;
        lines_ = log_.Lines();
        times_.resize(lines_.size(), clock_.now);
    }
    // Passes until `count` lines have `text`; false when `passes` did not bring them.
    bool PassUntil(const std::wstring& text, int count, int passes) {
        for (int i = 0; i < passes && !HasFatalFailure(); ++i) {
            Pass();
            if (CountLines(lines_, L"Info", text) + CountLines(lines_, L"Err!", text) >= count)
                return true;
        }
        return false;
    }
    int Find(const std::wstring& text, size_t from = 0) const { return FindText(lines_, text, from); }
    std::vector<LogLine> Between(int from, int to) const {
        return std::vector<LogLine>(lines_.begin() + from, lines_.begin() + to);
    }
    uint64_t TimeOf(int index) const { return times_[static_cast<size_t>(index)]; }
    std::string Output() const {
        std::wstring text;
        for (const auto& line : lines_) text += line.word + L": " + line.text + L"\n";
        return ToNarrow(text);
    }

    TestService crasher_, healthy_;
    TestClock clock_;
    RestartLimitPolicy policy_;
    CmdLineParser settings_;
    Connections connections_;
    StrikeCounts strikes_;
    ServiceObjects services_;
    CapturedLog log_;
    bool crashing_ = true, first_ = true;
    std::vector<LogLine> lines_;
    std::vector<uint64_t> times_;  // the test clock at the pass of each line
};

}  // namespace

TEST_F(RestartLimitLoop, ACrashLoopIsHeldLongerEachTimeAndForgivenOnceItStaysUp) {
    const std::wstring name = crasher_.Name();
    // Three group restarts, then the first hold; no restart until it has ended. Then one
    // group restart, the try; its crash is held at once, twice as long.
    const std::wstring first = HeldFor(name, 3, kWindow, kWindow);
    ASSERT_TRUE(PassUntil(first, 1, 10)) << Output();
    const std::wstring second = HeldFor(name, 1, kWindow, 2 * kWindow);
    ASSERT_TRUE(PassUntil(second, 1, kWindow + 5)) << Output();
    // From now on the service comes up and stays up: the try after the second hold restarts it.
    SetFixtureArguments(name, {});
    crashing_ = false;
    const int hold2 = Find(second);
    ASSERT_TRUE(PassUntil(L"Starting service " + name, Starts(lines_, name) + 1, 2 * kWindow + 5));
    const int afterHold2 = Find(L"Stopping service " + name, hold2);
    // Up for the window, counted from the first pass after the try.
    for (int i = 0; i <= kWindow; ++i) Pass();
    EXPECT_EQ(crasher_.State(), DWORD{SERVICE_RUNNING});
    const int forgiven = static_cast<int>(lines_.size());
    EXPECT_EQ(Starts(Between(afterHold2, forgiven), name), 1);
    // Forgiven: a new crash loop gets three restarts and a first-length hold again.
    SetFixtureArguments(name, kCrashes);
    ASSERT_TRUE(crasher_.StopFromOutside());
    crashing_ = true;
    ASSERT_TRUE(PassUntil(first, 2, 10)) << Output();

    const int hold1 = Find(first);
    const int afterHold1 = Find(L"Stopping service " + name, hold1);
    const int hold3 = Find(first, hold1 + 1);
    ASSERT_GT(afterHold1, hold1);
    ASSERT_GT(hold2, afterHold1);
    ASSERT_GT(hold3, forgiven);
    // The whole group restarted three times before a hold of a fresh count, once (the try)
    // between the first hold and the second.
    for (const std::wstring& service : {name, healthy_.Name()}) {
        EXPECT_EQ(Starts(Between(0, hold1), service), 3) << ToNarrow(service);
        EXPECT_EQ(Starts(Between(hold1, hold2), service), 1) << ToNarrow(service);
        EXPECT_EQ(Starts(Between(forgiven, hold3), service), 3) << ToNarrow(service);
    }
    // While held, one pass a second; the try comes with the first pass after the hold.
    EXPECT_EQ(ExpectHeldPasses(Between(hold1 + 1, afterHold1), name), kWindow);
    EXPECT_EQ(TimeOf(afterHold1) - TimeOf(hold1), kWindow * 1000u);
    EXPECT_EQ(TimeOf(afterHold2) - TimeOf(hold2), 2 * kWindow * 1000u);
    EXPECT_EQ(healthy_.State(), DWORD{SERVICE_RUNNING});
}

// tendro.exe with --restart-limit=1/10 on a real clock: held 10 s, every pass meanwhile reports
// and responds no further, the try comes when the hold ends; its crash is held twice as long.
TEST(RestartLimit, TendroHoldsACrashLoopAndTriesWhenTheHoldEnds) {
    constexpr int kWindow = 10;
    TestService crasher(kCrashes), healthy;
    ASSERT_TRUE(healthy.Start());
    const std::wstring name = crasher.Name();
    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-v", L"-f", L"1", FormatText(L"--restart-limit=1/%d", kWindow), L"-s",
                           name, L"-s", healthy.Name()});
    TimedLog log(tendro);
    const DWORD windowMs = kWindow * 1000;

    const std::wstring first = HeldFor(name, 1, kWindow, kWindow);
    ASSERT_TRUE(log.WaitFor(first, 1, 60000)) << tendro.OutputSoFar();
    // The try restarts the group; its crash is held at once, twice as long.
    ASSERT_TRUE(log.WaitFor(HeldFor(name, 1, kWindow, 2 * kWindow), 1, windowMs + 30000))
        << tendro.OutputSoFar();
    tendro.Stop();

    const int hold1 = log.Find(first);
    const int afterHold1 = log.Find(L"Stopping service " + name, hold1);
    ASSERT_GT(afterHold1, hold1);
    for (const std::wstring& service : {name, healthy.Name()})
        EXPECT_EQ(Starts(log.Between(0, hold1), service), 1) << ToNarrow(service);
    EXPECT_GE(ExpectHeldPasses(log.Between(hold1 + 1, afterHold1), name), kWindow / 3);
    const DWORD gap1 = log.TickOf(afterHold1) - log.TickOf(hold1);
    EXPECT_GE(gap1, windowMs - 500);
    EXPECT_LT(gap1, windowMs + 8000);
    EXPECT_EQ(healthy.State(), DWORD{SERVICE_RUNNING});
}

// With -o a pass responds at most once per service: the limit never changes the exit code.
TEST(RestartLimit, ARunOnceEndsWithItsUsualExitCode) {
    TestService down, up;
    ASSERT_TRUE(up.Start());
    RunResult r = RunTendro({L"-o", L"--restart-limit=1/600", L"-s", down.Name(), L"-s", up.Name()});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(down.State(), DWORD{SERVICE_RUNNING});
}
