// The idle part of the watch benchmarks: tendro.exe over a group for `seconds` of passes,
// between the markers that bench/run-watch reads to take its CPU time as the host counts it.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "support/run_tendro.h"

namespace tendro::bench {

// `options` then -s for each of `group`; the markers name the first service (by which the
// script finds the process) and whether --watch is on. `settleMs`: past the start-up.
inline void IdleRun(std::vector<std::wstring> options, const std::vector<std::wstring>& group,
                    bool watch, int seconds, DWORD settleMs) {
    if (watch) options.push_back(L"--watch");
    for (const auto& name : group) options.insert(options.end(), {L"-s", name});
    test::RunningProgram tendro(test::ProgramPath(L"tendro.exe"), options);
    ::Sleep(settleMs);
    const char* mode = watch ? "watch" : "plain";
    std::printf("TENDRO-IDLE-START %s %s\n", mode, ToNarrow(group.front()).c_str());
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(seconds) * 1000);
    std::printf("TENDRO-IDLE-END %s\n", mode);
    std::fflush(stdout);
    ::Sleep(1500);  // the script takes its reading before the program ends
    tendro.Stop();
}

}  // namespace tendro::bench
