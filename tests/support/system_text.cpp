#include "support/system_text.h"

namespace tendro::test {

std::wstring SystemMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                   FORMAT_MESSAGE_FROM_SYSTEM,
                               nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = (n != 0 && buffer != nullptr) ? std::wstring(buffer, n) : std::wstring();
    if (buffer) ::LocalFree(buffer);
    size_t cr = text.find(L'\r');
    if (cr != std::wstring::npos) text.resize(cr);
    return text;
}

std::string SystemMessageNarrow(DWORD code) {
    std::wstring wide = SystemMessage(code);
    if (wide.empty()) return {};
    int size = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                          size, nullptr, nullptr);
    return text;
}

}  // namespace tendro::test
