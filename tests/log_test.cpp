#include <gtest/gtest.h>

#include "common/text.h"
#include "log/log.h"

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
