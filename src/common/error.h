// System errors: Windows error codes raised as std::system_error in the system category.
#pragma once

#include <windows.h>

#include <string>
#include <system_error>

namespace tendro {

inline std::system_error SystemError(DWORD code, const std::string& text) {
    return std::system_error(static_cast<int>(code), std::system_category(), text);
}

[[noreturn]] inline void ThrowSystemError(DWORD code, const std::string& text) {
    throw SystemError(code, text);
}

// Raises the calling thread's last Windows error.
[[noreturn]] inline void ThrowLastError(const std::string& text) {
    ThrowSystemError(::GetLastError(), text);
}

// The entry point's line for an error that ends the program: "[category:value] message".
std::wstring DescribeSystemError(const std::system_error& e);

}  // namespace tendro
