// The log: one timestamped line per message, written to the sinks that the run installs (the
// console, the log file, the capture of the check mode). Without sinks installed it writes to
// the console: UTF-16 on standard output.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tendro {

// Levels: 0 "Err!" (always printed), 1 "Init" (not in quiet mode), 2 "Info" (verbose only).
constexpr uint32_t LogError = 0;
constexpr uint32_t LogInit = 1;
constexpr uint32_t LogInfo = 2;

// Process-wide verbosity: a message of level L prints when L <= Verbosity.
extern uint32_t Verbosity;

// Fills the level-word table; done once at start-up before anything is logged.
void SetLevelWord(uint32_t level, std::wstring word);

// Writes one line unconditionally: "<word>: <local time>: <text>".
void WriteLog(uint32_t level, const std::wstring& text);
// Copies the texts of the Err! lines that this thread logs while it lives (the log goes where
// it went).
class ErrorCapture {
public:
    ErrorCapture();
    ~ErrorCapture();
    ErrorCapture(const ErrorCapture&) = delete;
    ErrorCapture& operator=(const ErrorCapture&) = delete;
    std::vector<std::wstring> texts;

private:
    ErrorCapture* previous_;
};

// Formats one argument into the message and logs it when level <= Verbosity.
void WriteLogFormat(uint32_t level, const wchar_t* format, const std::wstring& argument);
void WriteLogFormat(uint32_t level, const wchar_t* format, int32_t argument);
// Verbose-only detail line with one floating-point value, always at level 2.
void WriteLogDetail(const wchar_t* format, double value);

// The system's one-line text for a Windows error code.
std::wstring WindowsErrorText(DWORD code);

// Raw output outside the log: the usage text (STD_OUTPUT_HANDLE) and the error lines of
// standard error (STD_ERROR_HANDLE), "\n" as the line end. It goes to the installed sinks.
void WriteConsoleText(DWORD stdHandle, std::wstring_view text);

// Where the log goes. A sink may be called from any thread that logs.
class LogSink {
public:
    virtual ~LogSink() = default;
    // One log line: its level, its text and the whole line as the console shows it
    // ("<word>: <time>: <text>\n").
    virtual void WriteLine(uint32_t level, const std::wstring& text, const std::wstring& line) = 0;
    // Raw text for a standard handle (see WriteConsoleText); dropped unless overridden.
    virtual void WriteText(DWORD stdHandle, std::wstring_view text) { (void)stdHandle, (void)text; }
};

// The console: log lines and the usage text on `logHandle` (STD_OUTPUT_HANDLE or
// STD_ERROR_HANDLE), standard error's lines on standard error. UTF-16; redirected, UTF-16LE
// without a byte-order mark with "\n" written as CR LF.
class ConsoleSink final : public LogSink {
public:
    explicit ConsoleSink(DWORD logHandle = STD_OUTPUT_HANDLE) : logHandle_(logHandle) {}
    void WriteLine(uint32_t level, const std::wstring& text, const std::wstring& line) override;
    void WriteText(DWORD stdHandle, std::wstring_view text) override;

private:
    DWORD logHandle_;
};

// The sinks of a run, installed for the life of the object (the set installed before comes
// back when it goes). Installed with none, the log goes nowhere. The entry point owns them;
// nothing else changes where the log goes.
class LogSinks {
public:
    LogSinks();
    ~LogSinks();
    LogSinks(const LogSinks&) = delete;
    LogSinks& operator=(const LogSinks&) = delete;
    // Adds a sink, which must outlive the object; added during start-up, before other threads
    // log.
    void Add(LogSink& sink) { sinks_.push_back(&sink); }
    // The sinks in use: those of the latest object, or the standard-output console.
    static const std::vector<LogSink*>& Installed();

private:
    std::vector<LogSink*> sinks_;
    LogSinks* previous_;
};

}  // namespace tendro
