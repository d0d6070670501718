// --metrics: the file tendro.exe writes after each pass for a group of up, down, measured,
// killed and remote services; its atomic replacement under a polling reader; failed writes.
// The file's real consumers (promtool, the node exporter) read what the MetricsConsumers
// test writes: tests/metrics_consumers.sh runs it and them.
#include <winsock2.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>

#include "common/text.h"
#include "log/log.h"
#include "metrics/metrics_file.h"
#include "metrics/metrics_text.h"
#include "probe/probe_check.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/temp_folder.h"
#include "support/tendro_service.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

// The samples of an exposition text, "name{labels}" to value; the text must be well formed:
// LF line ends, every sample's metric introduced by "# HELP" and "# TYPE" before it.
std::map<std::string, std::string> Samples(const std::string& text) {
    std::map<std::string, std::string> samples;
    std::set<std::string> helped, typed;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_TRUE(!text.empty() && text.back() == '\n');
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (line.rfind("# HELP ", 0) == 0) {
            helped.insert(line.substr(7, line.find(' ', 7) - 7));
        } else if (line.rfind("# TYPE ", 0) == 0) {
            typed.insert(line.substr(7, line.find(' ', 7) - 7));
        } else {
            size_t space = line.rfind(' ');
            std::string series = line.substr(0, space);
            std::string metric = series.substr(0, series.find('{'));
            EXPECT_TRUE(helped.count(metric) && typed.count(metric)) << line;
            EXPECT_TRUE(samples.emplace(series, line.substr(space + 1)).second) << line;
        }
    }
    return samples;
}

// The labels of a service's series in the file `tendro`.prom.
std::string Label(const std::wstring& service, const std::string& tendro = "tendro") {
    return "{tendro=\"" + tendro + "\",service=\"" + EscapeLabelValue(service) + "\"}";
}
std::string Kills(const std::wstring& service, const char* reason) {
    return "{tendro=\"tendro\",service=\"" + EscapeLabelValue(service) + "\",reason=\"" + reason + "\"}";
}
std::string Program(const char* metric, const std::string& tendro = "tendro") {
    return std::string(metric) + "{tendro=\"" + tendro + "\"}";
}

// The group of the mixed run: up and measured, down at start, over its memory limit, remote.
struct MixedGroup {
    TestService up;
    TestService down;
    TestService hog{{L"--memory", L"96"}};
    TestService remote;
    std::wstring remoteName = remote.RemoteName();
    double before = 0, after = 0;
    RunResult result;

    // Runs one pass of tendro.exe writing `path`: -r restarts just the failed service.
    void Run(const std::wstring& path) {
        ASSERT_TRUE(up.Start());
        ASSERT_TRUE(hog.Start());
        ASSERT_TRUE(remote.Start());
        before = UnixTimeSeconds();
        result = RunTendro({L"-q", L"-o", L"-r", L"-m", L"48", L"-i", L"0", L"-c", L"95",
                            L"--metrics=" + path, L"-s", up.Name(), L"-s", down.Name(), L"-s",
                            hog.Name(), L"-s", remoteName},
                           90000);
        after = UnixTimeSeconds();
        ASSERT_FALSE(result.timedOut);
        ASSERT_EQ(result.exitCode, 0u) << result.outText;
    }
};

