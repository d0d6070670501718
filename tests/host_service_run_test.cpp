// tendro.exe with services of the host product's stand-in in the Wine service manager: the
// definition check at validation, programs that died or are no child of their service, the
// CPU limit on the recorded program, and the definitions read again with -a -d.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "app/monitor.h"
#include "app/startup.h"
#include "common/text.h"
#include "fixtures/hostproduct/standin_keys.h"
#include "hostproduct/com_error.h"
#include "hostproduct/cstd_stream.h"
#include "hostproduct/definition.h"
#include "hostproduct/host_product_info.h"
#include "log/log.h"
#include "support/host_product.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/test_services.h"
#include "support/system_text.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

namespace {

class HostServiceRun : public ::testing::Test {
protected:
    void Set(const std::wstring& service, const wchar_t* key, const std::wstring& value) {
        product.Configure(std::wstring(key) + L":" + service, value);
    }

    std::vector<std::wstring> FileLines(const wchar_t* fileName) {
        std::ifstream file(ToNarrow(product.Folder() + L"\\" + fileName));
        std::vector<std::wstring> lines;
        for (std::string line; std::getline(file, line);) lines.push_back(ToWide(line, CP_UTF8));
        return lines;
    }

    static std::wstring Pid(DWORD pid) { return std::to_wstring(pid); }

    static std::vector<LogLine> StatusBlock(const std::vector<LogLine>& lines,
                                            const std::wstring& name) {
        return LinesFrom(lines, L"Service: " + name, 5);
    }

    HostProductInstallation product;
};

const std::wstring kCantRead = L"\tCan't read service definition. Ignoring!";

TEST_F(HostServiceRun, ServicesWhoseDefinitionCannotBeReadAreDropped) {
    const std::wstring good = UniqueServiceName(L"TendroD"), wrong = UniqueServiceName(L"TendroD"),
                       broken = UniqueServiceName(L"TendroD"), noisy = UniqueServiceName(L"TendroD");
    product.SetServices({good, wrong, broken, noisy});
    Set(good, hostproduct::KeyExport, hostproduct::ExportV2);
    Set(wrong, hostproduct::KeyExport, L"version:5");
    Set(broken, hostproduct::KeyExport, hostproduct::ExportMalformedBefore);
    Set(noisy, hostproduct::KeyExport, hostproduct::ExportFloodStderr);
    HostProductService s1(product.ExePath(), good), s2(product.ExePath(), wrong),
        s3(product.ExePath(), broken), s4(product.ExePath(), noisy);

    RunResult r = RunTendro({L"-v", L"-o", L"-p", L"-s", good, L"-s", wrong, L"-s", broken,
                             L"-s", noisy});
    ASSERT_EQ(r.exitCode, 0u) << ToNarrow(r.outText) << ToNarrow(r.errText);
    auto lines = ParseLog(r.out);
    // The message begins with a line break: its text stands on a line of its own.
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), kCantRead), 2);
    ASSERT_EQ(r.err.size(), 2u) << ToNarrow(r.errText);
    EXPECT_EQ(r.err[0], L"\t[system:1208] Corvanta Tendro requires service definition xml "
                        L"version '2'-'4': " + SystemMessage(1208));
    const std::wstring comPrefix = L"\t[com:";
    ASSERT_EQ(r.err[1].rfind(comPrefix, 0), 0u);
    int value = std::stoi(r.err[1].substr(comPrefix.size()));
    EXPECT_LT(value, 0);
    EXPECT_EQ(r.err[1], comPrefix + std::to_wstring(value) + L"] " +
                            ToWide(com_error_category().message(value)));

    // The two readable ones are checked, the others are gone from the pass.
    EXPECT_GE(FindText(lines, L"Service: " + good), 0);
    EXPECT_GE(FindText(lines, L"Service: " + noisy), 0);
    EXPECT_EQ(FindText(lines, L"Service: " + wrong), -1);
    EXPECT_EQ(FindText(lines, L"Service: " + broken), -1);
    EXPECT_THAT(FileLines(hostproduct::ExportLogFileName),
                ElementsAre(good, wrong, broken, noisy));
}

