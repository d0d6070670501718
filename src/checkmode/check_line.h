// The one status line of a check run, in the plugin convention of monitoring agents:
// "TENDRO <STATUS> - <text> | <performance data>", and its exit code.
#pragma once

#include <string>
#include <vector>

namespace tendro {

constexpr int CheckOk = 0;
constexpr int CheckCritical = 2;
constexpr int CheckUnknown = 3;

// What one pass found, before any response.
struct CheckFindings {
    std::vector<std::wstring> up;       // names in group order
    std::vector<std::wstring> down;
    std::vector<std::wstring> unread;   // state could not be read
    std::vector<std::wstring> killed;   // "name (memory)": processes over their limits
    std::vector<std::wstring> actions;  // "group restarted", "db restarted", ... each once
};

struct CheckLine {
    int exitCode = CheckUnknown;
    std::wstring text;  // without the line end
};

// CRITICAL with a service down or a process killed; otherwise UNKNOWN with a state not read;
// otherwise OK.
CheckLine ComposeCheckLine(const CheckFindings& findings);
// "TENDRO UNKNOWN - <reason>", exit code 3.
CheckLine UnknownCheckLine(const std::wstring& reason);

// A text made fit for the line: line breaks and tabs become blanks, runs of blanks one, no
// blanks at the ends, and "|" (which begins the performance data) becomes "/".
std::wstring OneLineText(const std::wstring& text);

}  // namespace tendro
