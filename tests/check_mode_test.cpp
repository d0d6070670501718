// --check: tendro.exe as a check program against fixture services in each state; the one
// UTF-8 line on standard output, the exit codes 0, 2 and 3, the responses named in the line,
// start-up failures as UNKNOWN, and --check without -o.
#include <algorithm>
#include <cwctype>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checkmode/check_line.h"
#include "common/text.h"
#include "log/log.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/system_text.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

struct Check {
    DWORD exitCode;
    std::wstring line;  // standard output without its line feed
    RunResult run;
};

// Runs a check (with --check first unless the arguments hold it); standard output must be
// exactly one line of UTF-8 ending in a line feed.
Check RunCheck(std::vector<std::wstring> args) {
    if (std::none_of(args.begin(), args.end(),
                     [](const std::wstring& a) { return a.starts_with(L"--check"); }))
        args.insert(args.begin(), L"--check");
    RunResult r = RunTendro(args, 90000);
    EXPECT_FALSE(r.timedOut);
    const std::string& out = r.outBytes;
    EXPECT_TRUE(!out.empty() && out.back() == '\n') << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
    EXPECT_EQ(out.find('\r'), std::string::npos) << out;
    std::string line = out.empty() ? out : out.substr(0, out.size() - 1);
    std::wstring wide = ToWide(line, CP_UTF8);
    EXPECT_EQ(ToNarrow(wide, CP_UTF8), line) << "not UTF-8";
    return {r.exitCode, wide, r};
}

std::wstring Lowercase(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

std::wstring Perf(int up, int down, int total) {
    auto n = [](int v) { return std::to_wstring(v); };
    return L" | up=" + n(up) + L";;;0;" + n(total) + L" down=" + n(down) + L";;;0;" + n(total);
}

}  // namespace

TEST(CheckMode, UpAndDownServicesGiveOkAndCritical) {
    TestService a, b;
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    Check c = RunCheck({L"-o", L"-s", a.Name(), L"-s", b.Name()});
    EXPECT_EQ(c.exitCode, 0u);
    EXPECT_EQ(c.line, L"TENDRO OK - 2 of 2 services up" + Perf(2, 0, 2));
    EXPECT_THAT(c.run.errBytes, IsEmpty());

    // Passive: the line says what the pass found and nothing is started.
    ASSERT_TRUE(b.StopFromOutside());
    c = RunCheck({L"-o", L"-p", L"-s", a.Name(), L"-s", b.Name()});
    EXPECT_EQ(c.exitCode, 2u);
    EXPECT_EQ(c.line, L"TENDRO CRITICAL - 1 of 2 services down: " + b.Name() + Perf(1, 1, 2));
    EXPECT_EQ(b.State(), DWORD{SERVICE_STOPPED});

    // With -v the log goes to standard error; standard output keeps its one line.
    c = RunCheck({L"-o", L"-v", L"-s", a.Name(), L"-s", b.Name()});
    EXPECT_EQ(c.exitCode, 2u);
    EXPECT_EQ(c.line,
              L"TENDRO CRITICAL - 1 of 2 services down: " + b.Name() + L"; group restarted" +
                  Perf(1, 1, 2));
    EXPECT_THAT(ParseLog(c.run.err), testing::Contains(LogLine{L"Init", L"Tendro Stopped"}));
    EXPECT_EQ(b.State(), DWORD{SERVICE_RUNNING});
}

