#include "support/monitor_helpers.h"

#include <string>

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
