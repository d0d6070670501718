#include "checkmode/check_mode.h"

#include <windows.h>

#include <algorithm>

#include "common/error.h"
#include "common/text.h"

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

void CheckCapture::WriteLine(uint32_t level, const std::wstring& text, const std::wstring& line) {
    (void)line;
    if (level == LogError && !passStarted_) startupErrors_.push_back(text);
}

int CheckCapture::Emit(const CheckLine& line) {
    if (!emitted_) WriteCheckLine(line.text);
    emitted_ = true;
    return line.exitCode;
}

int CheckCapture::StartupFailed(int exitCode, const std::wstring& reason) {
    std::wstring joined = OneLineText(reason);
    if (joined.empty()) {
        for (const std::wstring& text : startupErrors_) {
            std::wstring part = OneLineText(text);
            if (part.empty()) continue;
            if (!joined.empty()) joined += L": ";
            joined += part;
        }
    }
    if (joined.empty()) joined = L"start-up failed with exit code " + std::to_wstring(exitCode);
    return Emit(UnknownCheckLine(joined));
}

std::unique_ptr<ConsoleSink> MakeConsoleSink(bool checkRun, uint32_t verbosity) {
    if (!checkRun) return std::make_unique<ConsoleSink>(STD_OUTPUT_HANDLE);
    if (verbosity == LogInfo) return std::make_unique<ConsoleSink>(STD_ERROR_HANDLE);
    return nullptr;
}

std::optional<int> CheckMode::OptionsRead(const CmdLineParser& settings) {
    if (!settings.Has(CmdLineParser::RunOnce))
        return capture_.Emit(UnknownCheckLine(L"--check needs -o"));
    return std::nullopt;
}

void CheckMode::Observe(const MonitorEvent& event) {
    if (std::get_if<PassBegun>(&event)) {
        capture_.PassStarting();
        passEnded_ = false;
        findings_ = CheckFindings();
    } else if (const auto* found = std::get_if<ServiceFound>(&event)) {
        Found(*found);
    } else if (const auto* killed = std::get_if<ProcessKilled>(&event)) {
        Killed(*killed);
    } else if (const auto* failure = std::get_if<StartFailure>(&event)) {
        AddOnce(failedStarts_, failure->service.name);
    } else if (const auto* response = std::get_if<ResponseEnded>(&event)) {
        Responded(*response);
    } else if (std::get_if<PassEnded>(&event)) {
        passEnded_ = true;
    }
}

void CheckMode::Found(const ServiceFound& found) {
    if (found.down)
        findings_.down.push_back(found.service.name);
    else if (found.state == 0)
        findings_.unread.push_back(found.service.name);
    else
        findings_.up.push_back(found.service.name);
}

void CheckMode::Killed(const ProcessKilled& killed) {
    // A process ended because its stop hung is part of the response, not a finding.
    if (killed.reason == KillReason::Hung) return;
    AddOnce(findings_.killed, killed.service.name +
                                  (killed.reason == KillReason::Memory ? L" (memory)" : L" (cpu)"));
}

void CheckMode::Responded(const ResponseEnded& response) {
    // "group restarted", "group restarted from db" (-g), "db restarted" (-r), "group stopped"
    // (-j); with a start that failed "group restart failed: web did not start".
    const CmdLineParser& settings = response.settings;
    const std::wstring& failed = response.failed.name;
    const bool failedOnly = settings.Has(CmdLineParser::RestartFailedOnly);
    const std::wstring subject = failedOnly ? failed : L"group";
    const std::wstring from = !failedOnly && settings.Has(CmdLineParser::RestartFromFailure)
                                  ? L" from " + failed
                                  : L"";
    std::wstring action;
    if (!failedStarts_.empty()) {
        std::wstring names;
        for (const std::wstring& name : failedStarts_) names += (names.empty() ? L"" : L", ") + name;
        action = subject + L" restart" + from + L" failed: " + names + L" did not start";
    } else {
        action = subject + (settings.Has(CmdLineParser::StopOnly) ? L" stopped" : L" restarted") + from;
    }
    failedStarts_.clear();
    AddOnce(findings_.actions, std::move(action));
}

void CheckMode::ReportSystemError(const std::system_error& error) {
    systemError_ = DescribeSystemError(error);
}

int CheckMode::ProgramEnding(int exitCode) {
    if (!systemError_.empty()) return capture_.StartupFailed(exitCode, systemError_);
    if (passEnded_) return capture_.Emit(ComposeCheckLine(findings_));
    // The program ends before a pass: the start-up's own level-0 texts say why.
    return capture_.StartupFailed(exitCode);
}

std::unique_ptr<MonitorHooks> MakeCheckMode(const LongOptions& options, CheckCapture* capture) {
    if (!options.check || !capture) return nullptr;
    return std::make_unique<CheckMode>(*capture);
}

}  // namespace tendro
