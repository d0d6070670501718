#include "cmdline/cmdline_parser.h"

#include <climits>
#include <cstdint>
#include <cwctype>
#include <vector>

#include "log/log.h"
#include "sysinfo/processor_report.h"

namespace tendro {

namespace {

// Reads a decimal integer as the C runtime's "%d" does: leading white space, an optional
// sign, digits up to the first other character. No digits, or a value outside the signed
// 32-bit range, leaves the field unchanged.
void ReadNumber(const wchar_t* value, int32_t& field) {
    if (value == nullptr) return;
    const wchar_t* p = value;
    while (*p == L' ' || (*p >= L'\t' && *p <= L'\r')) ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-') negative = (*p++ == L'-');
    if (*p < L'0' || *p > L'9') return;
    int64_t number = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        number = number * 10 + (*p - L'0');
        if (number > static_cast<int64_t>(INT32_MAX) + 1) return;
    }
    if (negative) number = -number;
    if (number < INT32_MIN || number > INT32_MAX) return;
    field = static_cast<int32_t>(number);
}

void LogIfVerbose(uint32_t level, const std::wstring& text) {
    if (Verbosity >= level) WriteLog(level, text);
}

}  // namespace

wchar_t OptionLetter(const wchar_t* argument) {
    if (argument[0] != L'-' && argument[0] != L'/') return 0;
    wchar_t letter = argument[1];
    if (letter >= L'a' && letter <= L'z') letter = static_cast<wchar_t>(letter - 32);
    return letter;
}

// Matches the whole of "server=user:pwd@domain" with the meaning of the pattern
// (\S*?)=(\S+?)(?:\:(.+))(@\S+): the server is the text before the first '=' that lets the
// rest match, the user runs to the next ':', the domain follows the last '@', and the password
// is everything between. Written out by hand so that any length of input is matched in linear
// time without recursion.
std::optional<CredentialParts> MatchCredentials(std::wstring_view text) {
    const size_t n = text.size();
    auto blank = [](wchar_t c) { return std::iswspace(c) != 0; };
    for (wchar_t c : text)
        if (c == L'\n' || c == L'\r' || c == L'\u2028' || c == L'\u2029') return std::nullopt;

    // The domain: after the last '@' that is followed only by non-blank characters.
    size_t lastBlank = std::wstring_view::npos;
    for (size_t i = 0; i < n; ++i)
        if (blank(text[i])) lastBlank = i;
    size_t at = std::wstring_view::npos;
    for (size_t i = n; i-- > 0;) {
        if (lastBlank != std::wstring_view::npos && i <= lastBlank) break;
        if (text[i] == L'@' && i + 1 < n) {
            at = i;
            break;
        }
    }
    if (at == std::wstring_view::npos) return std::nullopt;

    // Blanks before each position, and the next ':' from each position.
    std::vector<size_t> blanksBefore(n + 1, 0);
    for (size_t i = 0; i < n; ++i) blanksBefore[i + 1] = blanksBefore[i] + (blank(text[i]) ? 1 : 0);
    auto solid = [&](size_t from, size_t to) { return blanksBefore[to] == blanksBefore[from]; };
    std::vector<size_t> nextColon(n + 1, std::wstring_view::npos);
    for (size_t i = n; i-- > 0;) nextColon[i] = text[i] == L':' ? i : nextColon[i + 1];

    for (size_t eq = 0; eq < n && !blank(text[eq]); ++eq) {
        if (text[eq] != L'=') continue;
        size_t colon = eq + 2 <= n ? nextColon[eq + 2] : std::wstring_view::npos;
        if (colon == std::wstring_view::npos || colon + 1 >= at) continue;
        if (!solid(eq + 1, colon)) continue;
        return CredentialParts{eq, colon, at};
    }
    return std::nullopt;
}

CmdLineParser::~CmdLineParser() { ErasePasswords(); }

