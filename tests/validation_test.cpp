// Validation of the group: fixture services and Wine's own services in the Wine service
// manager, in-process and through tendro.exe.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>

#include "app/startup.h"
#include "cmdline/cmdline_parser.h"
#include "fixtures/hostproduct/standin_keys.h"
#include "log/log.h"
#include "support/host_product.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/test_services.h"
#include "support/system_text.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

namespace {

class ValidationTest : public LoggingTest {
protected:
    int32_t Validate() { return settings.ValidateServices(connections, strikes, services); }
    void Specify(const std::vector<std::wstring>& names) {
        settings.specifiedServices.assign(names.begin(), names.end());
        ASSERT_TRUE(settings.ConnectServiceManagers(connections));
    }
    std::vector<std::wstring> Group() const {
        return {settings.monitoredServices.begin(), settings.monitoredServices.end()};
    }

    static LogLine Validating(const std::wstring& name) {
        return Init(L"Validating service: " + name);
    }

    CmdLineParser settings;
    Connections connections;
    StrikeCounts strikes;
    ServiceObjects services;
};

// The log lines from the first one with `text` on.
std::vector<LogLine> From(const std::vector<LogLine>& lines, const std::wstring& text) {
    int at = FindText(lines, text);
    if (at < 0) return {};
    return {lines.begin() + at, lines.end()};
}

std::wstring FirstUsageLine() { return SplitLines(UsageText()).front(); }

}  // namespace

TEST_F(ValidationTest, KeepsUsableServicesDropsManualStoppedWithSkipAndKeepsStrikeCounts) {
    TestService running;
    TestService manualStopped;
    TestService autoStopped({}, StartType::Auto);
    ASSERT_TRUE(running.Start());
    std::wstring lowerCase = running.Name();
    std::transform(lowerCase.begin(), lowerCase.end(), lowerCase.begin(), ::towlower);
    // Host-product services are recognised by exact short names of local services only.
    settings.hostServices = {lowerCase, manualStopped.Name()};
    Specify({running.Name(), manualStopped.RemoteName(), autoStopped.Name()});
    strikes[manualStopped.RemoteName()] = 3;
    strikes[L"left-over"] = 5;

    settings.flags |= CmdLineParser::SkipManualStopped;
    CapturedLog log;
    ASSERT_EQ(Validate(), 1);
    EXPECT_THAT(Group(), ElementsAre(running.Name(), autoStopped.Name()));
    EXPECT_THAT(log.Lines(), ElementsAre(Validating(running.Name()),
                                         Validating(manualStopped.RemoteName()),
                                         Init(L"\tService is manual start and stopped. Ignoring!"),
                                         Validating(autoStopped.Name())));
    EXPECT_THAT(strikes, UnorderedElementsAre(Pair(running.Name(), 0),
                                              Pair(manualStopped.RemoteName(), 3),
                                              Pair(autoStopped.Name(), 0), Pair(L"left-over", 5)));
    ASSERT_EQ(services.size(), 2u);
    for (auto& [name, service] : services) {
        EXPECT_TRUE(service.handle) << name;
        EXPECT_EQ(service.isPlainService, 1u) << name;
    }
    EXPECT_EQ(services.at(running.Name()).GetStatus(), static_cast<uint32_t>(SERVICE_RUNNING));

    // Without -k the manual stopped service is kept (and the monitor will find it down); a
    // running manual service is kept with -k as well.
    settings.flags &= ~CmdLineParser::SkipManualStopped;
    strikes[running.Name()] = 2;
    ASSERT_EQ(Validate(), 1);
    EXPECT_THAT(Group(),
                ElementsAre(running.Name(), manualStopped.RemoteName(), autoStopped.Name()));
    EXPECT_EQ(services.size(), 3u);
    EXPECT_EQ(strikes.at(running.Name()), 2);
    EXPECT_EQ(strikes.at(manualStopped.RemoteName()), 3);

    settings.flags |= CmdLineParser::SkipManualStopped;
    ASSERT_TRUE(manualStopped.Start());
    ASSERT_EQ(Validate(), 1);
    EXPECT_EQ(services.size(), 3u);
}

