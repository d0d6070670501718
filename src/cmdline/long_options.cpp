#include "cmdline/long_options.h"

#include <climits>
#include <cwctype>
#include <string_view>

#include "common/text.h"

namespace tendro {

namespace {

// A whole decimal number from `low` to `high`: digits only, no sign, no blanks.
bool ReadNumber(std::wstring_view text, int64_t low, int64_t high, int64_t& value) {
    if (text.empty() || text.size() > 10) return false;
    int64_t result = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        result = result * 10 + (c - L'0');
    }
    if (result < low || result > high) return false;
    value = result;
    return true;
}

bool ReadRestartLimit(const std::wstring& value, LongOptions& options) {
    size_t slash = value.find(L'/');
    if (slash == std::wstring::npos) return false;
    int64_t failures = 0, seconds = 0;
    if (!ReadNumber(std::wstring_view(value).substr(0, slash), 1, INT32_MAX, failures) ||
        !ReadNumber(std::wstring_view(value).substr(slash + 1), 1, INT32_MAX, seconds))
        return false;
    options.restartLimit = RestartLimit{static_cast<int32_t>(failures),
                                        static_cast<int32_t>(seconds)};
    return true;
}

bool ReadProbe(const std::wstring& value, LongOptions& options) {
    size_t equals = value.find(L'=');
    if (equals == 0 || equals == std::wstring::npos) return false;
    ProbeOption probe{value.substr(0, equals), value.substr(equals + 1), {}};
    if (!ParseProbeUrl(probe.url, probe.target)) return false;
    // One probe per service: a later one for the same name replaces the earlier.
    for (ProbeOption& existing : options.probes) {
        if (EqualsNoCase(existing.service, probe.service)) {
            existing = std::move(probe);
            return true;
        }
    }
    options.probes.push_back(std::move(probe));
    return true;
}

bool ReadBounded(const std::wstring& value, int64_t low, int64_t high, int32_t& field) {
    int64_t number = 0;
    if (!ReadNumber(value, low, high, number)) return false;
    field = static_cast<int32_t>(number);
    return true;
}

bool ReadServiceName(const std::wstring& value, std::wstring& field) {
    if (value.empty() || value.size() > 256 || value.find_first_of(L"\\/") != std::wstring::npos)
        return false;
    field = value;
    return true;
}

struct OptionEntry {
    const wchar_t* name;
    const wchar_t* valueForm;  // nullptr: the option takes no value
    const wchar_t* expected;   // what a good value is, for the refusal
    bool (*read)(const std::wstring& value, LongOptions& options);
    const wchar_t* help;
};

const OptionEntry Options[] = {
    {L"help", nullptr, nullptr, [](const std::wstring&, LongOptions& o) { return o.help = true; },
     L"This help, followed by the long options. Example: tendro.exe --help"},
    {L"watch", nullptr, nullptr, [](const std::wstring&, LongOptions& o) { return o.watch = true; },
     L"Start the next pass at once when a service of the group stops or its process ends. "
     L"Example: tendro.exe -f 30 --watch -s web"},
    {L"kill-hung", nullptr, nullptr,
     [](const std::wstring&, LongOptions& o) { return o.killHung = true; },
     L"End the process of a local service whose stop does not finish. "
     L"Example: tendro.exe --kill-hung -s web"},
    {L"restart-limit", L"N/SECONDS", L"N/SECONDS, each a whole number from 1 to 2147483647",
     ReadRestartLimit,
     L"Hold the restarts of a service that failed N times within SECONDS seconds. "
     L"Example: tendro.exe --restart-limit=3/600 -s web"},
    {L"metrics", L"PATH", L"a file path", [](const std::wstring& v, LongOptions& o) {
         o.metricsPath = v;
         return !v.empty();
     },
     L"Write the metrics of every pass to PATH (Prometheus text format). Example: "
     L"tendro.exe --metrics=\"C:\\Program Files\\windows_exporter\\textfile_inputs\\tendro.prom\" -s web"},
    {L"check", nullptr, nullptr, [](const std::wstring&, LongOptions& o) { return o.check = true; },
     L"With -o: print one status line for a monitoring agent and exit 0 (OK), 2 (CRITICAL) or "
     L"3 (UNKNOWN). Example: tendro.exe -o --check -s web"},
    {L"probe", L"SERVICE=URL",
     L"SERVICE=URL with URL tcp://HOST:PORT, http://HOST:PORT/PATH or https://HOST:PORT/PATH "
     L"and PORT from 1 to 65535",
     ReadProbe,
     L"Count a running service as down when its probe fails; one per service, may be repeated. "
     L"Example: tendro.exe --probe=web=http://127.0.0.1:8080/health -s web"},
    {L"probe-timeout", L"MS", L"a whole number of milliseconds from 1 to 60000",
     [](const std::wstring& v, LongOptions& o) { return ReadBounded(v, 1, 60000, o.probeTimeoutMs); },
     L"The limit of one probe in milliseconds (default 2000). Example: --probe-timeout=500"},
    {L"probe-failures", L"N", L"a whole number from 1 to 2147483647",
     [](const std::wstring& v, LongOptions& o) { return ReadBounded(v, 1, INT32_MAX, o.probeFailures); },
     L"Passes in a row with a failed probe before the service is down (default 1). "
     L"Example: --probe-failures=2"},
    {L"log-file", L"PATH", L"a file path", [](const std::wstring& v, LongOptions& o) {
         o.logFile = v;
         return !v.empty();
     },
     L"Also write the log to PATH (UTF-8, CR LF), rotated by --log-size and --log-keep. "
     L"Example: tendro.exe --log-file=C:\\ProgramData\\Tendro\\web.log -s web"},
    {L"log-size", L"MB", L"a whole number of megabytes from 1 to 4096",
     [](const std::wstring& v, LongOptions& o) { return ReadBounded(v, 1, 4096, o.logSizeMb); },
     L"Rotate the log file before a line would take it past MB megabytes (default 10). "
     L"Example: --log-size=50"},
    {L"log-keep", L"N", L"a whole number from 0 to 100",
     [](const std::wstring& v, LongOptions& o) { return ReadBounded(v, 0, 100, o.logKeep); },
     L"Rotated log files kept, PATH.1 (the newest) to PATH.N (default 5). "
     L"Example: --log-keep=10"},
    {L"pause-limit", L"SECONDS", L"a whole number of seconds from 1 to 86400",
     [](const std::wstring& v, LongOptions& o) { return ReadBounded(v, 1, 86400, o.pauseLimitSeconds); },
     L"As a service: a pause (sc pause) ends by itself after SECONDS (default 3600). "
     L"Example: --pause-limit=600"},
    {L"event-log", nullptr, nullptr,
     [](const std::wstring&, LongOptions& o) { return o.eventLog = true; },
     L"Also write what happens (start, stop, outages, responses) to the Application event "
     L"log, source Tendro; a Tendro service always does. Example: tendro.exe --event-log -s web"},
    {L"install", L"NAME", L"a service name (no \\ or /)",
     [](const std::wstring& v, LongOptions& o) { return ReadServiceName(v, o.install); },
     L"Register the service NAME that runs Tendro with the other options (--account=USER: "
     L"its account, the password read from standard input). Example: "
     L"tendro.exe --install=TendroWeb -f 30 -s web"},
    {L"account", L"USER", L"an account name",
     [](const std::wstring& v, LongOptions& o) { return !(o.account = v).empty(); },
     L"With --install: the account of the service (default LocalSystem). Example: "
     L"tendro.exe --install=TendroWeb --account=\"NT AUTHORITY\\LocalService\" -s web"},
    {L"uninstall", L"NAME", L"a service name (no \\ or /)",
     [](const std::wstring& v, LongOptions& o) { return ReadServiceName(v, o.uninstall); },
     L"Stop and remove the Tendro service NAME. Example: tendro.exe --uninstall=TendroWeb"},
    {L"uninstall-all", nullptr, nullptr,
     [](const std::wstring&, LongOptions& o) { return o.uninstallAll = true; },
     L"Stop and remove every Tendro service that runs this tendro.exe (the installer's "
     L"uninstall runs it). Example: tendro.exe --uninstall-all"},
    {L"service", L"NAME", L"a service name (no \\ or /)",
     [](const std::wstring& v, LongOptions& o) { return ReadServiceName(v, o.service); },
     L"How the service manager runs the Tendro service NAME (installed with --install)."},
};

}  // namespace