int32_t CmdLineParser::ParseCommandLine(wchar_t** argv, int argc,
                                        const LocalMachineNames& localNames) {
    for (int i = 1; i < argc; ++i) {
        const wchar_t* argument = argv[i];
        if (argument == nullptr) continue;
        wchar_t* value = (i + 1 < argc) ? argv[i + 1] : nullptr;
        switch (OptionLetter(argument)) {
            case L'A': flags |= MonitorAll; break;
            case L'C': ReadNumber(value, cpuThreshold); break;
            case L'D': flags |= RereadList; break;
            case L'E': if (value) excludedServices.emplace_back(value); break;
            case L'F': ReadNumber(value, frequency); break;
            case L'G': if (value) flags |= RestartFromFailure; break;
            case L'H': flags |= ShowHelp; break;
            case L'I': ReadNumber(value, ignoreIntervals); break;
            case L'J': flags |= StopOnly; break;
            case L'K': flags |= SkipManualStopped; break;
            case L'L': if (value) ReadCredentials(value, localNames); break;
            case L'M': ReadNumber(value, memoryThreshold); break;
            case L'O': flags |= RunOnce; break;
            case L'P': flags |= PassiveMode; break;
            case L'Q': flags |= QuietMode; break;
            case L'R': flags |= RestartFailedOnly; break;
            case L'S': if (value) specifiedServices.emplace_back(value); break;
            case L'V': flags |= VerboseMode; break;
            default: break;
        }
    }
    return 0;
}

void CmdLineParser::ReadCredentials(wchar_t* argument, const LocalMachineNames& localNames) {
    std::wstring_view text(argument);
    std::optional<CredentialParts> parts = MatchCredentials(text);
    if (!parts) return;

    std::wstring machine(text.substr(0, parts->equals));
    if (localNames.count(machine) != 0) machine.clear();
    logonUsers[machine] = std::wstring(text.substr(parts->equals + 1, parts->colon - parts->equals - 1)) +
                          std::wstring(text.substr(parts->at));

    std::wstring password(text.substr(parts->colon + 1, parts->at - parts->colon - 1));
    std::wstring& stored = passwords[machine];
    SecureErase(stored);
    stored = password;
    SecureErase(password);

    for (size_t i = parts->colon + 1; i < parts->at; ++i) argument[i] = L'*';
}

void CmdLineParser::ErasePasswords() {
    for (auto& entry : passwords) SecureErase(entry.second);
    passwords.clear();
}

void CmdLineParser::PrintSettings() const {
    auto choose = [this](Flag flag, const wchar_t* set, const wchar_t* unset) {
        LogIfVerbose(LogInit, Has(flag) ? set : unset);
    };
    choose(RunOnce, L"Monitoring services only once", L"Monitoring services continually");
    choose(VerboseMode, L"Output verbosity is high", L"Output verbosity is low");
    choose(PassiveMode, L"Passive mode is enabled", L"Passive mode is disabled");
    choose(RestartFailedOnly, L"Group restart is disabled", L"Group restart is enabled");
    choose(StopOnly, L"On failure services will be stopped",
           L"On failure services will be restarted");
    choose(SkipManualStopped, L"Manual start stopped services will be ignored",
           L"Manual start stopped services will be checked");
    choose(RereadList, L"List of monitored services will be refreshed every monitor cycle",
           L"List of monitored services will be filled only on start");
    choose(RestartFromFailure, L"On group restart services will be restarted from failure point",
           L"On group restart all services will be restarted");

    if (memoryThreshold >= 0) {
        WriteLogFormat(LogInit, L"Memory monitoring enabled at %d MB per process", memoryThreshold);
        LogIfVerbose(LogInit, FormatText(L"High memory will be ignored for %d monitoring intervals "
                                         L"(%d x %d seconds)",
                                         ignoreIntervals, frequency, ignoreIntervals));
    } else {
        LogIfVerbose(LogInfo, L"Memory monitoring disabled");
    }

    if (cpuThreshold >= 0) {
        LogIfVerbose(LogInfo, FormatText(L"CPU load monitoring enabled at %d%%", cpuThreshold));
        LogIfVerbose(LogInit, FormatText(L"High CPU load will be ignored for %d monitoring "
                                         L"intervals (%d x %d seconds)",
                                         ignoreIntervals, frequency, ignoreIntervals));
        PrintProcessorReport();
    } else {
        LogIfVerbose(LogInfo, L"CPU load monitoring disabled");
    }
}