void ExpectMixedGroupSamples(const MixedGroup& g, const std::string& text) {
    auto s = Samples(text);
    EXPECT_EQ(s["tendro_service_up" + Label(g.up.Name())], "1");
    EXPECT_EQ(s["tendro_service_up" + Label(g.down.Name())], "0");
    EXPECT_EQ(s["tendro_service_up" + Label(g.hog.Name())], "1");
    EXPECT_EQ(s["tendro_service_up" + Label(g.remoteName)], "1");
    EXPECT_EQ(s["tendro_service_state" + Label(g.down.Name())], "1");
    EXPECT_EQ(s["tendro_service_state" + Label(g.remoteName)], "4");
    EXPECT_EQ(s["tendro_service_restarts_total" + Label(g.up.Name())], "0");
    EXPECT_EQ(s["tendro_service_restarts_total" + Label(g.down.Name())], "1");
    EXPECT_EQ(s["tendro_service_restarts_total" + Label(g.hog.Name())], "1");
    EXPECT_EQ(s["tendro_service_restarts_total" + Label(g.remoteName)], "0");
    for (const std::wstring& name : {g.up.Name(), g.down.Name(), g.hog.Name(), g.remoteName}) {
        const double at = std::stod(s["tendro_service_last_restart_timestamp_seconds" + Label(name)]);
        EXPECT_TRUE(name == g.down.Name() || name == g.hog.Name() ? at >= g.before && at <= g.after : at == 0) << at;
    }
    EXPECT_EQ(s["tendro_process_kills_total" + Kills(g.hog.Name(), "memory")], "1");
    EXPECT_EQ(s["tendro_process_kills_total" + Kills(g.hog.Name(), "cpu")], "0");
    EXPECT_EQ(s["tendro_process_kills_total" + Kills(g.up.Name(), "memory")], "0");
    EXPECT_EQ(s["tendro_process_kills_total" + Kills(g.remoteName, "hung")], "0");
    // Measured: the local services that were up; not the one found down, not the remote one.
    for (const TestService* measured : {&g.up, &g.hog}) {
        EXPECT_TRUE(s.count("tendro_process_working_set_bytes" + Label(measured->Name())));
        // Wine mostly reports no processor time for other processes, but not always (a
        // fixture that has just touched its memory): a share within the limits is all that
        // holds.
        const std::string cpu = s["tendro_process_cpu_percent" + Label(measured->Name())];
        ASSERT_FALSE(cpu.empty()) << ToNarrow(measured->Name());
        EXPECT_GE(std::stod(cpu), 0.0);
        EXPECT_LT(std::stod(cpu), 95.0);  // nothing was killed over -c 95
    }
    EXPECT_GT(std::stod(s["tendro_process_working_set_bytes" + Label(g.hog.Name())]), 96e6);
    EXPECT_LT(std::stod(s["tendro_process_working_set_bytes" + Label(g.up.Name())]), 48e6);
    for (const std::wstring& unmeasured : {g.down.Name(), g.remoteName}) {
        EXPECT_FALSE(s.count("tendro_process_working_set_bytes" + Label(unmeasured)));
        EXPECT_FALSE(s.count("tendro_process_cpu_percent" + Label(unmeasured)));
    }
    EXPECT_EQ(s[Program("tendro_passes_total")], "1");
    double duration = std::stod(s[Program("tendro_pass_duration_seconds")]);
    EXPECT_GT(duration, 2.0);  // two CPU samples of one second each
    EXPECT_LT(duration, g.after - g.before);
    double stamp = std::stod(s[Program("tendro_last_pass_timestamp_seconds")]);
    EXPECT_GE(stamp, g.before);
    EXPECT_LE(stamp, g.after);
    EXPECT_EQ(s["tendro_service_start_failures_total" + Label(g.down.Name())], "0");
    EXPECT_EQ(s["tendro_service_restart_hold_seconds" + Label(g.down.Name())], "0");
    // A snapshot of one pass (-o) says that Tendro runs; a console run is never paused.
    EXPECT_EQ(s[Program("tendro_running")], "1");
    EXPECT_EQ(s[Program("tendro_paused")], "0");
    // 4 services x (up, state, restarts, last restart, start failures, hold, 3 kills), 2 x 2
    // readings, 5 of the program.
    EXPECT_EQ(s.size(), 4u * 9 + 4 + 5);
}

void WriteUtf8(const std::wstring& path, const std::string& text) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    ::CloseHandle(file);
}

}  // namespace

TEST(MetricsText, LabelValuesAreEscaped) {
    EXPECT_EQ(EscapeLabelValue(L"\\\\srv\\web"), "\\\\\\\\srv\\\\web");
    EXPECT_EQ(EscapeLabelValue(L"a\"b\nc"), "a\\\"b\\nc");
    EXPECT_EQ(EscapeLabelValue(L"Dienst-\u00fc\u20ac"), "Dienst-\xc3\xbc\xe2\x82\xac");
}

TEST(MetricsText, InstanceNameIsTheFileNameWithoutItsExtension) {
    for (auto [path, name] : {std::pair{L"db.PROM", L"db"}, {L"C:/in/app.v2.prom", L"app.v2"},
                              {L"C:\\in\\t.txt", L"t.txt"}, {L"C:\\in\\.prom", L".prom"}})
        EXPECT_EQ(MetricsInstanceName(path), name) << ToNarrow(path);
}

