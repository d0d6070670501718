#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "app/startup.h"
#include "cmdline/cmdline_parser.h"
#include "log/log.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

class ServiceSetTest : public LoggingTest {
protected:
    static std::wstring NetBiosName() {
        wchar_t name[MAX_COMPUTERNAME_LENGTH + 2];
        DWORD size = MAX_COMPUTERNAME_LENGTH + 2;
        EXPECT_TRUE(::GetComputerNameExW(ComputerNameNetBIOS, name, &size));
        return std::wstring(name, size);
    }

    LocalMachineNames localNames = BuildLocalMachineNames();
    CmdLineParser settings;
};

std::vector<std::wstring> Items(const ServiceList& list) { return {list.begin(), list.end()}; }

// The error ImpersonateLoggedOnUser gives for a token of made-up credentials on this system.
DWORD ImpersonationErrorForMadeUpUser() {
    HANDLE token = nullptr;
    if (!::LogonUserW(L"user@corp", nullptr, L"pw", LOGON32_LOGON_NEW_CREDENTIALS,
                      LOGON32_PROVIDER_WINNT50, &token))
        return 0;
    DWORD error = 0;
    if (::ImpersonateLoggedOnUser(token))
        ::RevertToSelf();
    else
        error = ::GetLastError();
    ::CloseHandle(token);
    return error;
}

}  // namespace

TEST_F(ServiceSetTest, LocalServerWordsAreRewrittenAndReportedInCodeUnitOrder) {
    const std::wstring netBios = NetBiosName();
    settings.specifiedServices = {L"\\\\LOCALHOST\\a", L"\\\\localhost\\b", L"\\\\127.0.0.1\\c",
                                  L"\\\\" + netBios + L"\\d", L"\\\\tendro-test-host\\e", L"f",
                                  L"\\\\localhost\\g"};
    CapturedLog log;
    ASSERT_TRUE(settings.CheckSpecifiedServices(localNames));
    EXPECT_THAT(Items(settings.specifiedServices),
                ElementsAre(L"a", L"b", L"c", L"d", L"\\\\tendro-test-host\\e", L"f", L"g"));

    std::vector<std::wstring> words = {L"LOCALHOST", L"localhost", L"127.0.0.1", netBios};
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    std::vector<LogLine> expected = {
        Init(L"The following specified servers are actually referring to the local machine:")};
    for (const auto& word : words) expected.push_back(Init(L"\t" + word));
    EXPECT_THAT(log.Lines(), ElementsAreArray(expected));

    // Quiet: rewritten all the same, nothing reported.
    Verbosity = LogError;
    log.Clear();
    CmdLineParser quiet;
    quiet.specifiedServices = {L"\\\\localhost\\a"};
    EXPECT_TRUE(quiet.CheckSpecifiedServices(localNames));
    EXPECT_THAT(Items(quiet.specifiedServices), ElementsAre(L"a"));
    EXPECT_THAT(log.Lines(), IsEmpty());
}

TEST_F(ServiceSetTest, RepeatedNamesAreRefusedAfterRewriting) {
    struct Case {
        std::vector<std::wstring> names;
        bool accepted;
        std::vector<LogLine> lines;
    };
    const std::wstring report =
        L"The following specified servers are actually referring to the local machine:";
    const std::vector<Case> cases = {
        {{L"svc", L"other", L"SVC", L"other"}, false,
         {Err(L"Service SVC has been already specified!")}},
        {{L"svc", L"\\\\localhost\\Svc"}, false,
         {Init(report), Init(L"\tlocalhost"), Err(L"Service Svc has been already specified!")}},
        {{L"\\\\tendro-test-host\\svc", L"svc", L"\\\\other-test-host\\svc"}, true, {}},
        {{L"\\\\tendro-test-host\\svc", L"\\\\TENDRO-TEST-HOST\\SVC"}, false,
         {Err(L"Service \\\\TENDRO-TEST-HOST\\SVC has been already specified!")}},
    };
    for (const auto& c : cases) {
        CmdLineParser parser;
        parser.specifiedServices.assign(c.names.begin(), c.names.end());
        CapturedLog log;
        EXPECT_EQ(parser.CheckSpecifiedServices(localNames), c.accepted) << c.names[0];
        EXPECT_THAT(log.Lines(), ElementsAreArray(c.lines)) << c.names[0];
    }
}

