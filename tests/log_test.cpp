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

// Where the lines go and who sees them: nothing else changes about a line.
TEST(LogOutput, TargetAndObserver) {
    tendro::test::CapturedLog captured;
    std::vector<std::pair<uint32_t, std::wstring>> seen;
    SetLogObserver([&](uint32_t level, const std::wstring& text) { seen.emplace_back(level, text); });
    WriteLog(LogError, L"shown 100%");
    SetStandardOutputTarget(0);
    WriteLog(LogInit, L"\thidden");
    WriteConsoleText(STD_OUTPUT_HANDLE, L"raw text\n");
    SetStandardOutputTarget(STD_OUTPUT_HANDLE);
    SetLogObserver(nullptr);
    WriteLog(LogError, L"shown again");

    auto lines = captured.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, L"shown 100%");
    EXPECT_EQ(lines[1].text, L"shown again");
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, std::wstring>>{{LogError, L"shown 100%"},
                                                                     {LogInit, L"\thidden"}}));
}
