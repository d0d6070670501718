#include "checkmode/check_mode.h"

#include <windows.h>

#include <algorithm>

#include "common/error.h"
#include "common/text.h"
#include "log/log.h"

namespace tendro {

namespace {

void AddOnce(std::vector<std::wstring>& items, std::wstring item) {
    if (std::find(items.begin(), items.end(), item) == items.end())
        items.push_back(std::move(item));
}

}  // namespace

void WriteCheckLine(const std::wstring& line) {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    std::wstring text = line + L"\n";
    DWORD mode = 0, written = 0;
    if (::GetConsoleMode(out, &mode)) {
        ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::string utf8 = ToNarrow(text, CP_UTF8);
    const char* data = utf8.data();
    DWORD remaining = static_cast<DWORD>(utf8.size());
    while (remaining > 0) {
        if (!::WriteFile(out, data, remaining, &written, nullptr) || written == 0) return;
        data += written;
        remaining -= written;
    }
}

CheckMode::CheckMode() = default;

CheckMode::~CheckMode() {
    SetLogObserver(nullptr);
    SetStandardOutputTarget(STD_OUTPUT_HANDLE);
}

std::optional<int> CheckMode::OptionsRead(const CmdLineParser& settings) {
    // Standard output is the status line's alone.
    SetStandardOutputTarget(Verbosity == LogInfo ? STD_ERROR_HANDLE : 0);
    SetLogObserver([this](uint32_t level, const std::wstring& text) {
        if (level == LogError && !passStarted_) startupErrors_.push_back(text);
    });
    if (!settings.Has(CmdLineParser::RunOnce))
        return Emit(UnknownCheckLine(L"--check needs -o"));
    return std::nullopt;
}

void CheckMode::PassStarting(const CmdLineParser& settings) {
    (void)settings;
    passStarted_ = true;
    passEnded_ = false;
    findings_ = CheckFindings();
}

void CheckMode::ServiceChecked(ServiceControl& service, uint32_t state, bool isDown) {
    if (isDown)
        findings_.down.push_back(service.name);
    else if (state == 0)
        findings_.unread.push_back(service.name);
    else
        findings_.up.push_back(service.name);
}

void CheckMode::ProcessKilled(ServiceControl& service, KillReason reason) {
    // A process ended because its stop hung is part of the response, not a finding.
    if (reason == KillReason::Hung) return;
    AddOnce(findings_.killed,
            service.name + (reason == KillReason::Memory ? L" (memory)" : L" (cpu)"));
}

void CheckMode::FailureResponded(const CmdLineParser& settings, ServiceControl& failed) {
    const bool stopOnly = settings.Has(CmdLineParser::StopOnly);
    std::wstring done = stopOnly ? L"stopped" : L"restarted";
    if (settings.Has(CmdLineParser::RestartFailedOnly))
        AddOnce(findings_.actions, failed.name + L" " + done);
    else if (settings.Has(CmdLineParser::RestartFromFailure))
        AddOnce(findings_.actions, L"group " + done + L" from " + failed.name);
    else
        AddOnce(findings_.actions, L"group " + done);
}

void CheckMode::PassEnded(const CmdLineParser& settings, ServiceObjects& services) {
    (void)settings, (void)services;
    passEnded_ = true;
}

bool CheckMode::ReportSystemError(const std::system_error& error) {
    systemError_ = DescribeSystemError(error);
    // With -v the standard-error line stays, beside the log.
    if (Verbosity == LogInfo) WriteConsoleText(STD_ERROR_HANDLE, systemError_ + L"\n");
    return true;
}

int CheckMode::ProgramEnding(int exitCode) {
    if (!systemError_.empty()) return Emit(UnknownCheckLine(systemError_));
    if (passEnded_) return Emit(ComposeCheckLine(findings_));
    // The program ends before a pass: the start-up's own level-0 texts say why.
    std::wstring reason;
    for (const std::wstring& text : startupErrors_) {
        std::wstring part = OneLineText(text);
        if (part.empty()) continue;
        if (!reason.empty()) reason += L": ";
        reason += part;
    }
    if (reason.empty()) reason = L"start-up failed with exit code " + std::to_wstring(exitCode);
    return Emit(UnknownCheckLine(reason));
}

int CheckMode::Emit(const CheckLine& line) {
    if (!emitted_) WriteCheckLine(line.text);
    emitted_ = true;
    return line.exitCode;
}

std::unique_ptr<MonitorHooks> MakeCheckMode(const LongOptions& options) {
    if (!options.check) return nullptr;
    return std::make_unique<CheckMode>();
}

}  // namespace tendro
