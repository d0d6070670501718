#include "support/temp_folder.h"

#include <filesystem>

#include "support/test_services.h"

namespace tendro::test {

TempFolder::TempFolder(std::wstring path) {
    if (path.empty()) path = std::filesystem::temp_directory_path() / UniqueServiceName(L"files");
    path_ = std::move(path);
    ::CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    if (!keep_) std::filesystem::remove_all(path_, ignored);
}

std::set<std::wstring> TempFolder::Names() const {
    std::set<std::wstring> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ignored))
        names.insert(entry.path().filename().wstring());
    return names;
}

std::string ReadFromStart(HANDLE file) {
    std::string content;
    char buffer[4096];
    DWORD n = 0;
    ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    while (::ReadFile(file, buffer, sizeof(buffer), &n, nullptr) && n > 0) content.append(buffer, n);
    return content;
}

Handle OpenForReading(const std::wstring& path, DWORD share) {
    return Handle(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::optional<std::string> ReadWhole(const std::wstring& path) {
    Handle file = OpenForReading(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!file) return std::nullopt;
    return ReadFromStart(file.get());
}

}  // namespace tendro::test