// Collectors refuse two files whose HELP or TYPE texts differ for one metric: the sum of
// those lines may change when a metric is added, never for a reworded text.
TEST(MetricsText, HelpAndTypeTextsStayTheSame) {
    uint64_t sum = 14695981039346656037ull;  // FNV-1a over the "# " lines
    for (const std::wstring& line : SplitLines(ToWide(FormatMetrics(PassMetrics{}), CP_UTF8)))
        for (unsigned char c : line.starts_with(L"# ") ? ToNarrow(line, CP_UTF8) + "\n" : "")
            sum = (sum ^ c) * 1099511628211ull;
    EXPECT_EQ(sum, 4037426798192497572ull);
}

TEST(MetricsFile, MixedGroupAfterOnePass) {
    TempFolder folder;
    MixedGroup group;
    group.Run(folder.File(L"tendro.prom"));
    auto text = ReadWhole(folder.File(L"tendro.prom"));
    ASSERT_TRUE(text);
    ExpectMixedGroupSamples(group, *text);
    // The temporary file is gone; the services are up again.
    EXPECT_THAT(folder.Names(), ElementsAre(L"tendro.prom"));
    EXPECT_EQ(group.down.State(), DWORD{SERVICE_RUNNING});
}

// Run by tests/metrics_consumers.sh, which names the folder and reads the files with
// promtool and the node exporter afterwards: "+ text" lines must be on the exporter's page,
// "- text" lines must not. A second instance, db.prom, shares two of the mixed group's services.
TEST(MetricsConsumers, FilesForPromtoolAndNodeExporter) {
    const char* dir = std::getenv("TENDRO_CONSUMER_DIR");
    if (!dir || !*dir) GTEST_SKIP() << "run by metrics_consumers.sh";
    TempFolder run(ToWide(dir) + L"\\run"), odd(ToWide(dir) + L"\\odd");

    MixedGroup group;
    group.Run(run.File(L"tendro.prom"));
    auto text = ReadWhole(run.File(L"tendro.prom"));
    ASSERT_TRUE(text);
    ExpectMixedGroupSamples(group, *text);
    RunResult db = RunTendro({L"-q", L"-o", L"--metrics=" + run.File(L"db.prom"), L"-s",
                              group.up.Name(), L"-s", group.down.Name()});
    ASSERT_EQ(db.exitCode, 0u) << db.outText;
    // A line of the exporter's page, which orders the labels by name: reason, service, tendro.
    auto page = [](const char* metric, const std::wstring& service, const char* tendro, const char* value,
                   const std::string& reason = "") {
        return "+ " + std::string(metric) + "{" + reason + "service=\"" + EscapeLabelValue(service) +
               "\",tendro=\"" + tendro + "\"} " + value + "\n";
    };
    std::string expected;
    for (const std::wstring& name : {group.up.Name(), group.hog.Name(), group.remoteName})
        expected += page("tendro_service_up", name, "tendro", "1");
    expected += page("tendro_service_up", group.down.Name(), "tendro", "0") +
                page("tendro_service_restarts_total", group.down.Name(), "tendro", "1");
    // db's pass came after the restart of the one that was down.
    for (const std::wstring& name : {group.up.Name(), group.down.Name()})
        expected += page("tendro_service_up", name, "db", "1");
    expected += page("tendro_process_kills_total", group.hog.Name(), "tendro", "1", "reason=\"memory\",") +
                page("tendro_process_working_set_bytes", group.up.Name(), "tendro", "");
    expected += "- tendro_process_working_set_bytes{service=\"" + EscapeLabelValue(group.remoteName) + "\"\n";
    for (const char* tendro : {"tendro", "db"})
        expected += "+ " + Program("tendro_passes_total", tendro) + " 1\n+ " + Program("tendro_running", tendro) + " 1\n";
    WriteUtf8(run.File(L"expected.txt"), expected);

    // Names that need the escapes (and one beyond ASCII), as a pass would give them.
    PassMetrics names;
    names.instance = L"odd", names.passes = 7;
    for (const wchar_t* name : {L"\\\\srv\\web", L"say \"hi\"", L"two\nlines", L"Dienst-\u00fc"}) {
        ServiceMetrics& m = names.services.emplace_back();
        m.name = name, m.checked = m.up = true, m.state = 4;
    }
    WriteUtf8(odd.File(L"odd.prom"), FormatMetrics(names));
    std::string oddExpected = "+ tendro_passes_total{tendro=\"odd\"} 7\n";
    for (const auto& m : names.services) oddExpected += page("tendro_service_up", m.name, "odd", "1");
    WriteUtf8(odd.File(L"expected.txt"), oddExpected);
    // The folders stay for the script, which removes them.
    run.Keep();
    odd.Keep();
}

