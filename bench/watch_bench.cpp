// --watch: how soon a stop from outside is seen, with and without the watch, and what the
// watch costs while nothing happens (bench/run-watch adds tendro.exe's CPU time as the host
// system counts it, since Wine reports none for other processes).
//
//   watch_bench.exe [stops] [frequency] [idle seconds]      (defaults: 10, 30, 60)
//
// A group of three fixture services at -f <frequency>; the last one is stopped from outside
// <stops> times, at moments spread over the cycle (counted from the end of the pass that
// brought the group back). The latency runs from the stop to Tendro's first stop of the
// group, both taken from the fixtures' own event log and clock.
//
// Target: with --watch the latency is at most 100 ms every time. Exit code 1 when missed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <numeric>
#include <string>
#include <vector>

#include "common/handle.h"
#include "idle_run.h"
#include "common/text.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;

namespace {

constexpr double MaxWatchLatencyMs = 100;

double NowMs() {
    FILETIME now;
    ::GetSystemTimePreciseAsFileTime(&now);
    ULONGLONG ticks = (ULONGLONG{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return static_cast<double>(ticks) / 10000.0;
}

struct Event {
    std::string what;
    DWORD pid = 0;
    double ms = 0;
};

std::vector<Event> ReadEvents(const std::wstring& path) {
    std::vector<Event> events;
    Handle file(::CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
    if (!file) return events;
    std::string bytes(1 << 20, '\0');
    DWORD read = 0;
    ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    size_t at = 0;
    while (at < bytes.size()) {
        size_t end = bytes.find('\n', at);
        if (end == std::string::npos) end = bytes.size();
        char what[32] = {};
        unsigned long pid = 0;
        double ms = 0;
        if (std::sscanf(bytes.c_str() + at, "%31s %lu %lf", what, &pid, &ms) == 3)
            events.push_back({what, static_cast<DWORD>(pid), ms});
        at = end + 1;
    }
    return events;
}

struct Group {
    std::wstring events;
    std::vector<TestService*> services;
};

bool WaitForNewProcesses(const Group& group, const std::vector<DWORD>& oldPids, DWORD timeoutMs) {
    const ULONGLONG begin = ::GetTickCount64();
    for (;;) {
        bool all = true;
        for (size_t i = 0; i < group.services.size(); ++i) {
            DWORD pid = group.services[i]->Pid();
            all = all && group.services[i]->State() == SERVICE_RUNNING && pid != 0 && pid != oldPids[i];
        }
        if (all) return true;
        if (::GetTickCount64() - begin > timeoutMs) return false;
        ::Sleep(20);
    }
}

std::vector<DWORD> Pids(const Group& group) {
    std::vector<DWORD> pids;
    for (TestService* s : group.services) pids.push_back(s->Pid());
    return pids;
}

// The latency of each stop; empty when the run went wrong (said why).
std::vector<double> MeasureLatencies(const Group& group, bool watch, int stops, int frequency) {
    std::vector<std::wstring> args{L"-v", L"-f", std::to_wstring(frequency)};
    if (watch) args.push_back(L"--watch");
    for (TestService* s : group.services) args.insert(args.end(), {L"-s", s->Name()});
    TestService& last = *group.services.back();
    RunningProgram tendro(ProgramPath(L"tendro.exe"), args);
    if (!tendro.WaitForOutput(L"    PID: " + std::to_wstring(last.Pid()), 60000)) {
        std::printf("tendro.exe did not finish its first pass\n");
        return {};
    }
    double passEnd = NowMs();
    const double cycleMs = frequency * 1000.0;
    std::vector<double> latencies;
    for (int i = 0; i < stops; ++i) {
        const double moment = cycleMs * (i + 0.5) / stops;
        double wait = passEnd + moment - NowMs();
        if (wait > 0) ::Sleep(static_cast<DWORD>(wait));
        std::vector<DWORD> oldPids = Pids(group);
        if (!last.AskToStop()) {
            std::printf("the stop from outside failed\n");
            return {};
        }
        if (!WaitForNewProcesses(group, oldPids, static_cast<DWORD>(cycleMs) + 60000)) {
            std::printf("the group was not restarted\n");
            return {};
        }
        std::vector<Event> events = ReadEvents(group.events);
        auto stop = std::find_if(events.begin(), events.end(), [&](const Event& e) {
            return e.what == "stop" && e.pid == oldPids.back();
        });
        auto first = std::find_if(stop == events.end() ? stop : stop + 1, events.end(),
                                  [](const Event& e) { return e.what == "stop"; });
        auto running = std::find_if(events.begin(), events.end(), [&](const Event& e) {
            return e.what == "running" && e.pid == last.Pid();
        });
        if (first == events.end() || running == events.end()) {
            std::printf("the event log misses the stops\n");
            return {};
        }
        latencies.push_back(first->ms - stop->ms);
        // The pass that restarted the group ends right after the last service is running.
        passEnd = running->ms;
        std::printf("  %-8s stop %2d at %6.1f s of the cycle: %9.1f ms\n", watch ? "watch" : "polling",
                    i + 1, moment / 1000.0, latencies.back());
        std::fflush(stdout);
    }
    tendro.Stop();
    return latencies;
}

void PrintSummary(const char* label, const std::vector<double>& latencies) {
    if (latencies.empty()) return;
    double mean = std::accumulate(latencies.begin(), latencies.end(), 0.0) / latencies.size();
    double max = *std::max_element(latencies.begin(), latencies.end());
    std::printf("%-16s mean %9.1f ms   max %9.1f ms\n", label, mean, max);
}


}  // namespace

int wmain(int argc, wchar_t** argv) {
    int stops = argc > 1 ? std::wcstol(argv[1], nullptr, 10) : 10;
    int frequency = argc > 2 ? std::wcstol(argv[2], nullptr, 10) : 30;
    int idleSeconds = argc > 3 ? std::wcstol(argv[3], nullptr, 10) : 60;

    wchar_t dir[MAX_PATH + 1];
    ::GetTempPathW(MAX_PATH, dir);
    Group group{std::wstring(dir) + UniqueServiceName(L"watch-bench") + L".txt", {}};
    std::vector<std::wstring> fixture{L"--event-log", group.events, L"--event-time"};
    bool met = true;
    {
        TestService a(fixture), b(fixture), c(fixture);
        group.services = {&a, &b, &c};
        for (TestService* s : group.services) s->Start();

        std::printf("Detection latency: 3 services at -f %d, the last one stopped from outside %d times\n",
                    frequency, stops);
        std::vector<double> watched = MeasureLatencies(group, true, stops, frequency);
        std::vector<double> polled = MeasureLatencies(group, false, stops, frequency);
        std::printf("\n");
        PrintSummary("with --watch", watched);
        PrintSummary("without --watch", polled);
        if (watched.empty() || *std::max_element(watched.begin(), watched.end()) > MaxWatchLatencyMs) {
            std::printf("TARGET MISSED: latency with --watch at most %.0f ms\n", MaxWatchLatencyMs);
            met = false;
        }
        std::printf("\n");
        std::fflush(stdout);
        if (idleSeconds > 0) {
            std::vector<std::wstring> names;
            for (TestService* s : group.services) names.push_back(s->Name());
            for (bool watch : {false, true})
                bench::IdleRun({L"-q", L"-f", L"1"}, names, watch, idleSeconds, 3000);
        }
    }
    ::DeleteFileW(group.events.c_str());
    return met ? 0 : 1;
}
