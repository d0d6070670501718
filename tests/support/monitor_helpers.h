// Reading the log: in-process capture of the log lines and their split into word and text.
#pragma once

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

namespace tendro::test {

// Messages of the monitor that many tests look for.
inline const std::wstring kDown = L"Service or process is down";
inline const std::wstring kPassive = L"Passive mode enabled. No services restarted";

// One log line "Word: timestamp: text".
struct LogLine {
    std::wstring word;
    std::wstring text;
    bool operator==(const LogLine&) const = default;
};
// Shows a line in test failure messages.
void PrintTo(const LogLine& line, std::ostream* out);

// Splits log lines; a line without the two separators keeps its whole content as text.
LogLine ParseLogLine(const std::wstring& line);
std::vector<LogLine> ParseLog(const std::vector<std::wstring>& lines);
// The texts alone, in order.
std::vector<std::wstring> LogTexts(const std::vector<std::wstring>& lines);
// Index of the first line whose text equals `text` at or after `from`; -1 when none does.
int FindText(const std::vector<LogLine>& lines, const std::wstring& text, size_t from = 0);
// The lines from the first one whose text equals `text` on, at most `count` of them.
std::vector<LogLine> LinesFrom(const std::vector<LogLine>& lines, const std::wstring& text,
                               size_t count);
// How many lines have exactly this word and text.
int CountLines(const std::vector<LogLine>& lines, const std::wstring& word,
               const std::wstring& text);

// The "Stopping service %s" and "Starting service %s" lines, in order.
std::vector<std::wstring> ServiceOperations(const std::vector<LogLine>& lines);
// Expected operations: each name stopped in order, then (unless empty) each started in order.
std::vector<std::wstring> StopsThenStarts(const std::vector<std::wstring>& stopped,
                                          const std::vector<std::wstring>& started);

// A service of the host product: the stand-in's executable registered in the service manager
// in its service mode, removed again when the object goes (with its run-time record).
class HostProductService {
public:
    HostProductService(const std::wstring& standInExe, const std::wstring& name);
    ~HostProductService();
    HostProductService(const HostProductService&) = delete;
    HostProductService& operator=(const HostProductService&) = delete;

    const std::wstring& Name() const { return name_; }
    // Starts the service and waits (at most waitMs) until it is RUNNING.
    bool Start(DWORD waitMs = 20000);
    // Asks it to stop, as another program would, and waits until it is STOPPED.
    bool StopFromOutside(DWORD waitMs = 20000);
    DWORD State() const;  // 0 when the query fails
    DWORD Pid() const;    // the service process, 0 for none
    // SERVICE_DEMAND_START, SERVICE_DISABLED, ...
    bool SetStartType(DWORD startType);
    // The run-time record: "ProcessState" and "ProcessID" (0 when missing).
    DWORD RecordedState() const;
    DWORD RecordedPid() const;

private:
    SERVICE_STATUS_PROCESS Status() const;
    bool WaitForState(DWORD state, DWORD waitMs) const;
    std::wstring name_;
    std::wstring exe_;
    HANDLE scm_ = nullptr;
    HANDLE service_ = nullptr;
};

class RunningProgram;
// Waits until the program's output holds `count` lines containing `text`.
bool WaitForLines(RunningProgram& program, const std::wstring& text, int count, DWORD timeoutMs);

// Sends this process's log (standard output as the log sees it) into a temporary file for
// the life of the object; the test framework's own output is not affected.
class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    // Everything logged so far, one entry per line.
    std::vector<std::wstring> RawLines();
    std::vector<LogLine> Lines() { return ParseLog(RawLines()); }
    // Forgets what was logged so far.
    void Clear();

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE previous_ = nullptr;
};

}  // namespace tendro::test
