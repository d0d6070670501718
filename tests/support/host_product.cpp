#include "support/host_product.h"

#include <tlhelp32.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "common/error.h"
#include "common/text.h"
#include "hostproduct/contract.h"
#include "support/run_tendro.h"

namespace tendro::test {

namespace {

std::atomic<unsigned> instanceCounter{0};

std::wstring UniqueSuffix() {
    return std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++instanceCounter);
}

std::wstring TempFolder() {
    wchar_t buffer[MAX_PATH + 1];
    DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
    std::wstring path(buffer, n);
    wchar_t longPath[MAX_PATH * 4];
    DWORD m = ::GetLongPathNameW(path.c_str(), longPath, MAX_PATH * 4);
    if (m > 0 && m < MAX_PATH * 4) path.assign(longPath, m);
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

void Check(LSTATUS status, const char* what) {
    if (status != ERROR_SUCCESS)
        throw SystemError(static_cast<DWORD>(status), what);
}

void SetValue(HKEY key, const std::wstring& name, DWORD type, const void* data, DWORD size) {
    Check(::RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size),
          "RegSetValueExW");
}

void SetStringValue(HKEY key, const std::wstring& name, const std::wstring& value, DWORD type) {
    SetValue(key, name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring MakerKey() {
    std::wstring key = host::InstallKeyPrefix;
    key.pop_back();  // without the trailing backslash
    return key;
}

void RemoveRecord(const std::wstring& registryName) {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (host::InstallKeyPrefix + registryName).c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, MakerKey().c_str());  // only succeeds when empty
}

}  // namespace

void RemoveHostProductRecords() {
    RemoveRecord(host::RegistryName);
    RemoveRecord(host::RegistryNameOem);
}

void EndProcessesOf(const std::wstring& exePath) {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
         more = ::Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == ::GetCurrentProcessId()) continue;
        HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE,
                                       FALSE, entry.th32ProcessID);
        if (!process) continue;
        wchar_t image[MAX_PATH * 4];
        DWORD size = MAX_PATH * 4;
        if (::QueryFullProcessImageNameW(process, 0, image, &size) &&
            EqualsNoCase(std::wstring(image, size), exePath)) {
            ::TerminateProcess(process, 0xDEAD);
            ::WaitForSingleObject(process, 10000);
        }
        ::CloseHandle(process);
    }
    ::CloseHandle(snapshot);
}

HostProductInstallation::HostProductInstallation() : HostProductInstallation(Options()) {}

HostProductInstallation::HostProductInstallation(const Options& options) : options_(options) {
    std::wstring name = options_.folderName.empty() ? L"Corvanta Host " + UniqueSuffix()
                                                    : options_.folderName;
    folder_ = TempFolder() + L"\\" + name;
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    std::filesystem::create_directories(folder_);
    if (options_.installExe &&
        !::CopyFileW(ProgramPath(L"hostproduct.exe").c_str(), ExePath().c_str(), FALSE))
        ThrowLastError("copying the host product's stand-in");

    RemoveRecord(options_.registryName);  // a leftover of an earlier, aborted run
    Check(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (host::InstallKeyPrefix + options_.registryName).c_str(),
                            0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr),
          "RegCreateKeyExW");
    SetString(host::ValueInstallationDir, folder_);
    if (options_.recordServiceExe) SetString(host::ValueServiceExe, options_.exeName);
    if (!options_.productName.empty()) SetString(host::ValueProductName, options_.productName);
    SaveConfig();
}

HostProductInstallation::~HostProductInstallation() {
    EndRunningStandIns();
    if (key_) ::RegCloseKey(key_);
    RemoveRecord(options_.registryName);
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::error_code error;
        std::filesystem::remove_all(folder_, error);
        if (!error) break;
        ::Sleep(100);  // a process that just ended may still hold its image
    }
}

void HostProductInstallation::SaveConfig() {
    if (!config_.Save(folder_ + L"\\" + hostproduct::ConfigFileName))
        throw std::runtime_error("the stand-in's configuration could not be written");
}

void HostProductInstallation::SetServices(const std::vector<std::wstring>& names) {
    config_.Remove(hostproduct::KeyService);
    for (const auto& name : names) config_.Add(hostproduct::KeyService, name);
    SaveConfig();
}

void HostProductInstallation::Configure(const std::wstring& key, const std::wstring& value) {
    config_.Set(key, value);
    SaveConfig();
}

void HostProductInstallation::SetString(const std::wstring& name, const std::wstring& value) {
    SetStringValue(key_, name, value, REG_SZ);
}

void HostProductInstallation::SetDword(const std::wstring& name, uint32_t value) {
    SetValue(key_, name, REG_DWORD, &value, sizeof(value));
}

void HostProductInstallation::SetQword(const std::wstring& name, uint64_t value) {
    SetValue(key_, name, REG_QWORD, &value, sizeof(value));
}

void HostProductInstallation::DeleteValue(const std::wstring& name) {
    ::RegDeleteValueW(key_, name.c_str());
}

void HostProductInstallation::EndRunningStandIns() { EndProcessesOf(ExePath()); }

ScratchKey::ScratchKey() : path_(L"Software\\TendroTest\\Scratch " + UniqueSuffix()) {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    Check(::RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key_, nullptr),
          "RegCreateKeyExW");
}

ScratchKey::~ScratchKey() {
    ::RegCloseKey(key_);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\TendroTest");  // only when empty
}

void ScratchKey::SetString(const std::wstring& name, const std::wstring& value, DWORD type) {
    SetStringValue(key_, name, value, type);
}

void ScratchKey::SetDword(const std::wstring& name, uint32_t value) {
    SetValue(key_, name, REG_DWORD, &value, sizeof(value));
}

void ScratchKey::SetQword(const std::wstring& name, uint64_t value) {
    SetValue(key_, name, REG_QWORD, &value, sizeof(value));
}

void ScratchKey::SetBinary(const std::wstring& name, const std::string& bytes, DWORD type) {
    SetValue(key_, name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}

}  // namespace tendro::test
