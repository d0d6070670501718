// The metrics of one pass in the Prometheus text exposition format (version 0.0.4), and the
// replacement of a file that a reader never sees half-written.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tendro {

// What the metrics say about one service of the group. The readings of its check stay until
// its next check: a pass cut short by a stop leaves the services it did not reach as their
// last check found them.
struct ServiceMetrics {
    std::wstring name;       // the name as given
    bool checked = false;    // some pass has checked it: up and state are written only then
    bool up = false;         // its last check found it up
    uint32_t state = 0;      // the service manager's state, 0 when it could not be read
    uint64_t restarts = 0;   // failure responses it caused since start-up
    double lastRestartSeconds = 0;  // Unix time of the last of them, 0 when none
    uint64_t startFailures = 0;   // starts in failure responses that failed, since start-up
    uint64_t holdSecondsLeft = 0; // of a hold on its restarts, 0 when none
    std::array<uint64_t, 3> kills{};          // by KillReason: memory, cpu, hung
    std::optional<int64_t> workingSetBytes;   // only when measured in the pass
    std::optional<double> cpuPercent;         // likewise
};

struct PassMetrics {
    std::wstring instance;  // the value of the label `tendro` on every series
    std::vector<ServiceMetrics> services;  // in group order, each name once
    bool running = true;    // Tendro watches the group; false in a stopped Tendro's last write
    uint64_t passes = 0;
    double passDurationSeconds = 0;
    double lastPassTimestampSeconds = 0;  // Unix time
    bool paused = false;                  // the pass ran while the service was paused
};

// A label value escaped as the format requires (backslash, double quote, line feed), UTF-8.
std::string EscapeLabelValue(std::wstring_view value);

// The whole file: UTF-8, LF line ends, "# HELP" and "# TYPE" for every metric. The HELP and
// TYPE texts never change: a collector refuses two files (of two versions of Tendro in one
// folder) whose texts differ for one metric.
std::string FormatMetrics(const PassMetrics& metrics);

// The instance's name in the label `tendro`: the file name of `path` without its ".prom"
// (compared without case); a name that would be left empty stays whole.
std::wstring MetricsInstanceName(std::wstring_view path);

// Replaces `path` with `content`: writes a temporary file in the same folder, then moves it
// over `path` in one step. ERROR_SUCCESS, or the Windows error of the step that failed (the
// temporary file is removed then).
DWORD ReplaceFileContent(const std::wstring& path, std::string_view content);

// Whether the temporary file of a replacement of `path` can be written: ERROR_SUCCESS, or the
// Windows error; nothing is left behind, and `path` is untouched.
DWORD CanWriteBeside(const std::wstring& path);

// The current time as Unix seconds.
double UnixTimeSeconds();

}  // namespace tendro
