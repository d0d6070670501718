// --watch at size: a group of one service of the host product's stand-in and many fixture
// services at -f 30. The processes of the last fixture services are ended from outside, one
// at a time: Wine keeps such a service RUNNING, so only the wait on its process can see it;
// the latency runs from the termination to the "Woken by" line. Then the host-product
// service's program is ended: the latency runs to the wake and to the response ("Stopping
// service"; the service comes first in the group, as a pass walks the group in order). Last,
// tendro.exe idles over the group without and with --watch, between markers that
// bench/run-watch reads to add its CPU time as the host system counts it.
//
//   watch_scale_bench.exe [services] [rounds] [idle seconds]      (defaults: 200, 5, 60)
//   BENCH=watch_scale_bench bench/run-watch [services] [rounds] [idle seconds]
//
// Target: every latency at most 100 ms. Exit code 1 when missed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/text.h"
#include "idle_run.h"
#include "support/host_product.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;

namespace {

constexpr double MaxLatencyMs = 100;

double NowMs() {
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Polls the output closely (the support's wait polls every 50 ms, and decodes all of it): the
// moment `text` appears after `from` characters, or a negative time when it does not within
// timeoutMs.
double WhenSeen(RunningProgram& program, const std::wstring& text, size_t from, DWORD timeoutMs) {
    const double end = NowMs() + timeoutMs;
    while (NowMs() < end) {
        if (program.OutputSince(from).find(text) != std::wstring::npos) return NowMs();
        ::Sleep(1);
    }
    return -1;
}

size_t OutputLength(RunningProgram& program) { return program.OutputSince(0).size(); }

bool EndProcess(DWORD pid) {
    Handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    return process && ::TerminateProcess(process.get(), 9) &&
           ::WaitForSingleObject(process.get(), 10000) == WAIT_OBJECT_0;
}

// Waits for the end of the next pass (the last service's status block) and for the watch to
// be armed after it (the reads and the arming of a large group take a while on a loaded
// machine; a process that ends before it is watched is seen only by the next pass).
bool NextPassEnded(RunningProgram& tendro, const std::wstring& lastBlockLine, size_t from) {
    if (WhenSeen(tendro, lastBlockLine, from, 120000) < 0) return false;
    ::Sleep(10000);
    return true;
}


}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int count = argc > 1 ? std::wcstol(argv[1], nullptr, 10) : 200;
    const int rounds = std::min(argc > 2 ? std::wcstol(argv[2], nullptr, 10) : 5L, static_cast<long>(count));
    const int idleSeconds = argc > 3 ? std::wcstol(argv[3], nullptr, 10) : 60;

    std::vector<std::unique_ptr<TestService>> fixtures;
    std::vector<std::wstring> group;
    for (int i = 0; i < count; ++i) {
        fixtures.push_back(std::make_unique<TestService>());
        if (!fixtures.back()->Start()) {
            std::printf("fixture service %d did not start\n", i + 1);
            return 1;
        }
        group.push_back(fixtures.back()->Name());
    }
    HostProductInstallation product;
    const std::wstring hosted = UniqueServiceName(L"TendroH");
    product.SetServices({hosted});
    HostProductService host(product.ExePath(), hosted);
    if (!host.Start() || host.RecordedPid() == 0) {
        std::printf("the host product's service did not start\n");
        return 1;
    }
    group.insert(group.begin(), hosted);

    std::printf("one service of the host product and %d fixture services at -f 30 --watch\n", count);
    std::vector<std::wstring> args{L"-v", L"-f", L"30", L"--watch"};
    for (const auto& name : group) args.insert(args.end(), {L"-s", name});
    bool met = true;
    {
        RunningProgram tendro(ProgramPath(L"tendro.exe"), args);
        // Wine keeps the last fixture's pid after its process ended.
        const std::wstring lastBlockLine = L"    PID: " + std::to_wstring(fixtures.back()->Pid());
        if (!NextPassEnded(tendro, lastBlockLine, 0)) {
            std::printf("tendro.exe did not finish its first pass\n");
            return 1;
        }
        auto report = [&](const char* what, double latency) {
            std::printf("  %-58s %8.1f ms\n", what, latency);
            std::fflush(stdout);
            met = met && latency >= 0 && latency <= MaxLatencyMs;
        };
        for (int round = 0; round < rounds; ++round) {
            TestService& target = *fixtures[static_cast<size_t>(count - 1 - round)];
            const size_t from = OutputLength(tendro);
            const double ended = NowMs();
            if (!EndProcess(target.Pid())) {
                std::printf("the process of fixture %d could not be ended\n", count - round);
                return 1;
            }
            const double seen = WhenSeen(tendro, L"Woken by a change of service " + target.Name(), from, 60000);
            char what[80];
            std::snprintf(what, sizeof what, "process of fixture %d ended -> \"Woken by\"", count - round);
            report(what, seen < 0 ? -1 : seen - ended);
            if (!NextPassEnded(tendro, lastBlockLine, from)) {
                std::printf("no pass after the wake\n");
                return 1;
            }
        }
        const size_t from = OutputLength(tendro);
        const double ended = NowMs();
        if (!EndProcess(host.RecordedPid())) {
            std::printf("the host product's program could not be ended\n");
            return 1;
        }
        const double woken = WhenSeen(tendro, L"Woken by a change of service " + hosted, from, 60000);
        report("host product's program ended -> \"Woken by\"", woken < 0 ? -1 : woken - ended);
        const double seen = WhenSeen(tendro, L"Stopping service " + hosted, from, 60000);
        report("host product's program ended -> \"Stopping service\"", seen < 0 ? -1 : seen - ended);
        if (seen < 0 || seen - ended > MaxLatencyMs) std::printf("%s\n", ToNarrow(tendro.OutputSince(from)).c_str());
        tendro.Stop();
    }
    if (!met) std::printf("TARGET MISSED: every latency at most %.0f ms\n", MaxLatencyMs);
    std::printf("\n");
    std::fflush(stdout);
    // Past the start-up and the first pass: 15 s.
    if (idleSeconds > 0)
        for (bool watch : {false, true})
            bench::IdleRun({L"-q", L"-f", L"30"}, group, watch, idleSeconds, 15000);
    return met ? 0 : 1;
}
