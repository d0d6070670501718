#include "support/temp_folder.h"

#include "support/test_services.h"

namespace tendro::test {

namespace {

void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                ::DeleteFileW(path.c_str());
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(folder.c_str());
}

}  // namespace

TempFolder::TempFolder(std::wstring path) {
    if (path.empty()) {
        wchar_t base[MAX_PATH + 1];
        ::GetTempPathW(MAX_PATH, base);
        path = std::wstring(base) + UniqueServiceName(L"files");
    }
    path_ = std::move(path);
    ::CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    if (!keep_) RemoveTree(path_);
}

std::set<std::wstring> TempFolder::Names() const {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((path_ + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.insert(name);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
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

std::optional<std::string> ReadWhole(const std::wstring& path, DWORD share) {
    Handle file = OpenForReading(path, share);
    if (!file) return std::nullopt;
    return ReadFromStart(file.get());
}

}  // namespace tendro::test
