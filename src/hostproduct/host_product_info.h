// The host product's installation record (read with the readers of common/registry.h).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <system_error>

namespace tendro {

struct HostProductInfoRecord {
    std::wstring registryName;
    int64_t initiallyConfigured = 0;  // seconds since 1970
    int64_t lastConfigured = 0;
    std::wstring installationDir;
    std::wstring serviceExe;
    std::wstring productName;
    std::wstring productShortName;
    std::wstring helpFile;
    uint32_t turnOffSession0Switch = 0;
    uint32_t turnOffInSessionCommands = 0;
    uint32_t turnOffOnboardingCues = 0;
    std::wstring supportUrl;
};

// Process-wide record, filled by DetectHostProduct at start-up.
extern HostProductInfoRecord HostProductInfo;

// True when the installation record was loaded under one of the two registry names.
bool DetectHostProduct();
// Resets HostProductInfo and fills it from the key of registryName; code 0 on success.
std::system_error LoadHostProductInfo(const std::wstring& registryName);

// The service executable for a command line: installationDir + "\\" + serviceExe joined as
// they are, enclosed in double quotes when the path holds a blank.
std::wstring QuotedServiceExePath();

}  // namespace tendro
