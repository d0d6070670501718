// Long options: the parse of every option's value forms, the refusals, --help.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cmdline/cmdline_parser.h"
#include "cmdline/long_options.h"
#include "support/run_tendro.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace {

// Parses `args` (after the program name) into `options`; the refusal text, or empty.
std::wstring Parse(std::vector<std::wstring> args, LongOptions& options) {
    args.insert(args.begin(), L"tendro.exe");
    std::vector<wchar_t*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto refusal = ParseLongOptions(static_cast<int>(args.size()), argv.data(), options);
    return refusal.value_or(L"");
}

std::wstring Refusal(std::vector<std::wstring> args) {
    LongOptions options;
    return Parse(std::move(args), options);
}

}  // namespace

TEST(LongOptions, GoodValuesAreRead) {
    LongOptions o;
    ASSERT_EQ(Parse({L"-s", L"web", L"--watch", L"--kill-hung", L"--restart-limit=3/30",
                     L"--metrics=C:\\m\\t.prom", L"--check", L"--probe=web=tcp://127.0.0.1:80",
                     L"--probe=db=http://localhost:8080", L"--probe=WEB=https://[::1]:443/a?b",
                     L"--probe-timeout=60000", L"--probe-failures=2", L"--log-file=C:\\t.log",
                     L"--log-size=4096", L"--log-keep=0", L"--pause-limit=86400", L"-f",
                     L"--help"},
                    o),
              L"");
    EXPECT_TRUE(o.watch && o.killHung && o.check && o.help);
    ASSERT_TRUE(o.restartLimit);
    EXPECT_EQ(o.restartLimit->failures, 3);
    EXPECT_EQ(o.restartLimit->seconds, 30);
    EXPECT_EQ(o.metricsPath, L"C:\\m\\t.prom");
    EXPECT_EQ(o.probeTimeoutMs, 60000);
    EXPECT_EQ(o.probeFailures, 2);
    EXPECT_EQ(o.logFile, L"C:\\t.log");
    EXPECT_EQ(o.logSizeMb, 4096);
    EXPECT_EQ(o.logKeep, 0);
    EXPECT_EQ(o.pauseLimitSeconds, 86400);
    EXPECT_EQ(LongOptions().pauseLimitSeconds, 3600);
    // A later probe of the same name, compared without case, replaces the earlier one.
    ASSERT_EQ(o.probes.size(), 2u);
    EXPECT_EQ(o.probes[0].url, L"https://[::1]:443/a?b");
    EXPECT_EQ(o.probes[0].target.scheme, ProbeTarget::Https);
    EXPECT_EQ(o.probes[0].target.host, L"::1");
    EXPECT_EQ(o.probes[0].target.port, 443);
    EXPECT_EQ(o.probes[0].target.path, L"/a?b");
    EXPECT_EQ(o.probes[1].target.path, L"/");
    EXPECT_EQ(o.probes[1].target.host, L"localhost");

    // A query straight after the port, and a fragment, which is never sent.
    ProbeTarget target;
    ASSERT_TRUE(ParseProbeUrl(L"http://h:81?ready=1#top", target));
    EXPECT_EQ(target.host, L"h");
    EXPECT_EQ(target.port, 81);
    EXPECT_EQ(target.path, L"/?ready=1");
    ASSERT_TRUE(ParseProbeUrl(L"HTTP://h:82/a/b#c", target));
    EXPECT_EQ(target.path, L"/a/b");

    LongOptions none;
    EXPECT_EQ(Parse({L"-s", L"web", L"-", L"/x", L"-v"}, none), L"");
    EXPECT_FALSE(none.Any());
}

