// System errors: Windows error codes raised as std::system_error in the "system" category.
#pragma once

#include <windows.h>

#include <string>
#include <system_error>

namespace tendro {

// The "system" category of Windows error codes: its message is the system's own text for the
// code (WindowsErrorText), and codes with a portable meaning are equivalent to the generic
// conditions (5 to std::errc::permission_denied, 2 to no_such_file_or_directory, ...). One
// instance per process.
const std::error_category& system_error_category();

inline std::error_code SystemErrorCode(DWORD code) {
    return std::error_code(static_cast<int>(code), system_error_category());
}

inline std::system_error SystemError(DWORD code, const std::string& text) {
    return std::system_error(SystemErrorCode(code), text);
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
