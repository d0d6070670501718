// --log-file: the log as a file beside (or, as a service, instead of) the console. UTF-8
// without a byte-order mark, CR LF line ends; every line appended whole in one write, without
// buffering; rotated by size into PATH.1 ... PATH.N.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cmdline/long_options.h"
#include "common/handle.h"
#include "log/log.h"

namespace tendro {

// After a rotation that failed, the file is appended to and the rotation is tried again this
// many lines later.
constexpr uint32_t LogRotationRetryLines = 32;

struct LogFileSettings {
    std::wstring path;
    uint64_t maxBytes = 10ull << 20;  // a line that would take PATH past it rotates first
    uint32_t keep = 5;                // rotated files kept: PATH.1 (newest) ... PATH.keep
    bool ownLink = false;             // a reparse point at PATH is opened itself, never followed
};

class LogFile final : public LogSink {
public:
    // Opens settings.path for appending (created when missing; readers share read, write and
    // delete); null with `error` set when it cannot be opened.
    static std::unique_ptr<LogFile> Open(LogFileSettings settings, DWORD& error);

    // The log lines, and the lines of standard error (the system-error line that ends a run).
    void WriteLine(uint32_t level, const std::wstring& text, const std::wstring& line) override;
    void WriteText(DWORD stdHandle, std::wstring_view text) override;

private:
    explicit LogFile(LogFileSettings settings) : settings_(std::move(settings)) {}
    // Writes one line whole; the level-0 notes it gives rise to.
    std::vector<std::wstring> Append(std::wstring_view text);
    // Logs the notes (outside the lock: they come back here as lines of their own).
    static void LogNotes(const std::vector<std::wstring>& notes);
    // Opens PATH anew (the handle held is closed) and reads its size; false when it fails.
    bool Reopen();
    // Renames the files one place up and starts a new PATH; the error code of a step that
    // failed (then every file is back under its name, PATH still the file appended to), 0 on
    // success.
    DWORD Rotate();
    std::wstring Numbered(uint32_t n) const;

    std::mutex mutex_;
    LogFileSettings settings_;
    Handle file_;
    uint64_t size_ = 0;
    uint64_t lostLines_ = 0;       // lines not written since the last one that was
    uint32_t retryCountdown_ = 0;  // lines until a failed rotation is tried again
    bool rotationFailing_ = false;  // the failure has been logged; cleared by a rotation
    uint64_t dropped_ = 0;          // files dropped, for their passing names
};

// %ProgramData%\Tendro\NAME.log: the log file of the service NAME without --log-file.
std::wstring DefaultLogFilePath(const std::wstring& serviceName);

// The log file that the options ask for: --log-file's PATH, or for a service (a serviceName
// given) without it DefaultLogFilePath, its folder made when missing and refused when it is a
// reparse point or not owned by SYSTEM or Administrators (servicemode/file_security.h). Null
// when there is none, or when it cannot be opened: `refusal` then holds the level-0 text
// naming the option and the value, or the folder and why.
std::unique_ptr<LogFile> OpenLogFileOf(const LongOptions& options, const std::wstring& serviceName,
                                       std::wstring& refusal);

// Where a service whose start-up failed before its log file was open says why: its default
// log file (the same checks). Null when that cannot be opened either.
std::unique_ptr<LogFile> OpenStartupFailureLog(const std::wstring& serviceName);

}  // namespace tendro
