#include "servicemode/apply_options.h"

#include <string>
#include <vector>

#include "common/handle.h"
#include "common/text.h"
#include "log/log.h"
#include "logfile/log_file.h"
#include "process/child_process.h"
#include "reload/reload.h"
#include "servicemode/stored_options.h"

namespace tendro {

namespace {

uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The log from `offset` on (from the start when the file has been rotated since).
std::wstring ReadLogFrom(const std::wstring& path, uint64_t offset) {
    Handle file(::CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::wstring();
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file.get(), &size);
    if (static_cast<uint64_t>(size.QuadPart) < offset) offset = 0;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    ::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN);
    std::string text(static_cast<size_t>(size.QuadPart - static_cast<LONGLONG>(offset)), '\0');
    DWORD read = 0;
    if (!text.empty() && !::ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()),
                                     &read, nullptr))
        return std::wstring();
    text.resize(read);
    return ToWide(text, CP_UTF8);
}

// "WORD: TIME: TEXT" split into the word and the text (the time holds no ": ").
bool SplitLogLine(const std::wstring& line, std::wstring& word, std::wstring& text) {
    size_t first = line.find(L": ");
    size_t second = first == std::wstring::npos ? first : line.find(L": ", first + 2);
    if (second == std::wstring::npos) return false;
    word = line.substr(0, first);
    text = line.substr(second + 2);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
    return true;
}

}  // namespace

RunningServiceUpdate::RunningServiceUpdate(std::wstring serviceName)
    : name_(std::move(serviceName)) {
    try {
        for (const std::wstring& argument : ReadStoredOptions(name_))
            if (argument.starts_with(L"--log-file=")) logPath_ = argument.substr(11);
    } catch (const std::system_error&) {
        return;  // not installed yet
    }
    if (logPath_.empty()) logPath_ = DefaultLogFilePath(name_);
    logSize_ = FileSize(logPath_);
}

int RunningServiceUpdate::Apply(SC_HANDLE service) {
    const std::wstring typedName = quote_argument(name_);
    SERVICE_STATUS status{};
    const bool running = ::QueryServiceStatus(service, &status) &&
                         (status.dwCurrentState == SERVICE_RUNNING ||
                          status.dwCurrentState == SERVICE_PAUSED);
    if (!running) {
        WriteLog(LogInit, L"Service " + name_ + L" takes the new options at its next start: sc start " +
                              typedName);
        return 0;
    }
    if (!::ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status)) {
        WriteLog(LogError, L"Can't send the new options to the running service " + name_ + L": " +
                               WindowsErrorText(::GetLastError()) +
                               L"; it takes them at its next start: sc stop " + typedName +
                               L", then sc start " + typedName);
        return 1;
    }
    const std::wstring applied = OptionsAppliedLine(name_);
    const std::wstring refused = OptionsRefusedPrefix(name_);
    const ULONGLONG begin = ::GetTickCount64();
    for (;;) {
        std::vector<std::wstring> errors, notes;
        std::wstring rest = ReadLogFrom(logPath_, logSize_);
        for (size_t at = 0, end; (end = rest.find(L'\n', at)) != std::wstring::npos; at = end + 1) {
            std::wstring word, text;
            if (!SplitLogLine(rest.substr(at, end - at), word, text)) continue;
            if (text == applied) {
                for (const std::wstring& note : notes) WriteLog(LogInit, note);
                WriteLog(LogInit, L"The running service " + name_ + L" has applied the new options");
                return 0;
            }
            if (text.starts_with(refused)) {
                for (const std::wstring& error : errors) WriteLog(LogError, error);
                WriteLog(LogError, text);
                return 1;
            }
            if (text == L"Reading the options of service " + name_ + L" again") {
                errors.clear();  // what the reload says begins here
                notes.clear();
            }
            if (text.ends_with(L"at its next start")) notes.push_back(text);
            if (word == L"Err!") errors.push_back(text);
        }
        if (::GetTickCount64() - begin > ApplyWaitMs) break;
        ::Sleep(100);
    }
    WriteLog(LogError, L"The running service " + name_ + L" has not said within " +
                           std::to_wstring(ApplyWaitMs / 1000) +
                           L" s whether it took the new options: see its log " + logPath_);
    return 1;
}

}  // namespace tendro