TEST(LongOptions, BadInputNamesTheOptionAndTheValue) {
    EXPECT_EQ(Refusal({L"--wach"}), L"Unknown option --wach");
    EXPECT_EQ(Refusal({L"--"}), L"Unknown option --");
    EXPECT_EQ(Refusal({L"--Watch"}), L"Unknown option --Watch");
    EXPECT_EQ(Refusal({L"--watch=anything"}), L"Option --watch takes no value: \"anything\"");
    EXPECT_EQ(Refusal({L"--metrics"}), L"Option --metrics needs a value: --metrics=PATH");
    for (const wchar_t* value : {L"", L"3", L"3/", L"/30", L"0/30", L"3/0", L"-1/30", L"3/30s",
                                 L"2147483648/1", L"1/99999999999", L" 3/30"})
        EXPECT_THAT(Refusal({std::wstring(L"--restart-limit=") + value}),
                    HasSubstr(std::wstring(L"Invalid value for option --restart-limit: \"") +
                              value + L"\""));
    for (const wchar_t* value :
         {L"web", L"=tcp://h:1", L"web=ftp://h:21", L"web=tcp://h", L"web=tcp://h:0",
          L"web=tcp://h:65536", L"web=tcp://:80", L"web=http://h/x", L"web=tcp://h:80/x",
          L"web=http://u@h:80/", L"web=tcp://[::1:80", L"web=http://h:8x0/", L"web=tcp://a]b:80",
          L"web=tcp://h:80?x", L"web=http://h?x", L"web="})
        EXPECT_THAT(Refusal({std::wstring(L"--probe=") + value}),
                    HasSubstr(std::wstring(L"Invalid value for option --probe: \"") +
                              value + L"\""));
    for (const wchar_t* value : {L"0", L"60001", L"", L"1e3"})
        EXPECT_THAT(Refusal({std::wstring(L"--probe-timeout=") + value}),
                    HasSubstr(L"--probe-timeout"));
    EXPECT_THAT(Refusal({L"--probe-failures=0"}), HasSubstr(L"\"0\""));
    for (const wchar_t* value : {L"--log-size=0", L"--log-size=4097", L"--log-keep=101", L"--log-file="})
        EXPECT_THAT(Refusal({value}), HasSubstr(L"Invalid value for option --log-"));
    for (const wchar_t* value : {L"0", L"86401", L""})
        EXPECT_THAT(Refusal({std::wstring(L"--pause-limit=") + value}),
                    HasSubstr(L"Invalid value for option --pause-limit"));
}

TEST(LongOptions, RefusedBeforeAnythingIsMonitored) {
    RunResult r = RunTendro({L"-v", L"-o", L"-s", L"svc", L"--restart-limit=0/30"});
    EXPECT_EQ(r.exitCode, 1u);
    ASSERT_EQ(r.out.size(), 1u);
    EXPECT_THAT(r.out[0], HasSubstr(L"Err!: "));
    EXPECT_THAT(r.out[0], HasSubstr(L"Invalid value for option --restart-limit: \"0/30\""));
    EXPECT_TRUE(r.err.empty());

    r = RunTendro({L"-q", L"--nonsense=1"});
    EXPECT_EQ(r.exitCode, 1u);
    ASSERT_EQ(r.out.size(), 1u);
    EXPECT_THAT(r.out[0], HasSubstr(L"Unknown option --nonsense=1"));
}

TEST(LongOptions, HelpPrintsTheUsageThenTheLongOptions) {
    RunResult plain = RunTendro({L"-h"});
    RunResult r = RunTendro({L"--help"});
    EXPECT_EQ(r.exitCode, 0u);
    ASSERT_GT(r.out.size(), plain.out.size());
    EXPECT_EQ(plain.out.size(), 53u);
    EXPECT_TRUE(std::equal(plain.out.begin(), plain.out.end(), r.out.begin()));
    EXPECT_EQ(r.out[53], L"Long options:");
    for (const wchar_t* name : {L"--help", L"--watch", L"--kill-hung", L"--restart-limit=N/SECONDS",
                                L"--metrics=PATH", L"--check", L"--probe=SERVICE=URL",
                                L"--probe-timeout=MS", L"--probe-failures=N",
                                L"--log-file=PATH", L"--log-size=MB", L"--log-keep=N",
                                L"--pause-limit=SECONDS"})
        EXPECT_THAT(r.outText, HasSubstr(std::wstring(L"\n         ") + name + L"\r\n"));
    // -h wins over everything, as it does over the single letters.
    EXPECT_EQ(RunTendro({L"--help", L"-h"}).out, plain.out);
}