TEST_F(ValidationTest, DisabledServiceIsDroppedWithAllAndFatalWithout) {
    TestService first;
    TestService disabled({}, StartType::Disabled);
    TestService last;
    Specify({first.Name(), disabled.Name(), last.Name()});

    settings.flags |= CmdLineParser::MonitorAll;
    CapturedLog log;
    ASSERT_EQ(Validate(), 1);
    EXPECT_THAT(Group(), ElementsAre(first.Name(), last.Name()));
    EXPECT_THAT(log.Lines(), ElementsAre(Validating(first.Name()), Validating(disabled.Name()),
                                         Init(L"\tService is disabled. Ignoring!"),
                                         Validating(last.Name())));

    // Quiet: dropped without a word.
    Verbosity = LogError;
    log.Clear();
    ASSERT_EQ(Validate(), 1);
    EXPECT_THAT(log.Lines(), IsEmpty());

    Verbosity = LogInit;
    settings.flags &= ~CmdLineParser::MonitorAll;
    log.Clear();
    EXPECT_EQ(Validate(), 0);
    std::vector<LogLine> lines = log.Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_THAT(std::vector<LogLine>(lines.begin(), lines.begin() + 3),
                ElementsAre(Validating(first.Name()), Validating(disabled.Name()),
                            Err(L"\tDisabled service " + disabled.Name() + L" is specified!")));
    EXPECT_EQ(lines[3].text, FirstUsageLine());
    // The rest stays in the list, unexamined and without objects.
    EXPECT_THAT(Group(), ElementsAre(first.Name(), disabled.Name(), last.Name()));
    EXPECT_EQ(services.size(), 1u);

    // Enabled again: the next validation takes it back.
    disabled.SetStartType(StartType::Demand);
    ASSERT_EQ(Validate(), 1);
    EXPECT_EQ(services.size(), 3u);
}

TEST_F(ValidationTest, ServiceThatCannotBeOpenedEndsTheValidation) {
    TestService first;
    TestService after;
    const std::wstring missing = UniqueServiceName(L"Missing");
    Specify({first.Name(), L"\\\\" + std::wstring(kTestHost) + L"\\" + missing, after.Name()});

    Verbosity = LogError;  // the failure shows in quiet mode too
    CapturedLog log;
    EXPECT_EQ(Validate(), 0);
    EXPECT_THAT(log.Lines(),
                ElementsAre(Err(L"\tCannot connect to service \\\\" + std::wstring(kTestHost) +
                                L"\\" + missing),
                            Err(L"\t" + WindowsErrorText(ERROR_SERVICE_DOES_NOT_EXIST))));
    EXPECT_EQ(Group().size(), 3u);
    EXPECT_EQ(services.size(), 1u);
    EXPECT_EQ(strikes.size(), 3u);
}

TEST_F(ValidationTest, EmptyListIsValid) {
    CapturedLog log;
    EXPECT_EQ(Validate(), 1);
    EXPECT_THAT(Group(), IsEmpty());
    EXPECT_THAT(log.Lines(), IsEmpty());
}

