// Text helpers: narrow/wide conversion, printf-style formatting, ASCII case folding.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>
#include <string_view>

namespace tendro {

// Converts with the given code page; characters that do not convert become the default.
std::string ToNarrow(std::wstring_view text, UINT codePage = CP_ACP);
std::wstring ToWide(std::string_view text, UINT codePage = CP_ACP);

// printf-style formatting into a finished wide text ("%s" takes a wide string).
std::wstring FormatText(const wchar_t* format, ...);
std::wstring FormatTextV(const wchar_t* format, va_list args);

// Comparison folding ASCII letters only, as the C locale does.
int CompareNoCase(std::wstring_view a, std::wstring_view b) noexcept;
inline bool EqualsNoCase(std::wstring_view a, std::wstring_view b) noexcept {
    return CompareNoCase(a, b) == 0;
}

struct NoCaseLess {
    using is_transparent = void;
    bool operator()(std::wstring_view a, std::wstring_view b) const noexcept {
        return CompareNoCase(a, b) < 0;
    }
};

// Overwrites a string's characters with zeros before it is released.
void SecureErase(std::wstring& text) noexcept;

}  // namespace tendro