TEST(MetricsFile, PollingReaderNeverSeesHalfAFile) {
    TempFolder folder;
    TestService service;
    ASSERT_TRUE(service.Start());
    // Many entries make a file of some size, so that a write in place would be caught.
    std::vector<std::wstring> args{L"-q", L"-f", L"0", L"--metrics=" + folder.File(L"t.prom")};
    for (int host = 0; host < 40; ++host) {
        args.push_back(L"-s");
        args.push_back(service.RemoteName(L"made-up-host-" + std::to_wstring(host)));
    }
    RunningProgram tendro(ProgramPath(L"tendro.exe"), args);

    // Each pass's file is a new one that takes the name, never the old one written over: the
    // files of two passes in a row are two files (the later was made while the earlier was
    // there, so it can't have the earlier one's number).
    std::map<long, uint64_t> fileOfPass;
    std::set<std::string> passesSeen;
    int reads = 0, incomplete = 0;
    // Until 10 passes are seen, two in a row (the time is only the bound that a fault reaches).
    auto twoInARow = [&] {
        return std::ranges::any_of(fileOfPass, [&](auto& p) { return fileOfPass.count(p.first + 1) > 0; });
    };
    DWORD begin = ::GetTickCount();
    while (::GetTickCount() - begin < 25000 && !(passesSeen.size() >= 10 && twoInARow())) {
        // A reader as the exporters' runtime opens files: others may read and write while
        // it holds the file, but not delete or rename it.
        std::optional<std::string> text;
        uint64_t file = 0;
        if (Handle h = OpenForReading(folder.File(L"t.prom"), FILE_SHARE_READ | FILE_SHARE_WRITE)) {
            text = ReadFromStart(h.get());
            BY_HANDLE_FILE_INFORMATION info{};
            if (::GetFileInformationByHandle(h.get(), &info))
                file = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
        }
        // A collector reads a file now and then, not without a break: a reader that held it
        // all the time would block every replace, and a replace it blocks is only logged
        // and done again in the next pass. Breaks that vary never keep step with its retries.
        ::Sleep(5 + reads % 4 * 5);
        if (!text) continue;
        ++reads;
        const std::string passesLine = "\n" + Program("tendro_passes_total", "t") + " ";
        size_t last = text->rfind("\n" + Program("tendro_last_pass_timestamp_seconds", "t") + " ");
        size_t passes = text->find(passesLine);
        if (text->rfind("# HELP tendro_service_up ", 0) != 0 || last == std::string::npos ||
            text->back() != '\n' || passes == std::string::npos) {
            ++incomplete;
            continue;
        }
        const size_t value = passes + passesLine.size();
        std::string pass = text->substr(value, text->find('\n', value) - value);
        passesSeen.insert(pass);
        fileOfPass[std::stol(pass)] = file;
    }
    RunResult r = tendro.Stop();
    int pairs = 0;
    for (auto [pass, file] : fileOfPass) {
        auto next = fileOfPass.find(pass + 1);
        if (next == fileOfPass.end()) continue;
        ++pairs;
        EXPECT_NE(next->second, file) << "passes " << pass << " and " << pass + 1
                                      << " wrote the same file over";
    }
    EXPECT_GT(pairs, 0);
    EXPECT_EQ(incomplete, 0) << "of " << reads << " reads";
    EXPECT_GE(passesSeen.size(), 10u) << "of " << reads << " reads";
    // A move that meets the reader holding the file is tried again within the pass.
    EXPECT_THAT(r.outText, Not(HasSubstr(L"Can't write metrics file")));
}

