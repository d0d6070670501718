#include "metrics/metrics_text.h"

#include <charconv>

#include "common/handle.h"
#include "common/text.h"

namespace tendro {

namespace {

// Go's and Prometheus' own float syntax: the shortest text that reads back as the value.
std::string Number(double value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, result.ptr);
}

std::string Number(uint64_t value) { return std::to_string(value); }
std::string Number(int64_t value) { return std::to_string(value); }
std::string Number(uint32_t value) { return std::to_string(value); }

void Family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void Sample(std::string& out, const char* name, const std::string& labels,
            const std::string& value) {
    out += name;
    out += '{' + labels + '}';
    out += ' ';
    out += value;
    out += '\n';
}

constexpr const char* KillReasonWords[] = {"memory", "cpu", "hung"};

// A metric with one sample per service: its value, or none for a service that has no
// sample of it.
struct ServiceFamily {
    const char* name;
    const char* type;
    const char* help;
    std::optional<std::string> (*value)(const ServiceMetrics&);
};

// The texts below are read by collectors that compare them across files: never reword them.
constexpr ServiceFamily ServiceFamilies[] = {
    {"tendro_service_up", "gauge",
     "1 when the last pass found the service up, 0 when it found it down or could not read "
     "its state.",
     [](const ServiceMetrics& s) -> std::optional<std::string> {
         if (!s.checked) return std::nullopt;
         return s.up ? "1" : "0";
     }},
    {"tendro_service_state", "gauge",
     "The service manager's state of the service (1 stopped to 7 paused), 0 when it could not "
     "be read.",
     [](const ServiceMetrics& s) -> std::optional<std::string> {
         if (!s.checked) return std::nullopt;
         return Number(s.state);
     }},
    {"tendro_service_restarts_total", "counter",
     "Failure responses the service caused since start-up.",
     [](const ServiceMetrics& s) -> std::optional<std::string> { return Number(s.restarts); }},
    {"tendro_service_last_restart_timestamp_seconds", "gauge",
     "When the service last caused a failure response, in seconds since 1970-01-01 UTC; 0 "
     "when it has caused none since start-up.",
     [](const ServiceMetrics& s) -> std::optional<std::string> {
         return Number(s.lastRestartSeconds);
     }},
    {"tendro_service_start_failures_total", "counter",
     "Starts of the service in failure responses that failed, since start-up.",
     [](const ServiceMetrics& s) -> std::optional<std::string> {
         return Number(s.startFailures);
     }},
    {"tendro_service_restart_hold_seconds", "gauge",
     "Seconds left of the hold on the service's restarts, 0 when they are not held.",
     [](const ServiceMetrics& s) -> std::optional<std::string> {
         return Number(s.holdSecondsLeft);
     }},
    {"tendro_process_kills_total", "counter",
     "Processes of the service terminated since start-up, by reason.", nullptr},  // below
    {"tendro_process_working_set_bytes", "gauge",
     "Working set of the service's process, for services measured in the last pass.",
     [](const ServiceMetrics& s) -> std::optional<std::string> {
         if (!s.workingSetBytes) return std::nullopt;
         return Number(*s.workingSetBytes);
     }},
    {"tendro_process_cpu_percent", "gauge",
     "CPU load of the service's process over one second, for services measured in the last "
     "pass.",
     [](const ServiceMetrics& s) -> std::optional<std::string> {
         if (!s.cpuPercent) return std::nullopt;
         return Number(*s.cpuPercent);
     }},
};

// A metric of the instance as a whole: one sample, labelled with the instance only.
struct ProgramSample {
    const char* name;
    const char* type;
    const char* help;
    std::string value;
};

// Moves that meet a reader holding the file open (without delete sharing) are tried again
// for a short while.
constexpr int MoveAttempts = 10;
constexpr DWORD MoveRetryMilliseconds = 20;

}  // namespace

