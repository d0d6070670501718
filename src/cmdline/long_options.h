// Long options (--name, --name=value): every capability beyond the single letters. They are
// read apart from ParseCommandLine, which passes over any "--..." argument.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tendro {

// Where a probe goes: tcp://HOST:PORT, http://HOST:PORT/PATH or https://HOST:PORT/PATH.
struct ProbeTarget {
    enum Scheme { Tcp, Http, Https };
    Scheme scheme = Tcp;
    std::wstring host;  // without the brackets of an IPv6 literal
    uint16_t port = 0;
    std::wstring path;  // http and https: "/" when the URL has none; empty for tcp
};

struct ProbeOption {
    std::wstring service;  // the name as given in --probe=SERVICE=URL
    std::wstring url;      // the URL as given
    ProbeTarget target;
};

struct RestartLimit {
    int32_t failures = 0;  // N
    int32_t seconds = 0;   // SECONDS
};

struct LongOptions {
    bool help = false;                         // --help
    bool watch = false;                        // --watch
    bool killHung = false;                     // --kill-hung
    std::optional<RestartLimit> restartLimit;  // --restart-limit=N/SECONDS
    std::wstring metricsPath;                  // --metrics=PATH (empty: no metrics file)
    bool check = false;                        // --check
    std::vector<ProbeOption> probes;           // --probe=SERVICE=URL, one per service
    int32_t probeTimeoutMs = 2000;             // --probe-timeout=MS
    int32_t probeFailures = 1;                 // --probe-failures=N
    std::wstring logFile;                      // --log-file=PATH (empty: no log file)
    int32_t logSizeMb = 10;                    // --log-size=MB
    int32_t logKeep = 5;                       // --log-keep=N
    int32_t pauseLimitSeconds = 3600;          // --pause-limit=SECONDS (a service's pause)
    bool eventLog = false;                     // --event-log (a Tendro service writes always)
    // Commands instead of a run (src/servicemode): not counted by Any().
    std::wstring install;    // --install=NAME
    std::wstring account;    // --account=USER
    std::wstring uninstall;  // --uninstall=NAME
    bool uninstallAll = false;  // --uninstall-all: every service that runs this tendro.exe
    std::wstring service;    // --service=NAME: run as the service NAME

    // True when any option is given that changes what the monitor does.
    bool Any() const;
};

// Reads every argument that begins with "--" (also one that a single-letter option took as
// its value, as the single letters are read). Returns the level-0 refusal text naming the
// option and the value for an unknown option or a bad value; nothing when all are good.
std::optional<std::wstring> ParseLongOptions(int argc, wchar_t** argv, LongOptions& options);

// True when an argument is the --check option (with or without a value), whatever else the
// command line holds: a run asked to be a check answers every start-up failure as one.
bool CheckRequested(int argc, wchar_t** argv);

// Parses a probe URL; false when it is not one of the accepted forms.
bool ParseProbeUrl(const std::wstring& url, ProbeTarget& target);

// True for a long option whose value is a file path (NAME without the "--").
bool TakesPath(std::wstring_view name);

// The section that --help prints after the usage text: one line per long option.
std::wstring LongOptionsHelpText();

}  // namespace tendro