TEST(MetricsFile, FailedWriteIsLoggedAndTriedAgainNextPass) {
    TempFolder folder;
    TestService service;
    ASSERT_TRUE(service.Start());
    const std::wstring later = folder.File(L"later");
    const std::wstring path = later + L"\\tendro.prom";
    const std::wstring cannot = L"Can't write metrics file " + path;
    ASSERT_TRUE(::CreateDirectoryW(later.c_str(), nullptr));
    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-q", L"-f", L"1", L"--metrics=" + path, L"-s", service.Name()});
    DWORD begin = ::GetTickCount();
    while (!ReadWhole(path) && ::GetTickCount() - begin < 30000) ::Sleep(50);
    // The folder goes while Tendro runs: every pass says so, and writes again once it is back.
    // A pass's temporary file blocks the removal (Wine may report success): only a gone folder counts.
    bool removed = false;
    for (begin = ::GetTickCount(); !removed && ::GetTickCount() - begin < 20000; ::Sleep(removed ? 0 : 20)) {
        ::DeleteFileW(path.c_str());
        removed = ::RemoveDirectoryW(later.c_str()) && ::GetFileAttributesW(later.c_str()) == INVALID_FILE_ATTRIBUTES;
    }
    ASSERT_TRUE(removed);
    ASSERT_TRUE(WaitForLines(tendro, cannot, 2, 30000)) << tendro.OutputSoFar();
    ASSERT_TRUE(::CreateDirectoryW(later.c_str(), nullptr));
    begin = ::GetTickCount();
    while (!ReadWhole(path) && ::GetTickCount() - begin < 30000) ::Sleep(100);
    RunResult r = tendro.Stop();
    auto lines = ParseLog(r.out);
    int at = FindText(lines, cannot);
    ASSERT_GE(at, 0);
    ASSERT_LT(at + 1, static_cast<int>(lines.size()));
    EXPECT_EQ(lines[at + 1], (LogLine{L"Err!", WindowsErrorText(ERROR_PATH_NOT_FOUND)}));
    EXPECT_GE(CountLines(lines, L"Err!", cannot), 2);
    auto text = ReadWhole(path);
    ASSERT_TRUE(text) << "no write after the folder came back";
    EXPECT_GT(std::stoi(Samples(*text)[Program("tendro_passes_total")]), 1);
}

// A path that cannot be written at start-up refuses the run before anything is monitored:
// a folder that does not exist, and a path that is a folder (the temporary file is written,
// the move fails and the temporary file goes).
TEST(MetricsFile, PathThatCannotBeWrittenAtStartUpRefusesTheRun) {
    TempFolder folder;
    TestService service;
    const std::wstring blocked = folder.File(L"blocked.prom");
    ASSERT_TRUE(::CreateDirectoryW(blocked.c_str(), nullptr));
    for (const std::wstring& path : {folder.File(L"missing") + L"\\t.prom", blocked}) {
        RunResult r = RunTendro({L"-o", L"--metrics=" + path, L"-s", service.Name()});
        EXPECT_EQ(r.exitCode, 1u);
        auto lines = ParseLog(r.out);
        ASSERT_EQ(lines.size(), 1u) << r.outText;
        EXPECT_EQ(lines[0].word, L"Err!");
        EXPECT_THAT(lines[0].text,
                    HasSubstr(L"Invalid value for option --metrics: \"" + path + L"\""));
        EXPECT_EQ(service.State(), SERVICE_STOPPED) << "nothing is monitored";
    }
    EXPECT_THAT(folder.Names(), ElementsAre(L"blocked.prom"));
}

// A service whose start fails: the failed start is counted, and once its restarts are held
// the gauge shows the seconds left of the hold.
TEST(MetricsFile, FailedStartsAndHeldRestarts) {
    TempFolder folder;
    TestService failing({L"--fail-start", L"1"});
    const std::wstring path = folder.File(L"tendro.prom");
    RunningProgram tendro(ProgramPath(L"tendro.exe"),
                          {L"-q", L"-f", L"1", L"--restart-limit=1/600", L"--metrics=" + path,
                           L"-s", failing.Name()});
    std::map<std::string, std::string> s;
    const DWORD begin = ::GetTickCount();
    // The third pass finds the hold that the second began.
    while (::GetTickCount() - begin < 30000) {
        if (auto text = ReadWhole(path)) {
            s = Samples(*text);
            if (s.count(Program("tendro_passes_total")) && std::stoi(s[Program("tendro_passes_total")]) >= 3) break;
        }
        ::Sleep(100);
    }
    RunResult r = tendro.Stop();
    ASSERT_GE(std::stoi(s[Program("tendro_passes_total")]), 3) << r.outText;
    EXPECT_EQ(s["tendro_service_start_failures_total" + Label(failing.Name())], "1");
    EXPECT_EQ(s["tendro_service_restarts_total" + Label(failing.Name())], "1");
    const int held = std::stoi(s["tendro_service_restart_hold_seconds" + Label(failing.Name())]);
    EXPECT_GT(held, 560);
    EXPECT_LE(held, 600);
}

