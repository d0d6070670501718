// --check: the run as a check program for a monitoring agent.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/monitor_hooks.h"
#include "checkmode/check_line.h"
#include "cmdline/long_options.h"
#include "log/log.h"

namespace tendro {

// The check mode's sink and its one line. Standard output is the line's alone: the run logs
// to standard error with -v and nowhere else on the console. The level-0 texts logged before
// the first pass are kept: they are the reason of a start-up that fails.
class CheckCapture final : public LogSink {
public:
    void WriteLine(uint32_t level, const std::wstring& text, const std::wstring& line) override;
    // The first pass begins: what is logged from now on is no start-up failure.
    void PassStarting() { passStarted_ = true; }
    // Writes `line` unless a line was written already; its exit code.
    int Emit(const CheckLine& line);
    // The UNKNOWN line of a start-up that ends with exitCode: `reason`, or the level-0 texts
    // kept; exit code 3.
    int StartupFailed(int exitCode, const std::wstring& reason = {});

private:
    bool passStarted_ = false;
    bool emitted_ = false;
    std::vector<std::wstring> startupErrors_;
};

// The console sink of a run: standard output, or for a check run standard error with -v and
// none without (a null pointer then).
std::unique_ptr<ConsoleSink> MakeConsoleSink(bool checkRun, uint32_t verbosity);

// With -o: one line of UTF-8 on standard output and the exit code of its status.
class CheckMode final : public MonitorHooks {
public:
    explicit CheckMode(CheckCapture& capture) : capture_(capture) {}

    std::optional<int> OptionsRead(const CmdLineParser& settings) override;
    void Observe(const MonitorEvent& event) override;
    int ProgramEnding(int exitCode) override;
    void ReportSystemError(const std::system_error& error) override;

private:
    void Found(const ServiceFound& found);
    void Killed(const ProcessKilled& killed);
    void Responded(const ResponseEnded& response);

    CheckCapture& capture_;
    bool passEnded_ = false;
    std::wstring systemError_;
    std::vector<std::wstring> failedStarts_;  // of the response under way
    CheckFindings findings_;
};

// Writes `line` and a line feed to standard output as UTF-8 (wide to a console).
void WriteCheckLine(const std::wstring& line);

// The extension when its option is given and the run has its capture, otherwise nothing.
std::unique_ptr<MonitorHooks> MakeCheckMode(const LongOptions& options, CheckCapture* capture);

}  // namespace tendro
