#include "log/log.h"

#include <ctime>
#include <cwchar>
#include <map>

#include "common/text.h"
#include "log/resource_ids.h"

namespace tendro {

uint32_t Verbosity = 0;

namespace {

std::map<uint32_t, std::wstring>& LevelWords() {
    static std::map<uint32_t, std::wstring> words;
    return words;
}

LogSinks* installedSinks = nullptr;

std::wstring Timestamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_s(&local, &now) != 0) return {};
    wchar_t buffer[128];
    size_t n = std::wcsftime(buffer, 128, L"%a %b %d %X %Y", &local);
    return n == 0 ? std::wstring() : std::wstring(buffer, n);
}

void WriteStandardHandle(DWORD stdHandle, std::wstring_view text) {
    HANDLE out = ::GetStdHandle(stdHandle);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD mode = 0;
    if (::GetConsoleMode(out, &mode)) {
        DWORD written = 0;
        ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    // Redirected: UTF-16LE text without a byte-order mark, line feeds as CR LF.
    std::wstring converted;
    converted.reserve(text.size() + 8);
    for (wchar_t c : text) {
        if (c == L'\n') converted.push_back(L'\r');
        converted.push_back(c);
    }
    const char* data = reinterpret_cast<const char*>(converted.data());
    DWORD remaining = static_cast<DWORD>(converted.size() * sizeof(wchar_t));
    while (remaining > 0) {
        DWORD written = 0;
        if (!::WriteFile(out, data, remaining, &written, nullptr) || written == 0) return;
        data += written;
        remaining -= written;
    }
}

}  // namespace

void SetLevelWord(uint32_t level, std::wstring word) { LevelWords()[level] = std::move(word); }

void ConsoleSink::WriteLine(uint32_t level, const std::wstring& text, const std::wstring& line) {
    (void)level, (void)text;
    WriteStandardHandle(logHandle_, line);
}

void ConsoleSink::WriteText(DWORD stdHandle, std::wstring_view text) {
    WriteStandardHandle(stdHandle == STD_OUTPUT_HANDLE ? logHandle_ : stdHandle, text);
}

LogSinks::LogSinks() : previous_(installedSinks) { installedSinks = this; }

LogSinks::~LogSinks() { installedSinks = previous_; }

const std::vector<LogSink*>& LogSinks::Installed() {
    static ConsoleSink console;
    static const std::vector<LogSink*> standardOutput{&console};
    return installedSinks ? installedSinks->sinks_ : standardOutput;
}

void WriteConsoleText(DWORD stdHandle, std::wstring_view text) {
    for (LogSink* sink : LogSinks::Installed()) sink->WriteText(stdHandle, text);
}

namespace {
thread_local ErrorCapture* errorCapture = nullptr;
}  // namespace

ErrorCapture::ErrorCapture() : previous_(errorCapture) { errorCapture = this; }
ErrorCapture::~ErrorCapture() { errorCapture = previous_; }

void WriteLog(uint32_t level, const std::wstring& text) {
    if (level == LogError && errorCapture) errorCapture->texts.push_back(text);
    auto& words = LevelWords();
    auto word = words.find(level);
    std::wstring line = (word != words.end() ? word->second : std::wstring()) + L": " +
                        Timestamp() + L": " + text + L"\n";
    for (LogSink* sink : LogSinks::Installed()) sink->WriteLine(level, text, line);
}

void WriteLogFormat(uint32_t level, const wchar_t* format, const std::wstring& argument) {
    if (level <= Verbosity) WriteLog(level, FormatText(format, argument.c_str()));
}

void WriteLogFormat(uint32_t level, const wchar_t* format, int32_t argument) {
    if (level <= Verbosity) WriteLog(level, FormatText(format, argument));
}

void WriteLogDetail(const wchar_t* format, double value) {
    if (Verbosity == LogInfo) WriteLog(LogInfo, FormatText(format, value));
}

std::wstring WindowsErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                   FORMAT_MESSAGE_FROM_SYSTEM,
                               nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (n != 0 && buffer != nullptr) {
        std::wstring text(buffer, n);
        ::LocalFree(buffer);
        size_t cr = text.find(L'\r');
        if (cr != std::wstring::npos) text.resize(cr);
        return text;
    }
    if (buffer) ::LocalFree(buffer);
    // The fallback format is kept in the string table; a program built without it uses the
    // same text.
    const wchar_t* format = nullptr;
    int length = ::LoadStringW(::GetModuleHandleW(nullptr), IDS_UNKNOWN_ERROR,
                               reinterpret_cast<wchar_t*>(&format), 0);
    std::wstring pattern = (length > 0 && format) ? std::wstring(format, static_cast<size_t>(length))
                                                  : std::wstring(L"Unknown error: %d %d");
    return FormatText(pattern.c_str(), static_cast<int>(code), static_cast<int>(code & 0xFFFF));
}

}  // namespace tendro