TEST_F(ServiceSetTest, NamesWithoutASoundSplitAreRefusedBeforeTheRepeatTest) {
    for (const wchar_t* odd : {L"\\\\\\svc", L"\\\\srv\\", L"\\\\srv", L"a\\b", L"a/b",
                               L"c:svc", L"", L"\\\\srv\\x\\y"}) {
        CmdLineParser parser;
        parser.specifiedServices = {L"x", L"x", odd, L"\\\\localhost\\y"};
        CapturedLog log;
        EXPECT_FALSE(parser.CheckSpecifiedServices(localNames)) << odd;
        EXPECT_THAT(log.Lines(),
                    ElementsAre(Err(L"Service name " + std::wstring(odd) + L" is not valid!")))
            << odd;
    }
    // End to end: the program ends with exit code 1 and connects nowhere.
    RunResult run = RunTendro({L"-o", L"-s", L"svc", L"-s", L"\\\\\\svc"});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_NE(run.outText.find(L"Service name \\\\\\svc is not valid!"), std::wstring::npos);
    EXPECT_EQ(run.outText.find(L"Connecting to service manager"), std::wstring::npos);
}

TEST_F(ServiceSetTest, GroupIsSpecifiedNamesThenHostServicesLessExactExclusions) {
    settings.specifiedServices = {L"z", L"\\\\tendro-test-host\\a", L"b"};
    settings.hostServices = {L"b", L"c", L"svc", L"d"};
    settings.excludedServices = {L"SVC", L"c", L"b", L"nothing"};

    CapturedLog log;
    settings.AssembleMonitoredServices();  // without -a the host services play no part
    EXPECT_THAT(Items(settings.monitoredServices),
                ElementsAre(L"z", L"\\\\tendro-test-host\\a", L"b"));
    EXPECT_THAT(log.Lines(), IsEmpty());

    settings.flags |= CmdLineParser::MonitorAll;
    settings.AssembleMonitoredServices();
    EXPECT_THAT(Items(settings.monitoredServices),
                ElementsAre(L"z", L"\\\\tendro-test-host\\a", L"b", L"svc", L"d"));
    EXPECT_THAT(log.Lines(),
                ElementsAre(Init(L"Excluded service: b"), Init(L"Excluded service: c")));
}

TEST_F(ServiceSetTest, OneConnectionPerMachineInFirstUseOrder) {
    settings.specifiedServices = {L"\\\\tendro-test-host\\a", L"b", L"\\\\TENDRO-TEST-HOST\\c",
                                  L"\\\\other-test-host\\d", L"e"};
    settings.flags |= CmdLineParser::MonitorAll;
    settings.logonUsers[L"unused-test-host"] = L"user@corp";
    settings.passwords[L"unused-test-host"] = L"secret";

    Connections connections;
    CapturedLog log;
    ASSERT_TRUE(settings.ConnectServiceManagers(connections));
    EXPECT_THAT(log.Lines(),
                ElementsAre(Init(L"Connecting to service manager on tendro-test-host"),
                            Init(L"Connecting to service manager on the local machine"),
                            Init(L"Connecting to service manager on other-test-host")));
    EXPECT_EQ(connections.size(), 3u);
    for (const auto& [machine, connection] : connections) {
        EXPECT_TRUE(connection.scm) << machine;
        EXPECT_FALSE(connection.token) << machine;
    }
    EXPECT_EQ(connections.count(L"Tendro-Test-Host"), 1u);
    EXPECT_THAT(settings.passwords, IsEmpty());
    EXPECT_EQ(settings.logonUsers.size(), 1u);

    // Connected machines are not connected again; -a alone needs the local machine only.
    log.Clear();
    EXPECT_TRUE(settings.ConnectServiceManagers(connections));
    EXPECT_THAT(log.Lines(), IsEmpty());
    CmdLineParser all;
    all.flags |= CmdLineParser::MonitorAll;
    Connections local;
    EXPECT_TRUE(all.ConnectServiceManagers(local));
    EXPECT_THAT(log.Lines(), ElementsAre(Init(L"Connecting to service manager on the local machine")));

    // The program: one connection line per machine, before the validation.
    TestService a;
    TestService b;
    std::wstring upperHost = L"\\\\TENDRO-TEST-HOST\\" + b.Name();
    RunResult run = RunTendro({L"-o", L"-p", L"-s", a.RemoteName(), L"-s", upperHost, L"-s",
                               a.Name(), L"-s", L"\\\\localhost\\" + b.Name()});
    EXPECT_EQ(run.exitCode, 0u) << run.outText;
    std::vector<LogLine> lines = ParseLog(run.out);
    int first = FindText(lines, L"Connecting to service manager on tendro-test-host");
    ASSERT_GE(first, 0) << run.outText;
    EXPECT_THAT(std::vector<LogLine>(lines.begin() + first, lines.begin() + first + 6),
                ElementsAre(Init(L"Connecting to service manager on tendro-test-host"),
                            Init(L"Connecting to service manager on the local machine"),
                            Init(L"Validating service: " + a.RemoteName()),
                            Init(L"Validating service: " + upperHost),
                            Init(L"Validating service: " + a.Name()),
                            Init(L"Validating service: " + b.Name())));
}

