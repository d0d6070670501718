// The program's start: usage, banner, command line, settings summary, exit codes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "cmdline/cmdline_parser.h"
#include "common/error.h"
#include "support/run_tendro.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::vector<std::wstring> UsageLines() { return SplitLines(FormatText(UsageText().c_str())); }

// The text of each log line after "Word: timestamp: ".
std::vector<std::wstring> Texts(const RunResult& r) {
    std::vector<std::wstring> texts;
    for (const auto& line : r.out) {
        size_t first = line.find(L": ");
        size_t second = first == std::wstring::npos ? first : line.find(L": ", first + 2);
        texts.push_back(second == std::wstring::npos ? line : line.substr(second + 2));
    }
    return texts;
}

}  // namespace

TEST(Usage, PrintedAloneAndWithHelpWherever) {
    for (const auto& args : std::vector<std::vector<std::wstring>>{
             {}, {L"-h"}, {L"-v", L"-s", L"svc", L"/H"}, {L"-s", L"-h"}, {L"-q", L"-help", L"-o"}}) {
        RunResult r = RunTendro(args);
        EXPECT_EQ(r.exitCode, 0u);
        EXPECT_THAT(r.out, ElementsAreArray(UsageLines()));
        EXPECT_EQ(r.out.size(), 53u);
        EXPECT_TRUE(r.err.empty());
    }
    RunResult r = RunTendro({L"-h"});
    EXPECT_EQ(r.out[0], L"Corvanta Tendro: Service Monitoring Utility v2.6.0");
    EXPECT_EQ(r.out[26], L"             Remote services may be specified as: \\\\server\\service");
    EXPECT_EQ(r.out[44], L"         the process is 50% across each of the 5 monitored ");
}

TEST(Startup, LogLinesBannerAndSettingsSummary) {
    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-v", L"-o", L"-f", L"30", L"-i", L"5", L"-m", L"100", L"-e", L"x"});
    const int pid = static_cast<int>(tendro.Pid());
    RunResult r = tendro.Stop(60000);
    ASSERT_EQ(r.exitCode, 0u);
    const std::wregex line(LR"((Err!|Init|Info): (Mon|Tue|Wed|Thu|Fri|Sat|Sun) )"
                           LR"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d\d )"
                           LR"(\d\d:\d\d:\d\d \d{4}: .*)");
    for (const auto& l : r.out) EXPECT_TRUE(std::regex_match(l, line)) << l;

    auto texts = Texts(r);
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], FormatText(L"Corvanta Tendro: Service Monitoring Utility v2.6.0 (%d)",
                                   pid));
    EXPECT_THAT(texts[1], HasSubstr(L"CLI: "));
    EXPECT_THAT(texts[1], HasSubstr(L"tendro.exe -v -o -f 30 -i 5 -m 100 -e x"));
    std::vector<std::wstring> summary(texts.begin() + 2, texts.end());
    EXPECT_THAT(summary, ElementsAreArray(std::vector<std::wstring>{
                             L"Monitoring services only once",
                             L"Output verbosity is high",
                             L"Passive mode is disabled",
                             L"Group restart is enabled",
                             L"On failure services will be restarted",
                             L"Manual start stopped services will be checked",
                             L"List of monitored services will be filled only on start",
                             L"On group restart all services will be restarted",
                             L"Memory monitoring enabled at 100 MB per process",
                             L"High memory will be ignored for 5 monitoring intervals (30 x 5 seconds)",
                             L"CPU load monitoring disabled",
                             L"At least one valid service needs to be specified!",
                         }));
    EXPECT_EQ(r.out.back().substr(0, 5), L"Err!:");
}

TEST(Startup, SwitchesShownInTheSummaryAndLevelsByVerbosity) {
    RunResult r = RunTendro({L"-o", L"-p", L"-r", L"-j", L"-k", L"-d", L"-g", L"-c", L"150"});
    auto texts = Texts(r);
    for (const wchar_t* expected :
         {L"Output verbosity is low", L"Passive mode is enabled", L"Group restart is disabled",
          L"On failure services will be stopped", L"Manual start stopped services will be ignored",
          L"List of monitored services will be refreshed every monitor cycle",
          L"On group restart services will be restarted from failure point",
          L"High CPU load will be ignored for 0 monitoring intervals (30 x 0 seconds)"})
        EXPECT_THAT(texts, Contains(std::wstring(expected)));
    // Level 2 lines are not printed at the normal verbosity.
    EXPECT_THAT(texts, Not(Contains(std::wstring(L"CPU load monitoring enabled at 150%"))));
    EXPECT_THAT(texts, Not(Contains(std::wstring(L"Memory monitoring disabled"))));

    RunResult verbose = RunTendro({L"-o", L"-q", L"-v", L"-c", L"150"});
    EXPECT_THAT(Texts(verbose), Contains(std::wstring(L"CPU load monitoring enabled at 150%")));
    EXPECT_THAT(Texts(verbose), Contains(std::wstring(L"Output verbosity is high")));
}

TEST(Startup, QuietModePrintsOnlyErrors) {
    RunResult r = RunTendro({L"-q", L"-o", L"-m", L"5", L"-c", L"5"});
    EXPECT_EQ(r.exitCode, 0u);
    ASSERT_EQ(r.out.size(), 1u);
    EXPECT_EQ(Texts(r)[0], L"At least one valid service needs to be specified!");
    EXPECT_EQ(r.out[0].substr(0, 5), L"Err!:");
}

TEST(Startup, PasswordNeverShown) {
    RunResult r = RunTendro({L"-l", L"srv=bob:S3cr:et@pw@corp", L"-l", L"x=y:Another Secret@d", L"-o"});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.outText.find(L"S3cr"), std::wstring::npos);
    EXPECT_EQ(r.outText.find(L"Another"), std::wstring::npos);
    EXPECT_EQ(r.errText.find(L"S3cr"), std::wstring::npos);
    EXPECT_THAT(r.outText, HasSubstr(L"-l srv=bob:**********@corp -l \"x=y:**************@d\" -o"));
}

TEST(SystemErrorLine, CategoryValueAndMessage) {
    std::system_error e = SystemError(5, "Can't enable SeDebug privilege");
    std::wstring expected = L"[system:5] Can't enable SeDebug privilege: " +
                            ToWide(std::system_category().message(5));
    EXPECT_EQ(DescribeSystemError(e), expected);
}