bool LongOptions::Any() const {
    return help || watch || killHung || restartLimit || !metricsPath.empty() || check ||
           !probes.empty() || probeTimeoutMs != 2000 || probeFailures != 1 ||
           !logFile.empty() || logSizeMb != 10 || logKeep != 5 || eventLog;
}

bool CheckRequested(int argc, wchar_t** argv) {
    for (int i = 1; i < argc && argv[i]; ++i) {
        std::wstring_view argument(argv[i]);
        if (argument == L"--check" || argument.starts_with(L"--check=")) return true;
    }
    return false;
}

bool ParseProbeUrl(const std::wstring& url, ProbeTarget& target) {
    ProbeTarget result;
    std::wstring_view rest(url);
    size_t schemeEnd = rest.find(L"://");
    if (schemeEnd == std::wstring_view::npos) return false;
    std::wstring_view scheme = rest.substr(0, schemeEnd);
    if (EqualsNoCase(scheme, L"tcp"))
        result.scheme = ProbeTarget::Tcp;
    else if (EqualsNoCase(scheme, L"http"))
        result.scheme = ProbeTarget::Http;
    else if (EqualsNoCase(scheme, L"https"))
        result.scheme = ProbeTarget::Https;
    else
        return false;
    rest.remove_prefix(schemeEnd + 3);

    // The authority ends at the path, the query or the fragment; the fragment is never sent.
    size_t pathStart = rest.find_first_of(L"/?#");
    std::wstring_view authority = rest.substr(0, pathStart);
    std::wstring_view path =
        pathStart == std::wstring_view::npos ? std::wstring_view() : rest.substr(pathStart);
    path = path.substr(0, path.find(L'#'));
    if (authority.find(L'@') != std::wstring_view::npos) return false;  // no user information

    size_t colon;
    if (!authority.empty() && authority.front() == L'[') {
        size_t close = authority.find(L']');
        if (close == std::wstring_view::npos || close == 1) return false;
        result.host = std::wstring(authority.substr(1, close - 1));
        if (close + 1 >= authority.size() || authority[close + 1] != L':') return false;
        colon = close + 1;
    } else {
        colon = authority.rfind(L':');
        if (colon == std::wstring_view::npos || colon == 0) return false;
        result.host = std::wstring(authority.substr(0, colon));
        if (result.host.find(L':') != std::wstring::npos) return false;
    }
    for (wchar_t c : result.host)
        if (std::iswspace(c) || c < 0x20 || c == 0x7f || c == L'[' || c == L']' || c == L'\\')
            return false;
    int64_t port = 0;
    if (!ReadNumber(authority.substr(colon + 1), 1, 65535, port)) return false;
    result.port = static_cast<uint16_t>(port);

    if (result.scheme == ProbeTarget::Tcp) {
        if (!path.empty() && path != L"/") return false;
    } else {
        for (wchar_t c : path)
            if (std::iswspace(c) || c < 0x20 || c == 0x7f) return false;
        result.path = std::wstring(path);
        if (result.path.empty() || result.path.front() != L'/') result.path.insert(0, L"/");
    }
    target = std::move(result);
    return true;
}