std::wstring UsageText() {
    return L"Corvanta Tendro: Service Monitoring Utility v2.6.0\n"
           L"Copyright (c) 2026 Corvanta Technologies. All rights reserved.\n"
           L"\n"
           L"Usage:   Tendro.exe [OPTION] ... \n"
           L"\n"
           L"Options: -a: Monitor all Corvanta services \n"
           L"         -c: High CPU load threshold (as a percentage)\n"
           L"         -d: Rereading list of services every monitor cycle. Use with -a option\n"
           L"         -e: Service short name to exclude from monitoring.\n"
           L"             One or more -e can be supplied\n"
           L"         -f: Monitoring frequency (in seconds, default is 30)\n"
           L"         -g: Don't restart all services in group.\n"
           L"             Only restart from first failed service\n"
           L"         -h: This help\n"
           L"         -i: Ignore high CPU/Memory for n x monitored intervals (default is 0)\n"
           L"         -j: Just stop monitored services. No restart\n"
           L"         -k: Ignore services which are manual start and stopped\n"
           L"         -l: User credentials for connecting to a remote service.\n"
           L"             Multiple -l can be supplied.\n"
           L"             Format: server=user:pwd@domain\n"
           L"         -m: High memory threshold (in MB)\n"
           L"         -o: Run once. Don't continually monitor\n"
           L"         -p: Passive monitoring - don't restart anything\n"
           L"         -q: Quiet mode. No log output\n"
           L"         -r: Just restart the failed service not the group\n"
           L"         -s: Service short name. One or more -s can be supplied.\n"
           L"             Remote services may be specified as: \\\\server\\service\n"
           L"         -v: Verbose. Dump additional status info\n"
           L"\n"
           L"Purpose: Keeps groups of Windows and Corvanta services up.\n"
           L"         If a subprocess crashes or a service is stopped then\n"
           L"         all the services in the group are restarted.\n"
           L"\n"
           L"Notes:   The service short name should not contain spaces.\n"
           L"\n"
           L"         CPU load is calculated once across each monitored interval\n"
           L"         as specified by the -f option. If a process' CPU load\n"
           L"         exceeds the threshold as specified by -c it is killed.\n"
           L"         The threshold can be ignored for a specific number of\n"
           L"         monitoring intervals by specifying the -i option. The\n"
           L"         process will only be killed if it exceeded the monitored\n"
           L"         threshold every time the CPU load was calculated across\n"
           L"         the ignored intervals. For example: -f 30 -c 50 -i 5\n"
           L"         means monitor every 30 seconds and when the CPU usage for\n"
           L"         the process is 50%% across each of the 5 monitored \n"
           L"         intervals (ie 30 x 5 = 150 seconds) then kill it. Note \n"
           L"         that -i also works in conjunction with -m.\n"
           L"\n"
           L"Example: Tendro.exe -f 5 -s service1 -s service2 -v\n"
           L"\n"
           L"URL:     https://www.corvanta.example/tendro\n"
           L"Support: support@corvanta.example\n"
           L"Bugs:    Please report bugs/features via the URL above.\n";
}

void PrintUsage() {
    // The usage text is a format of its own: its "%%" prints as one percent sign.
    std::wstring format = UsageText();
    WriteConsoleText(STD_OUTPUT_HANDLE, FormatText(format.c_str()));
}

}  // namespace tendro
