// The monitor's own cost: CPU time per pass and the working set over many passes, measured in
// this process over real fixture services; then tendro.exe itself watched over a run of passes
// (its working set; bench/run-monitor adds its CPU time as the host system counts it).
//
//   monitor_bench.exe [passes] [tendro seconds]
//
// Targets: the working set grows by no more than 512 KB over the passes, and a run at -f 1
// takes under 5% of one processor. Exit code 1 when one is missed.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "app/monitor.h"
#include "app/startup.h"
#include "cmdline/cmdline_parser.h"
#include "log/log.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;

namespace {

double CpuMilliseconds() {
    FILETIME creation, exit, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel, &user);
    auto value = [](FILETIME t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
    return static_cast<double>(value(kernel) + value(user)) / 10000.0;
}

struct Memory {
    double workingSetKb = 0;
    double privateKb = 0;
};

Memory MemoryOf(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    Memory m;
    if (::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof(counters))) {
        m.workingSetKb = static_cast<double>(counters.WorkingSetSize) / 1024.0;
        m.privateKb = static_cast<double>(counters.PrivateUsage) / 1024.0;
    }
    return m;
}

// Passes in this process, quiet, over the group, with the memory check on (no strikes).
constexpr double MaxGrowthKb = 512;
constexpr double MaxIdleShare = 5.0;

// True when the targets are met.
bool InProcessPasses(const std::vector<std::wstring>& names, int passes) {
    std::vector<std::wstring> args{L"monitor_bench", L"-q", L"-m", L"100000"};
    for (const auto& name : names) args.insert(args.end(), {L"-s", name});
    std::vector<wchar_t*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    LocalMachineNames localNames = BuildLocalMachineNames();
    CmdLineParser settings;
    settings.ParseCommandLine(argv.data(), static_cast<int>(args.size()), localNames);
    Verbosity = VerbosityFor(settings);
    Connections connections;
    StrikeCounts strikes;
    ServiceObjects services;
    if (!settings.CheckSpecifiedServices(localNames) || !settings.ConnectServiceManagers(connections) ||
        !settings.ValidateServices(connections, strikes, services)) {
        std::printf("validation failed\n");
        return false;
    }
    for (int i = 0; i < 50; ++i) RunMonitorPass(settings, connections, strikes, services, i == 0);

    std::printf("In-process passes over %zu services (-q -m), %d passes after 50 warm-up passes\n",
                names.size(), passes);
    std::printf("%8s %14s %14s %14s\n", "passes", "CPU ms/pass", "working set KB", "private KB");
    Memory start = MemoryOf(::GetCurrentProcess());
    std::printf("%8d %14s %14.0f %14.0f\n", 0, "-", start.workingSetKb, start.privateKb);
    const int step = passes / 5 > 0 ? passes / 5 : 1;
    for (int done = 0; done < passes;) {
        double cpu0 = CpuMilliseconds();
        for (int i = 0; i < step && done < passes; ++i, ++done)
            RunMonitorPass(settings, connections, strikes, services, false);
        double perPass = (CpuMilliseconds() - cpu0) / step;
        Memory m = MemoryOf(::GetCurrentProcess());
        std::printf("%8d %14.3f %14.0f %14.0f\n", done, perPass, m.workingSetKb, m.privateKb);
    }
    Memory end = MemoryOf(::GetCurrentProcess());
    std::printf("working set growth: %.0f KB, private growth: %.0f KB\n\n",
                end.workingSetKb - start.workingSetKb, end.privateKb - start.privateKb);

    // CPU while waiting between passes: one pass, then the pause of -f 1, a few times.
    double cpu0 = CpuMilliseconds();
    DWORD wall0 = ::GetTickCount();
    for (int i = 0; i < 5; ++i) {
        RunMonitorPass(settings, connections, strikes, services, false);
        ::Sleep(PassPauseMilliseconds(1));
    }
    double cpu = CpuMilliseconds() - cpu0;
    DWORD wall = ::GetTickCount() - wall0;
    double share = cpu * 100.0 / wall;
    std::printf("5 passes at -f 1: %.1f ms CPU over %lu ms (%.3f%% of one processor)\n\n", cpu,
                static_cast<unsigned long>(wall), share);
    bool met = end.workingSetKb - start.workingSetKb <= MaxGrowthKb && share < MaxIdleShare;
    if (!met) std::printf("TARGET MISSED: growth <= %.0f KB and CPU share < %.1f%%\n\n", MaxGrowthKb, MaxIdleShare);
    return met;
}

// tendro.exe itself at -f 1: its working set sampled over the run.
void WatchTendro(const std::vector<std::wstring>& names, int seconds) {
    std::vector<std::wstring> args{L"-q", L"-f", L"1", L"-m", L"100000"};
    for (const auto& name : names) args.insert(args.end(), {L"-s", name});
    RunningProgram tendro(ProgramPath(L"tendro.exe"), args);
    Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE,
                                 tendro.Pid()));
    std::printf("tendro.exe -q -f 1 -m 100000 over %zu services, pid %lu, for %d s\n", names.size(),
                static_cast<unsigned long>(tendro.Pid()), seconds);
    std::printf("TENDRO-RUNNING\n");
    std::fflush(stdout);
    std::printf("%8s %14s %14s\n", "seconds", "working set KB", "private KB");
    for (int t = 0; t <= seconds; t += 5) {
        Memory m = MemoryOf(process.get());
        std::printf("%8d %14.0f %14.0f\n", t, m.workingSetKb, m.privateKb);
        std::fflush(stdout);
        if (t < seconds) ::Sleep(5000);
    }
    std::printf("TENDRO-DONE\n");
    std::fflush(stdout);
    tendro.Stop();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int passes = argc > 1 ? std::wcstol(argv[1], nullptr, 10) : 2000;
    int seconds = argc > 2 ? std::wcstol(argv[2], nullptr, 10) : 30;
    SetupLevelWords();
    TestService a, b, c;
    for (TestService* s : {&a, &b, &c}) s->Start();
    std::vector<std::wstring> names{a.Name(), b.Name(), c.Name()};
    // Quiet passes print nothing; the log would go to this program's output otherwise.
    bool met = InProcessPasses(names, passes);
    Verbosity = 0;
    if (seconds > 0) WatchTendro(names, seconds);
    return met ? 0 : 1;
}
