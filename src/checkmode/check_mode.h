// --check: the run as a check program for a monitoring agent.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/monitor_hooks.h"
#include "checkmode/check_line.h"
#include "cmdline/long_options.h"

namespace tendro {

// With -o: one line of UTF-8 on standard output and the exit code of its status. The log
// goes to standard error with -v and nowhere otherwise; the level-0 texts of a start-up that
// fails become the line's reason.
class CheckMode final : public MonitorHooks {
public:
    CheckMode();
    ~CheckMode() override;
    CheckMode(const CheckMode&) = delete;
    CheckMode& operator=(const CheckMode&) = delete;

    std::optional<int> OptionsRead(const CmdLineParser& settings) override;
    void PassStarting(const CmdLineParser& settings) override;
    void ServiceChecked(ServiceControl& service, uint32_t state, bool isDown) override;
    void ProcessKilled(ServiceControl& service, KillReason reason) override;
    void FailureResponded(const CmdLineParser& settings, ServiceControl& failed) override;
    void PassEnded(const CmdLineParser& settings, ServiceObjects& services) override;
    int ProgramEnding(int exitCode) override;
    bool ReportSystemError(const std::system_error& error) override;

private:
    int Emit(const CheckLine& line);

    bool passStarted_ = false;
    bool passEnded_ = false;
    bool emitted_ = false;
    std::vector<std::wstring> startupErrors_;  // level-0 texts before the first pass
    std::wstring systemError_;
    CheckFindings findings_;
};

// Writes `line` and a line feed to standard output as UTF-8 (wide to a console).
void WriteCheckLine(const std::wstring& line);

// The extension when its option is given, otherwise nothing.
std::unique_ptr<MonitorHooks> MakeCheckMode(const LongOptions& options);

}  // namespace tendro