TEST(CheckMode, TheLineNamesTheResponse) {
    TestService a, b, c;
    for (TestService* s : {&a, &b, &c}) ASSERT_TRUE(s->Start());
    struct Case {
        std::vector<std::wstring> options;
        std::wstring response;
        DWORD afterwards;  // b's state after the run
    };
    // (-g counts only with a value after it, as the single letters are read.)
    for (const Case& k : std::vector<Case>{
             {{}, L"group restarted", SERVICE_RUNNING},
             {{L"-g", L"1"}, L"group restarted from " + b.Name(), SERVICE_RUNNING},
             {{L"-r"}, b.Name() + L" restarted", SERVICE_RUNNING},
             {{L"-r", L"-j"}, b.Name() + L" stopped", SERVICE_STOPPED},
         }) {
        if (b.State() != SERVICE_STOPPED) {
            ASSERT_TRUE(b.StopFromOutside());
        }
        std::vector<std::wstring> args{L"-o", L"-s", a.Name(), L"-s", b.Name(), L"-s", c.Name()};
        args.insert(args.end(), k.options.begin(), k.options.end());
        Check result = RunCheck(args);
        EXPECT_EQ(result.exitCode, 2u) << k.response;
        EXPECT_EQ(result.line, L"TENDRO CRITICAL - 1 of 3 services down: " + b.Name() + L"; " +
                                   k.response + Perf(2, 1, 3));
        EXPECT_EQ(b.State(), k.afterwards) << k.response;
    }

    // Two down, the group stopped: each named once, the response once.
    ASSERT_TRUE(c.StopFromOutside());
    Check result = RunCheck({L"-o", L"-j", L"-s", a.Name(), L"-s", b.Name(), L"-s", c.Name()});
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.line, L"TENDRO CRITICAL - 2 of 3 services down: " + b.Name() + L", " +
                               c.Name() + L"; group stopped" + Perf(1, 2, 3));
    EXPECT_EQ(a.State(), DWORD{SERVICE_STOPPED});
}

TEST(CheckMode, ProcessOverItsLimitsAndNamesBeyondAscii) {
    TestService hog({L"--memory", L"96"});
    TestService other({}, StartType::Demand, L"Tendro\u00fc\u20ac");
    ASSERT_TRUE(hog.Start());
    Check c = RunCheck({L"-o", L"-r", L"-m", L"48", L"-i", L"0", L"-s", hog.Name(), L"-s",
                        other.Name()});
    EXPECT_EQ(c.exitCode, 2u);
    EXPECT_EQ(c.line, L"TENDRO CRITICAL - 1 of 2 services down: " + other.Name() +
                          L", process over its limits killed: " + hog.Name() + L" (memory); " +
                          hog.Name() + L" restarted, " + other.Name() + L" restarted" +
                          Perf(1, 1, 2));
    EXPECT_NE(c.run.outBytes.find("Tendro\xc3\xbc\xe2\x82\xac"), std::string::npos);
}

TEST(CheckMode, StartupFailuresAreUnknown) {
    TestService a, disabled({}, StartType::Disabled);
    ASSERT_TRUE(a.Start());
    const std::wstring unknown = L"TENDRO UNKNOWN - ";

    Check c = RunCheck({L"-o", L"-s", a.Name(), L"-s", Lowercase(a.Name())});
    EXPECT_EQ(c.exitCode, 3u);
    EXPECT_EQ(c.line, unknown + L"Service " + Lowercase(a.Name()) + L" has been already specified!");

    const std::wstring missing = UniqueServiceName(L"NoSuch");
    c = RunCheck({L"-o", L"-q", L"-s", a.Name(), L"-s", missing});
    EXPECT_EQ(c.exitCode, 3u);
    EXPECT_EQ(c.line, unknown + L"Cannot connect to service " + missing + L": " +
                          WindowsErrorText(ERROR_SERVICE_DOES_NOT_EXIST));

    // Validation prints the usage here: it goes where the log goes, not to standard output.
    c = RunCheck({L"-o", L"-s", a.Name(), L"-s", disabled.Name()});
    EXPECT_EQ(c.exitCode, 3u);
    EXPECT_EQ(c.line, unknown + L"Disabled service " + disabled.Name() + L" is specified!");

    // A failed connection: Wine's logon token cannot be impersonated.
    c = RunCheck({L"-o", L"-l", L"made-up-host=bob:pw@corp", L"-s", L"\\\\made-up-host\\" + a.Name()});
    EXPECT_EQ(c.exitCode, 3u);
    EXPECT_THAT(c.line, StartsWith(unknown + L"Impersonating user bob@corp failed: "));

    // An empty final list (-k drops the manual-start stopped service).
    TestService stopped;
    c = RunCheck({L"-o", L"-k", L"-s", stopped.Name()});
    EXPECT_EQ(c.exitCode, 3u);
    EXPECT_EQ(c.line, unknown + L"At least one valid service needs to be specified!");
    for (const auto& err : c.run.err) ADD_FAILURE() << "standard error: " << ToNarrow(err);
}

