#include "common/text.h"

#include <cwchar>
#include <vector>

namespace tendro {

std::string ToNarrow(std::wstring_view text, UINT codePage) {
    if (text.empty()) return {};
    int size = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(),
                              size, nullptr, nullptr);
    return out;
}

std::wstring ToWide(std::string_view text, UINT codePage) {
    if (text.empty()) return {};
    int size = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0);
    std::wstring out(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(),
                              size);
    return out;
}

std::wstring FormatTextV(const wchar_t* format, va_list args) {
    va_list count;
    va_copy(count, args);
    int size = _vscwprintf(format, count);
    va_end(count);
    if (size <= 0) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(size) + 1);
    _vsnwprintf(buffer.data(), buffer.size(), format, args);
    return std::wstring(buffer.data(), static_cast<size_t>(size));
}

std::wstring FormatText(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring out = FormatTextV(format, args);
    va_end(args);
    return out;
}

int CompareNoCase(std::wstring_view a, std::wstring_view b) noexcept {
    auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; };
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        wchar_t x = fold(a[i]), y = fold(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

void SecureErase(std::wstring& text) noexcept {
    if (!text.empty()) ::SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
    text.clear();
}

}  // namespace tendro