// An export whose output stalls is given up after the read limit (a minute; 1.5 s here, in-process):
// the service is dropped with the time-out line and the others are watched.
TEST_F(HostServiceRun, AnExportThatNeverEndsIsGivenUp) {
    const std::wstring stalled = UniqueServiceName(L"TendroD"), good = UniqueServiceName(L"TendroD");
    product.SetServices({stalled, good});
    Set(stalled, hostproduct::KeyExport, hostproduct::ExportNeverEnd);
    HostProductService s1(product.ExePath(), stalled), s2(product.ExePath(), good);

    struct Capture final : LogSink {  // the log's lines and standard error
        void WriteLine(uint32_t, const std::wstring& text, const std::wstring&) override {
            lines.push_back({L"", text});
        }
        void WriteText(DWORD out, std::wstring_view text) override { if (out == STD_ERROR_HANDLE) err += text; }
        std::vector<LogLine> lines;
        std::wstring err;
    } capture;
    LogSinks sinks;
    sinks.Add(capture);
    struct Scope {
        Scope() {  // the log as without -v and -q
            ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            DefinitionReadTimeoutMs = 1500, Verbosity = LogInit;
            SetupLevelWords();
        }
        ~Scope() {
            Verbosity = 0, DefinitionReadTimeoutMs = StreamReadTimeoutMs, HostProductInfo = {};
            ::CoUninitialize();
        }
    } scope;
    CmdLineParser settings;
    settings.flags = CmdLineParser::RunOnce | CmdLineParser::PassiveMode;
    settings.specifiedServices = {stalled, good};
    Connections connections;
    StrikeCounts strikes;
    ServiceObjects services;
    ASSERT_TRUE(DetectHostProduct());
    settings.LoadCVServices();
    ASSERT_TRUE(settings.ConnectServiceManagers(connections));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(settings.ValidateServices(connections, strikes, services), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20));
    RunMonitorPass(settings, connections, strikes, services, true);

    EXPECT_EQ(capture.err, L"\t[system:1460] Service definition export timed out: " +
                               SystemMessage(1460) + L"\n");
    EXPECT_THAT(settings.monitoredServices, ElementsAre(good));
    EXPECT_GE(FindText(capture.lines, L"Service " + good + L" is NOT running!"), 0);
    EXPECT_EQ(FindText(capture.lines, L"Service " + stalled + L" is NOT running!"), -1);
}

// The recorded program is gone, or is no child of the service process: the service is down
// although the service manager reports it running, and it is restarted.
TEST_F(HostServiceRun, ServicesWithoutTheirProgramAreRestarted) {
    const std::wstring died = UniqueServiceName(L"TendroD"), foreign = UniqueServiceName(L"TendroD");
    product.SetServices({died, foreign});
    Set(died, hostproduct::KeyChildExitMs, L"100");
    Set(died, hostproduct::KeyOnChildExit, hostproduct::OnExitIgnore);  // record says running
    Set(foreign, hostproduct::KeyRecordPid, hostproduct::RecordSelf);
    HostProductService s1(product.ExePath(), died), s2(product.ExePath(), foreign);
    ASSERT_TRUE(s1.Start());
    ASSERT_TRUE(s2.Start());
    Handle program(::OpenProcess(SYNCHRONIZE, FALSE, s1.RecordedPid()));
    ASSERT_TRUE(program);
    ASSERT_EQ(::WaitForSingleObject(program.get(), 10000), WAIT_OBJECT_0);
    program.reset();
    const DWORD pid1 = s1.Pid(), pid2 = s2.Pid();

    RunResult r = RunTendro({L"-v", L"-o", L"-r", L"-s", died, L"-s", foreign});
    ASSERT_EQ(r.exitCode, 0u) << ToNarrow(r.outText) << ToNarrow(r.errText);
    auto lines = ParseLog(r.out);
    for (auto [name, pid] : {std::pair{died, pid1}, std::pair{foreign, pid2}}) {
        EXPECT_THAT(StatusBlock(lines, name),
                    ElementsAre(LogLine{L"Info", L"Service: " + name},
                                LogLine{L"Info", L" Status: Running"},
                                LogLine{L"Info", L" CV PID: " + Pid(pid)},
                                LogLine{L"Info", L"EXE PID: -1"},
                                LogLine{L"Info", L"Process: "}));
        EXPECT_EQ(FindText(lines, L"Service " + name + L" is NOT running!"), -1);
    }
    EXPECT_THAT(ServiceOperations(lines), ElementsAre(L"Stopping service " + died,
                                                      L"Starting service " + died,
                                                      L"Stopping service " + foreign,
                                                      L"Starting service " + foreign));
    EXPECT_NE(s1.Pid(), pid1);
    EXPECT_NE(s2.Pid(), pid2);
}

