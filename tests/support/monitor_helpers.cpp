#include "support/monitor_helpers.h"

#include "support/host_product.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <string>

#include "log/log.h"
#include "common/text.h"
#include "support/run_tendro.h"

namespace tendro::test {

void PrintTo(const LogLine& line, std::ostream* out) {
    *out << "{" << ToNarrow(line.word, CP_UTF8) << ": " << ToNarrow(line.text, CP_UTF8) << "}";
}

LogLine ParseLogLine(const std::wstring& line) {
    size_t first = line.find(L": ");
    size_t second = first == std::wstring::npos ? first : line.find(L": ", first + 2);
    if (second == std::wstring::npos) return {L"", line};
    return {line.substr(0, first), line.substr(second + 2)};
}

std::vector<LogLine> ParseLog(const std::vector<std::wstring>& lines) {
    std::vector<LogLine> parsed;
    parsed.reserve(lines.size());
    for (const auto& line : lines) parsed.push_back(ParseLogLine(line));
    return parsed;
}

std::vector<std::wstring> LogTexts(const std::vector<std::wstring>& lines) {
    std::vector<std::wstring> texts;
    for (const auto& line : ParseLog(lines)) texts.push_back(line.text);
    return texts;
}

int FindText(const std::vector<LogLine>& lines, const std::wstring& text, size_t from) {
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].text == text) return static_cast<int>(i);
    return -1;
}

std::vector<LogLine> LinesFrom(const std::vector<LogLine>& lines, const std::wstring& text,
                               size_t count) {
    int at = FindText(lines, text);
    if (at < 0) return {};
    auto begin = lines.begin() + at;
    return {begin, begin + static_cast<std::ptrdiff_t>(
                               std::min<size_t>(count, static_cast<size_t>(lines.end() - begin)))};
}

int CountLines(const std::vector<LogLine>& lines, const std::wstring& word,
               const std::wstring& text) {
    int count = 0;
    for (const auto& line : lines) count += (line.word == word && line.text == text) ? 1 : 0;
    return count;
}

std::vector<std::wstring> ServiceOperations(const std::vector<LogLine>& lines) {
    std::vector<std::wstring> operations;
    for (const auto& line : lines)
        if (line.text.rfind(L"Stopping service ", 0) == 0 ||
            line.text.rfind(L"Starting service ", 0) == 0)
            operations.push_back(line.text);
    return operations;
}

std::vector<std::wstring> StopsThenStarts(const std::vector<std::wstring>& stopped,
                                          const std::vector<std::wstring>& started) {
    std::vector<std::wstring> operations;
    for (const auto& name : stopped) operations.push_back(L"Stopping service " + name);
    for (const auto& name : started) operations.push_back(L"Starting service " + name);
    return operations;
}

bool WaitForLines(RunningProgram& program, const std::wstring& text, int count, DWORD timeoutMs) {
    DWORD begin = ::GetTickCount();
    for (;;) {
        int found = 0;
        for (const auto& line : SplitLines(program.OutputSoFar()))
            found += line.find(text) != std::wstring::npos ? 1 : 0;
        if (found >= count) return true;
        if (::GetTickCount() - begin >= timeoutMs) return false;
        ::Sleep(100);
    }
}

namespace {

const wchar_t* const kRecordKeyFormat = L"SYSTEM\\CurrentControlSet\\services\\%s\\RuntimeInfo";

SC_HANDLE Sc(HANDLE h) { return static_cast<SC_HANDLE>(h); }

DWORD ReadRecord(const std::wstring& name, const wchar_t* value) {
    DWORD data = 0, size = sizeof(data);
    std::wstring key = FormatText(kRecordKeyFormat, name.c_str()) + L"\\ProcessInfo";
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_REG_DWORD, nullptr, &data,
                       &size) != ERROR_SUCCESS)
        return 0;
    return data;
}

}  // namespace

