// An installation of the host product's stand-in for one test: the installation record under
// HKLM\SOFTWARE\Corvanta Technologies\<registry name>, an installation folder with the
// stand-in copied in under the chosen executable name, and its configuration file. Everything
// is removed again when the object goes, also when the test fails.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fixtures/hostproduct/config.h"

namespace tendro::test {

class HostProductInstallation {
public:
    struct Options {
        std::wstring registryName = L"Corvanta Pro";
        // File name the stand-in is copied to.
        std::wstring exeName = L"Corvanta.exe";
        // Write "ServiceExe" with exeName (otherwise the product's default name applies).
        bool recordServiceExe = true;
        // Copy the stand-in into the folder (false: the executable is missing).
        bool installExe = true;
        // "ProductName"; not written when empty.
        std::wstring productName;
        // Name of the folder under the temporary folder; empty: a fresh name with a blank in it.
        std::wstring folderName;
    };

    HostProductInstallation();
    explicit HostProductInstallation(const Options& options);
    ~HostProductInstallation();
    HostProductInstallation(const HostProductInstallation&) = delete;
    HostProductInstallation& operator=(const HostProductInstallation&) = delete;

    // The installation folder, without a trailing backslash (as "InstallationDir" holds it).
    const std::wstring& Folder() const { return folder_; }
    std::wstring ExePath() const { return folder_ + L"\\" + options_.exeName; }
    const std::wstring& RegistryName() const { return options_.registryName; }

    // The stand-in's configuration; SaveConfig writes it into the folder.
    hostproduct::Config& Config() { return config_; }
    void SaveConfig();
    // Replaces the listed services and saves.
    void SetServices(const std::vector<std::wstring>& names);
    // Sets one configuration entry (replacing earlier ones) and saves.
    void Configure(const std::wstring& key, const std::wstring& value);

    // Values of the installation record.
    HKEY Key() const { return key_; }
    void SetString(const std::wstring& name, const std::wstring& value);
    void SetDword(const std::wstring& name, uint32_t value);
    void SetQword(const std::wstring& name, uint64_t value);
    void DeleteValue(const std::wstring& name);

    // Ends every process running the installed executable (the stand-in never ends some modes).
    void EndRunningStandIns();

private:
    Options options_;
    std::wstring folder_;
    HKEY key_ = nullptr;
    hostproduct::Config config_;
};

// Removes the installation records under both registry names (and the maker's key when it is
// left empty), so that no product counts as installed.
void RemoveHostProductRecords();

// Ends every process whose image is `exePath`; waits for each to end.
void EndProcessesOf(const std::wstring& exePath);

// A registry key for values of odd types, deleted with everything below it when it goes.
class ScratchKey {
public:
    // HKCU\Software\TendroTest\<unique name>.
    ScratchKey();
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    HKEY get() const { return key_; }
    // Its path below HKEY_CURRENT_USER.
    const std::wstring& Path() const { return path_; }
    void SetString(const std::wstring& name, const std::wstring& value, DWORD type = REG_SZ);
    void SetDword(const std::wstring& name, uint32_t value);
    void SetQword(const std::wstring& name, uint64_t value);
    void SetBinary(const std::wstring& name, const std::string& bytes, DWORD type = REG_BINARY);

private:
    std::wstring path_;
    HKEY key_ = nullptr;
};

}  // namespace tendro::test