// Through the program: messages, levels, the usage text and the exit codes.
TEST(ValidationRun, FatalCasesEndWithExitCodeOne) {
    TestService first;
    TestService disabled({}, StartType::Disabled);
    const std::wstring missing = UniqueServiceName(L"Missing");

    RunResult run = RunTendro({L"-o", L"-p", L"-s", first.Name(), L"-s", missing, L"-s",
                               disabled.Name()});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_THAT(From(ParseLog(run.out), L"Validating service: " + first.Name()),
                ElementsAre(LogLine{L"Init", L"Validating service: " + first.Name()},
                            LogLine{L"Init", L"Validating service: " + missing},
                            LogLine{L"Err!", L"\tCannot connect to service " + missing},
                            LogLine{L"Err!", L"\t" + WindowsErrorText(1060)}));

    run = RunTendro({L"-o", L"-p", L"-s", disabled.Name(), L"-s", first.Name()});
    EXPECT_EQ(run.exitCode, 1u);
    std::vector<LogLine> lines = From(ParseLog(run.out), L"Validating service: " + disabled.Name());
    ASSERT_GE(lines.size(), 3u) << run.outText;
    EXPECT_EQ(lines[1], (LogLine{L"Err!", L"\tDisabled service " + disabled.Name() +
                                              L" is specified!"}));
    EXPECT_EQ(lines[2].text, FirstUsageLine());
    EXPECT_EQ(run.outText.find(L"Validating service: " + first.Name()), std::wstring::npos);

    // With -a the disabled service is dropped; nothing left: exit code 0, also when quiet.
    run = RunTendro({L"-q", L"-o", L"-a", L"-s", disabled.Name()});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_THAT(ParseLog(run.out),
                ElementsAre(LogLine{L"Err!", L"At least one valid service needs to be specified!"}));
}

TEST(ValidationRun, WineOwnServicesAreValidatedAndManualStoppedOnesSkippedWithK) {
    std::vector<std::wstring> wineServices = ExistingServices(
        {L"Spooler", L"PlugPlay", L"RpcSs", L"EventLog", L"MountMgr", L"StiSvc", L"winmgmt"});
    ASSERT_GE(wineServices.size(), 2u);
    std::vector<std::wstring> arguments = {L"-o", L"-p", L"-k"};
    for (const auto& name : wineServices) {
        arguments.push_back(L"-s");
        arguments.push_back(name);
    }
    RunResult run = RunTendro(arguments);
    EXPECT_EQ(run.exitCode, 0u) << run.outText;
    std::vector<LogLine> lines = ParseLog(run.out);
    for (const auto& name : wineServices) {
        int at = FindText(lines, L"Validating service: " + name);
        ASSERT_GE(at, 0) << run.outText;
        const bool skipped = ServiceStartType(name) == SERVICE_DEMAND_START &&
                             ServiceState(name) == SERVICE_STOPPED;
        EXPECT_EQ(lines[at + 1].text == L"\tService is manual start and stopped. Ignoring!",
                  skipped)
            << name;
    }
    EXPECT_EQ(run.errText, L"");
}

// Host-product services: an unreadable definition drops the service with a line on standard
// error; a service named with -s and listed by the host stands twice in the group.
TEST(ValidationRun, HostServicesWithDefinitions) {
    TestService listed;
    TestService unreadable;
    ASSERT_TRUE(listed.Start());
    ASSERT_TRUE(unreadable.Start());
    HostProductInstallation product;
    product.SetServices({listed.Name(), unreadable.Name()});
    product.Configure(std::wstring(hostproduct::KeyExport) + L":" + unreadable.Name(),
                      hostproduct::ExportNoVersion);

    RunResult run = RunTendro({L"-o", L"-p", L"-a", L"-s", listed.Name()});
    EXPECT_EQ(run.exitCode, 0u) << run.outText << run.errText;
    std::vector<LogLine> lines = ParseLog(run.out);
    EXPECT_EQ(CountLines(lines, L"Init", L"Validating service: " + listed.Name()), 2);
    // The message begins with a line break of its own.
    auto validating = std::find_if(run.out.begin(), run.out.end(), [&](const std::wstring& line) {
        return ParseLogLine(line) == LogLine{L"Init", L"Validating service: " + unreadable.Name()};
    });
    ASSERT_LT(validating + 2, run.out.end()) << run.outText;
    EXPECT_EQ(ParseLogLine(validating[1]), (LogLine{L"Init", L""}));
    EXPECT_EQ(validating[2], L"\tCan't read service definition. Ignoring!");
    EXPECT_THAT(run.err, ElementsAre(L"\t[system:1208] Corvanta Tendro requires service definition "
                                     L"xml version '2'-'4': " + SystemMessage(1208)));
    EXPECT_EQ(run.outText.find(L"Service " + unreadable.Name()), std::wstring::npos);
}