// An HTTP endpoint on 127.0.0.1 that answers one request when told to.
struct TestEndpoint {
    WinsockSession winsock;
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{AF_INET, 0, {{{127, 0, 0, 1}}}, {}};
    int size = sizeof(address);
    bool listening = !::bind(listener, reinterpret_cast<sockaddr*>(&address), size) && !::listen(listener, 4) &&
                     !::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    ~TestEndpoint() { ::closesocket(listener); }
    bool Pending() {
        fd_set readable{1, {listener}};  // a connection waits, within 30 s
        timeval limit{30, 0};
        return ::select(0, &readable, nullptr, nullptr, &limit) == 1;
    }
    void AnswerOne() {  // one GET without a body fits the buffer
        SOCKET client = ::accept(listener, nullptr, nullptr);
        char request[4096], ok[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        ::recv(client, request, sizeof(request), 0), ::send(client, ok, sizeof(ok) - 1, 0), ::closesocket(client);
    }
};

// A Tendro service stopped while its second pass probes the first service: not running, the cut
// pass counted, the unreached second service as the first pass found it.
TEST(MetricsFile, StoppedTendroServiceKeepsLastChecksAndSaysItStopped) {
    TempFolder folder;
    TestService probed, unreached;
    ASSERT_TRUE(probed.Start() && unreached.Start());
    TestEndpoint endpoint;
    ASSERT_TRUE(endpoint.listening);
    const std::wstring path = folder.File(L"group.prom");
    TendroService tendro({L"-f", L"1", L"--probe=" + probed.Name() + L"=http://127.0.0.1:" +
                          std::to_wstring(::ntohs(endpoint.address.sin_port)), L"--probe-timeout=30000",
                          L"--metrics=" + path, L"-s", probed.Name(), L"-s", unreached.Name()});
    ASSERT_TRUE(tendro.Start());
    ASSERT_TRUE(endpoint.Pending()) << "no probe in the first pass";
    endpoint.AnswerOne();
    ASSERT_TRUE(endpoint.Pending()) << "no probe in the second pass";
    EXPECT_EQ(Samples(*ReadWhole(path))[Program("tendro_running", "group")], "1");
    ASSERT_NE(tendro.Stop(20000), INFINITE);
    auto last = Samples(*ReadWhole(path));
    EXPECT_EQ(last[Program("tendro_running", "group")], "0");
    EXPECT_EQ(last[Program("tendro_passes_total", "group")], "2");
    EXPECT_EQ(last["tendro_service_up" + Label(unreached.Name(), "group")], "1");
    EXPECT_EQ(last["tendro_service_state" + Label(unreached.Name(), "group")], "4");
}

// The run built from new options writes nothing until swapped in, takes the counters of the
// names that stay, and on another path gives the old file its last word.
TEST(MetricsFile, ReplacingRunCarriesCountersAndHandsTheFileOver) {
    TempFolder folder;
    const std::wstring a = folder.File(L"a.prom"), b = folder.File(L"b.prom");
    CmdLineParser settings;
    ServiceControl kept(SharedScHandle(), SharedToken(), L"Kept", 1);
    ServiceObjects services;
    auto pass = [&](MetricsFile& file) {
        file.Observe(ResponseEnded{settings, kept, {}, {}});
        file.Observe(PassEnded{settings, services});
        return Samples(*ReadWhole(file.LastPass().instance == L"a" ? a : b));
    };
    auto replacement = [&](const std::wstring& path) {
        auto file = std::make_unique<MetricsFile>(path);
        file->BuildsReplacement();
        EXPECT_EQ(file->OptionsRead(settings), std::nullopt);
        return file;
    };
    MetricsFile first(a);
    ASSERT_EQ(first.OptionsRead(settings), std::nullopt);
    settings.monitoredServices = {L"Kept"};
    pass(first);
    const auto before = ReadWhole(a);
    auto same = replacement(a), moved = replacement(b);
    EXPECT_EQ(ReadWhole(a), before);
    EXPECT_THAT(folder.Names(), ElementsAre(L"a.prom"));
    same->CarryHistory(first, settings.monitoredServices);
    first.RunReplaced();  // the same file: nothing to say
    EXPECT_EQ(ReadWhole(a), before);
    EXPECT_EQ(pass(*same)["tendro_service_restarts_total" + Label(L"Kept", "a")], "2");
    moved->CarryHistory(*same, settings.monitoredServices);
    same->RunReplaced();
    EXPECT_EQ(Samples(*ReadWhole(a))[Program("tendro_running", "a")], "0");
    auto s = pass(*moved);
    EXPECT_EQ(s[Program("tendro_passes_total", "b")], "3");
    EXPECT_EQ(s["tendro_service_restarts_total" + Label(L"Kept", "b")], "3");
}
