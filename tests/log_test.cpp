#include <gtest/gtest.h>

#include "common/text.h"
#include "log/log.h"
#include "support/monitor_helpers.h"

using namespace tendro;

TEST(WindowsErrorText, SystemTextWithoutLineBreak) {
    wchar_t* buffer = nullptr;
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                   FORMAT_MESSAGE_FROM_SYSTEM,
                               nullptr, 5, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    ASSERT_NE(n, 0u);
    std::wstring expected(buffer, n);
    ::LocalFree(buffer);
    expected.resize(expected.find_first_of(L"\r\n") == std::wstring::npos
                        ? expected.size()
                        : expected.find(L'\r'));
    EXPECT_EQ(WindowsErrorText(5), expected);
    EXPECT_EQ(WindowsErrorText(5).find(L'\n'), std::wstring::npos);
}

TEST(WindowsErrorText, UnknownCodeUsesFallbackFormat) {
    EXPECT_EQ(WindowsErrorText(0x20000001), L"Unknown error: 536870913 1");
}

TEST(FormatText, WideStringsAndNumbers) {
    EXPECT_EQ(FormatText(L"[%s] %d %.2f%%", L"w\u00e9", -5, 12.5), L"[w\u00e9] -5 12.50%");
}

// Where the lines go: the installed sinks alone (none: nowhere), the console again when they
// go; nothing else changes about a line.
TEST(LogOutput, InstalledSinks) {
    struct Recorder final : LogSink {
        std::wstring seen;
        void WriteLine(uint32_t, const std::wstring& text, const std::wstring& line) override {
            seen += text + L"|" + std::to_wstring(line.size()) + L" ";
        }
        void WriteText(DWORD, std::wstring_view text) override { seen += text; }
    } recorder;
    tendro::test::CapturedLog captured;
    {
        LogSinks sinks;
        sinks.Add(recorder);
        WriteLog(LogInit, L"\trecorded");  // ": <24-character time>: \trecorded\n"
        WriteConsoleText(STD_ERROR_HANDLE, L"[system:5] x\n");
        LogSinks none;
        WriteLog(LogError, L"nowhere");
    }
    WriteLog(LogError, L"shown 100%");
    EXPECT_EQ(recorder.seen, L"\trecorded|38 [system:5] x\n");
    EXPECT_EQ(tendro::test::LogTexts(captured.RawLines()), std::vector<std::wstring>{L"shown 100%"});
}