// Refusals before the extensions exist, whatever the order of the arguments, and --check
// without -o: the UNKNOWN line and nothing on standard error.
TEST(CheckMode, RefusalsAndNoRunOnceAreUnknown) {
    TestService stopped;
    const std::wstring noFolder = L"C:\\no-such-folder-" + stopped.Name() + L"\\t.log";
    for (const auto& [args, reason] : std::vector<std::pair<std::vector<std::wstring>, std::wstring>>{
             {{L"-o", L"--nonsense", L"--check", L"-s", stopped.Name()}, L"Unknown option --nonsense"},
             {{L"-o", L"--check=yes", L"-s", stopped.Name()}, L"Option --check takes no value: \"yes\""},
             {{L"-o", L"--probe-timeout=0", L"-s", stopped.Name()},
              L"Invalid value for option --probe-timeout: \"0\" (expected a whole number of "
              L"milliseconds from 1 to 60000)"},
             {{L"-o", L"--log-file=" + noFolder, L"-s", stopped.Name()},
              L"Invalid value for option --log-file: \"" + noFolder + L"\" (can't open it: " +
                  OneLineText(SystemMessage(ERROR_PATH_NOT_FOUND)) + L")"},
             {{L"-s", stopped.Name()}, L"--check needs -o"},
             {{L"-v", L"-f", L"1", L"-s", stopped.Name()}, L"--check needs -o"},
         }) {
        Check c = RunCheck(args);
        EXPECT_EQ(c.exitCode, 3u) << ToNarrow(reason);
        EXPECT_EQ(c.line, L"TENDRO UNKNOWN - " + reason);
        EXPECT_THAT(c.run.errBytes, IsEmpty());
    }
    EXPECT_EQ(stopped.State(), DWORD{SERVICE_STOPPED});
}

// A start in the response that fails is named in the line, in the words of the response.
TEST(CheckMode, AFailedStartIsNamed) {
    TestService db, web({L"--fail-start", L"1"});
    const std::wstring failed = L" failed: " + web.Name() + L" did not start";
    for (const auto& [option, response] : std::vector<std::pair<std::wstring, std::wstring>>{
             {L"-q", L"group restart" + failed},
             {L"-g", L"group restart from " + db.Name() + failed + L", group restart from " +
                         web.Name() + failed},
             {L"-r", db.Name() + L" restarted, " + web.Name() + L" restart" + failed},
         }) {
        if (db.State() != SERVICE_STOPPED) ASSERT_TRUE(db.StopFromOutside());
        // (-g counts only with a value after it.)
        Check c = RunCheck({L"-o", L"-s", db.Name(), L"-s", web.Name(), option, L"1"});
        EXPECT_EQ(c.exitCode, 2u);
        EXPECT_EQ(c.line, L"TENDRO CRITICAL - 2 of 2 services down: " + db.Name() + L", " +
                              web.Name() + L"; " + response + Perf(0, 2, 2));
    }
}

TEST(CheckLine, TextIsMadeFitForOneLine) {
    EXPECT_EQ(OneLineText(L"\n\t Cannot  connect |x|\r\n"), L"Cannot connect /x/");
    EXPECT_EQ(UnknownCheckLine(L"\ta\nb").text, L"TENDRO UNKNOWN - a b");
    CheckFindings unread;
    unread.up = {L"a"};
    unread.unread = {L"b"};
    CheckLine line = ComposeCheckLine(unread);
    EXPECT_EQ(line.exitCode, CheckUnknown);
    EXPECT_EQ(line.text, L"TENDRO UNKNOWN - 1 of 2 services up, state not read: b" + Perf(1, 0, 2));
}