HostProductService::HostProductService(const std::wstring& standInExe, const std::wstring& name)
    : name_(name), exe_(standInExe) {
    scm_ = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    std::wstring image = L"\"" + standInExe + L"\" --service " + name;
    service_ = ::CreateServiceW(Sc(scm_), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                SERVICE_ERROR_IGNORE, image.c_str(), nullptr, nullptr, nullptr,
                                nullptr, nullptr);
    if (!service_) ADD_FAILURE() << "CreateServiceW failed: " << ::GetLastError();
}

HostProductService::~HostProductService() {
    if (service_) {
        DWORD state = State();
        if (state != SERVICE_STOPPED && state != 0) {
            HANDLE endNow = ::OpenEventW(EVENT_MODIFY_STATE, FALSE,
                                         (L"Global\\TendroFixtureEnd_" + name_).c_str());
            if (endNow) {
                ::SetEvent(endNow);
                ::CloseHandle(endNow);
            }
            if (!WaitForState(SERVICE_STOPPED, 10000)) EndProcessesOf(exe_);
        }
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, FormatText(kRecordKeyFormat, name_.c_str()).c_str());
        ::DeleteService(Sc(service_));
        ::CloseServiceHandle(Sc(service_));
    }
    if (scm_) ::CloseServiceHandle(Sc(scm_));
}

bool HostProductService::Start(DWORD waitMs) {
    if (!::StartServiceW(Sc(service_), 0, nullptr)) {
        const DWORD error = ::GetLastError();
        std::wcerr << L"StartServiceW of " << name_ << L" failed: " << error << L" "
                   << WindowsErrorText(error) << std::endl;
        return false;
    }
    if (WaitForState(SERVICE_RUNNING, waitMs)) return true;
    std::wcerr << L"Service " << name_ << L" is in state " << State() << L", not running"
               << std::endl;
    return false;
}

bool HostProductService::StopFromOutside(DWORD waitMs) {
    SERVICE_STATUS status{};
    ::ControlService(Sc(service_), SERVICE_CONTROL_STOP, &status);
    return WaitForState(SERVICE_STOPPED, waitMs);
}

SERVICE_STATUS_PROCESS HostProductService::Status() const {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(Sc(service_), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof(status), &needed))
        return SERVICE_STATUS_PROCESS{};
    return status;
}

DWORD HostProductService::State() const { return Status().dwCurrentState; }
DWORD HostProductService::Pid() const { return Status().dwProcessId; }
bool HostProductService::SetStartType(DWORD startType) {
    return ::ChangeServiceConfigW(Sc(service_), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr) != 0;
}

DWORD HostProductService::RecordedState() const { return ReadRecord(name_, L"ProcessState"); }
DWORD HostProductService::RecordedPid() const { return ReadRecord(name_, L"ProcessID"); }

bool HostProductService::WaitForState(DWORD state, DWORD waitMs) const {
    DWORD begin = ::GetTickCount();
    while (State() != state) {
        if (::GetTickCount() - begin >= waitMs) return false;
        ::Sleep(50);
    }
    return true;
}

CapturedLog::CapturedLog() {
    wchar_t dir[MAX_PATH + 1];
    wchar_t path[MAX_PATH + 1];
    ::GetTempPathW(MAX_PATH, dir);
    ::GetTempFileNameW(dir, L"tlg", 0, path);
    file_ = ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    previous_ = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (file_ != INVALID_HANDLE_VALUE) ::SetStdHandle(STD_OUTPUT_HANDLE, file_);
}

CapturedLog::~CapturedLog() {
    ::SetStdHandle(STD_OUTPUT_HANDLE, previous_);
    if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
}

std::vector<std::wstring> CapturedLog::RawLines() {
    if (file_ == INVALID_HANDLE_VALUE) return {};
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file_, &size);
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    LARGE_INTEGER start{};
    ::SetFilePointerEx(file_, start, nullptr, FILE_BEGIN);
    DWORD read = 0;
    if (!bytes.empty()) ::ReadFile(file_, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    ::SetFilePointerEx(file_, start, nullptr, FILE_END);
    return SplitLines(DecodeUtf16(bytes));
}

void CapturedLog::Clear() {
    if (file_ == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER start{};
    ::SetFilePointerEx(file_, start, nullptr, FILE_BEGIN);
    ::SetEndOfFile(file_);
}

}  // namespace tendro::test