std::optional<std::wstring> ParseLongOptions(int argc, wchar_t** argv, LongOptions& options) {
    for (int i = 1; i < argc && argv[i]; ++i) {
        // Only long options are copied: other arguments may hold credentials.
        if (argv[i][0] != L'-' || argv[i][1] != L'-') continue;
        std::wstring argument = argv[i];
        size_t equals = argument.find(L'=');
        std::wstring name = argument.substr(2, equals == std::wstring::npos ? std::wstring::npos
                                                                            : equals - 2);
        const OptionEntry* entry = nullptr;
        for (const OptionEntry& candidate : Options)
            if (name == candidate.name) entry = &candidate;
        if (!entry) return L"Unknown option " + argument;
        std::wstring option = L"--" + name;
        if (!entry->valueForm) {
            if (equals != std::wstring::npos)
                return L"Option " + option + L" takes no value: \"" + argument.substr(equals + 1) +
                       L"\"";
            entry->read(std::wstring(), options);
            continue;
        }
        if (equals == std::wstring::npos)
            return L"Option " + option + L" needs a value: " + option + L"=" + entry->valueForm;
        std::wstring value = argument.substr(equals + 1);
        if (!entry->read(value, options))
            return L"Invalid value for option " + option + L": \"" + value + L"\" (expected " +
                   entry->expected + L")";
    }
    return std::nullopt;
}

bool TakesPath(std::wstring_view name) {
    for (const OptionEntry& entry : Options)
        if (name == entry.name) return entry.valueForm && std::wstring_view(entry.valueForm) == L"PATH";
    return false;
}

std::wstring LongOptionsHelpText() {
    std::wstring text = L"Long options:\n";
    for (const OptionEntry& entry : Options) {
        std::wstring form = std::wstring(L"--") + entry.name;
        if (entry.valueForm) form += std::wstring(L"=") + entry.valueForm;
        text += L"         " + form + L"\n             " + entry.help + L"\n";
    }
    return text;
}

}  // namespace tendro