// Under Wine other processes show no CPU time, so a threshold below zero makes every reading
// a hit: the message names the process measured and then killed, the recorded program.
TEST_F(HostServiceRun, TheCpuLimitKillsTheRecordedProgram) {
    const std::wstring name = UniqueServiceName(L"TendroD");
    product.SetServices({name});
    HostProductService service(product.ExePath(), name);
    ASSERT_TRUE(service.Start());
    const DWORD servicePid = service.Pid(), program = service.RecordedPid();
    ASSERT_NE(program, 0u);
    Handle programProcess(::OpenProcess(SYNCHRONIZE, FALSE, program));

    RunResult r = RunTendro({L"-v", L"-o", L"-c", L"-5", L"-s", name});
    auto lines = ParseLog(r.out);
    int hit = FindText(lines, L"Process " + Pid(program) + L" hit CPU threshold of -5% 1 times");
    ASSERT_GE(hit, 0) << ToNarrow(r.outText);
    EXPECT_GE(FindText(lines, L"Process " + Pid(program) + L" will be terminated", hit), 0);
    EXPECT_EQ(::WaitForSingleObject(programProcess.get(), 10000), WAIT_OBJECT_0);
    // The stand-in saw its program end before it was stopped: the kill hit the program.
    std::vector<std::wstring> events = FileLines(hostproduct::ServiceLogFileName);
    ASSERT_GE(events.size(), 5u);
    events.resize(5);
    EXPECT_THAT(events, ElementsAre(L"start " + name + L" " + Pid(servicePid),
                                    L"program " + name + L" " + Pid(program),
                                    L"program-exit " + name + L" " + Pid(program),
                                    L"stop " + name + L" " + Pid(servicePid),
                                    ::testing::StartsWith(L"start " + name)));
}

// With -a and -d every pass exports the definitions again: one that turns unreadable drops
// its service with the error line, and the service comes back once it is readable again.
TEST_F(HostServiceRun, RereadingExportsTheDefinitionEveryPass) {
    const std::wstring name = UniqueServiceName(L"TendroD");
    product.SetServices({name});
    HostProductService service(product.ExePath(), name);
    ASSERT_TRUE(service.Start());
    RunningProgram tendro(ProgramPath(L"tendro.exe"), {L"-v", L"-a", L"-d", L"-f", L"1"});
    ASSERT_TRUE(WaitForLines(tendro, L"Rereading services list", 2, 60000)) << tendro.OutputSoFar();
    EXPECT_GE(FileLines(hostproduct::ExportLogFileName).size(), 2u);

    Set(name, hostproduct::KeyExport, L"version:1");
    ASSERT_TRUE(WaitForLines(tendro, kCantRead, 1, 60000)) << tendro.OutputSoFar();
    Set(name, hostproduct::KeyExport, hostproduct::ExportV4);
    int checks = 0;
    for (const auto& line : SplitLines(tendro.OutputSoFar()))
        checks += line.find(L"Service: " + name) != std::wstring::npos ? 1 : 0;
    ASSERT_TRUE(WaitForLines(tendro, L"Service: " + name, checks + 2, 60000));
    RunResult r = tendro.Stop();
    EXPECT_THAT(r.err, Contains(L"\t[system:1208] Corvanta Tendro requires service definition "
                                L"xml version '2'-'4': " +
                                SystemMessage(1208)));
    EXPECT_THAT(r.err, Not(Contains(::testing::HasSubstr(L"[com:"))));
    EXPECT_EQ(service.State(), DWORD{SERVICE_RUNNING});
}

}  // namespace