TEST_F(ServiceSetTest, CredentialsThatCannotBeImpersonatedEndTheConnecting) {
    const DWORD error = ImpersonationErrorForMadeUpUser();
    if (error == 0) GTEST_SKIP() << "this system lets made-up credentials be impersonated";

    settings.specifiedServices = {L"local", L"\\\\TENDRO-test-host\\svc", L"\\\\other-test-host\\x"};
    settings.logonUsers[L"tendro-test-host"] = L"user@corp";
    settings.passwords[L"tendro-test-host"] = L"p:w@d";
    settings.logonUsers[L"other-test-host"] = L"someone@corp";
    settings.passwords[L"other-test-host"] = L"secret";

    Connections connections;
    CapturedLog log;
    EXPECT_FALSE(settings.ConnectServiceManagers(connections));
    EXPECT_THAT(log.Lines(),
                ElementsAre(Init(L"Connecting to service manager on the local machine"),
                            Init(L"Connecting to service manager on TENDRO-test-host"),
                            Init(L"\tLog on user user@corp"),
                            Err(L"\t\tImpersonating user user@corp failed"),
                            Err(L"\t\t" + WindowsErrorText(error))));
    EXPECT_EQ(connections.size(), 1u);  // the local machine only; nothing after the failure
    EXPECT_THAT(settings.passwords, IsEmpty());
    Handle threadToken;
    EXPECT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, threadToken.put()));

    // The program: exit code 1, and the password shows nowhere but in the masked command line.
    RunResult run = RunTendro({L"-o", L"-l", L"tendro-test-host=user:pa ss:wd@x@corp", L"-s",
                               L"\\\\tendro-test-host\\svc"});
    EXPECT_EQ(run.exitCode, 1u);
    std::vector<LogLine> lines = ParseLog(run.out);
    int connecting = FindText(lines, L"Connecting to service manager on tendro-test-host");
    ASSERT_GE(connecting, 0) << run.outText;
    EXPECT_THAT(std::vector<LogLine>(lines.begin() + connecting, lines.end()),
                ElementsAre(Init(L"Connecting to service manager on tendro-test-host"),
                            Init(L"\tLog on user user@corp"),
                            Err(L"\t\tImpersonating user user@corp failed"),
                            Err(L"\t\t" + WindowsErrorText(error))));
    EXPECT_EQ(run.outText.find(L"pa ss:wd@x"), std::wstring::npos);
}

TEST_F(ServiceSetTest, RemoteServicesGoThroughTheirOwnConnection) {
    TestService remote;
    TestService local;
    ASSERT_TRUE(local.Start());
    settings.specifiedServices = {remote.RemoteName(), local.Name()};
    Connections connections;
    StrikeCounts strikes;
    ServiceObjects services;
    ASSERT_TRUE(settings.CheckSpecifiedServices(localNames));
    ASSERT_TRUE(settings.ConnectServiceManagers(connections));
    ASSERT_EQ(settings.ValidateServices(connections, strikes, services), 1);
    ASSERT_EQ(services.size(), 2u);

    ServiceControl& viaRemote = services.at(remote.RemoteName());
    EXPECT_EQ(viaRemote.machine, kTestHost);
    EXPECT_EQ(viaRemote.shortName, remote.Name());
    EXPECT_EQ(viaRemote.scm, connections.at(kTestHost).scm);
    EXPECT_EQ(services.at(local.Name()).scm, connections.at(L"").scm);
    EXPECT_NE(connections.at(kTestHost).scm, connections.at(L"").scm);

    CapturedLog log;
    EXPECT_EQ(viaRemote.Start(), 1);
    EXPECT_EQ(remote.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(viaRemote.GetServicePid(), static_cast<int32_t>(remote.Pid()));
    EXPECT_EQ(viaRemote.Stop(), 1);
    EXPECT_EQ(remote.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_THAT(log.Lines(), IsEmpty());
}