std::string EscapeLabelValue(std::wstring_view value) {
    std::string utf8 = ToNarrow(value, CP_UTF8);
    std::string escaped;
    escaped.reserve(utf8.size() + 4);
    for (char c : utf8) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

std::string FormatMetrics(const PassMetrics& metrics) {
    const std::string instance = "tendro=\"" + EscapeLabelValue(metrics.instance) + "\"";
    std::string out;
    for (const ServiceFamily& family : ServiceFamilies) {
        Family(out, family.name, family.type, family.help);
        for (const ServiceMetrics& s : metrics.services) {
            const std::string labels =
                instance + ",service=\"" + EscapeLabelValue(s.name) + "\"";
            if (!family.value) {
                for (size_t reason = 0; reason < s.kills.size(); ++reason)
                    Sample(out, family.name,
                           labels + ",reason=\"" + KillReasonWords[reason] + "\"",
                           Number(s.kills[reason]));
            } else if (auto value = family.value(s)) {
                Sample(out, family.name, labels, *value);
            }
        }
    }

    const ProgramSample program[] = {
        {"tendro_running", "gauge",
         "1 while Tendro watches the group, 0 in the last write of a Tendro that has stopped.",
         metrics.running ? "1" : "0"},
        {"tendro_passes_total", "counter", "Monitor passes since start-up.",
         Number(metrics.passes)},
        {"tendro_pass_duration_seconds", "gauge", "How long the last pass took.",
         Number(metrics.passDurationSeconds)},
        {"tendro_last_pass_timestamp_seconds", "gauge",
         "When the last pass ended, in seconds since 1970-01-01 UTC.",
         Number(metrics.lastPassTimestampSeconds)},
        {"tendro_paused", "gauge",
         "1 while the Tendro service is paused (nothing is stopped, started or killed).",
         metrics.paused ? "1" : "0"},
    };
    for (const ProgramSample& sample : program) {
        Family(out, sample.name, sample.type, sample.help);
        Sample(out, sample.name, instance, sample.value);
    }
    return out;
}

std::wstring MetricsInstanceName(std::wstring_view path) {
    const size_t slash = path.find_last_of(L"\\/");
    std::wstring name(slash == std::wstring_view::npos ? path : path.substr(slash + 1));
    constexpr std::wstring_view Extension = L".prom";
    if (name.size() > Extension.size() &&
        ::CompareStringOrdinal(name.c_str() + name.size() - Extension.size(),
                               static_cast<int>(Extension.size()), Extension.data(),
                               static_cast<int>(Extension.size()), TRUE) == CSTR_EQUAL)
        name.resize(name.size() - Extension.size());
    return name;
}

namespace {

// Beside the file, so that the move is a rename within one folder; a name a textfile reader
// (which takes *.prom) passes over.
std::wstring TemporaryPath(const std::wstring& path) {
    return path + L"." + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
}

}  // namespace

DWORD CanWriteBeside(const std::wstring& path) {
    Handle file(::CreateFileW(TemporaryPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE,
                              nullptr));
    return file ? ERROR_SUCCESS : ::GetLastError();
}

DWORD ReplaceFileContent(const std::wstring& path, std::string_view content) {
    std::wstring temporary = TemporaryPath(path);
    DWORD error = ERROR_SUCCESS;
    {
        Handle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return ::GetLastError();  // nothing was created
        const char* data = content.data();
        size_t remaining = content.size();
        while (remaining > 0 && error == ERROR_SUCCESS) {
            DWORD chunk = remaining > 0x40000000 ? 0x40000000 : static_cast<DWORD>(remaining);
            DWORD written = 0;
            if (!::WriteFile(file.get(), data, chunk, &written, nullptr))
                error = ::GetLastError();
            else if (written == 0)
                error = ERROR_WRITE_FAULT;
            data += written;
            remaining -= written;
        }
        if (error == ERROR_SUCCESS && !::FlushFileBuffers(file.get())) error = ::GetLastError();
    }
    if (error == ERROR_SUCCESS) {
        for (int attempt = 1;; ++attempt) {
            if (::MoveFileExW(temporary.c_str(), path.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                return ERROR_SUCCESS;
            error = ::GetLastError();
            if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
                attempt == MoveAttempts)
                break;
            ::Sleep(MoveRetryMilliseconds);
        }
    }
    ::DeleteFileW(temporary.c_str());
    return error;
}

double UnixTimeSeconds() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    constexpr uint64_t UnixEpochTicks = 116444736000000000ull;  // 1970-01-01 in 100 ns units
    return static_cast<double>(ticks - UnixEpochTicks) / 1e7;
}

}  // namespace tendro
