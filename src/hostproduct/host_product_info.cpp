#include "hostproduct/host_product_info.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "common/error.h"
#include "common/handle.h"
#include "common/registry.h"
#include "common/text.h"
#include "hostproduct/contract.h"

namespace tendro {

HostProductInfoRecord HostProductInfo;

std::system_error LoadHostProductInfo(const std::wstring& registryName) {
    HostProductInfo = HostProductInfoRecord{};
    HostProductInfoRecord& info = HostProductInfo;
    info.registryName = registryName;
    info.lastConfigured = std::numeric_limits<int64_t>::max();
    info.serviceExe = host::DefaultServiceExe;
    info.productName = host::DefaultProductName;
    info.productShortName = host::DefaultProductShortName;
    info.helpFile = host::DefaultHelpFile;
    info.supportUrl = host::SupportUrl;

    RegKey key;
    LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                     (host::InstallKeyPrefix + registryName).c_str(), 0,
                                     KEY_QUERY_VALUE, key.put());
    if (status != ERROR_SUCCESS) return SystemError(status, "Can't open Corvanta Pro's registry key");

    ReadRegTime(key.get(), host::ValueInitiallyConfigured, info.initiallyConfigured);
    ReadRegTime(key.get(), host::ValueLastConfigured, info.lastConfigured);
    ReadRegString(key.get(), host::ValueInstallationDir, info.installationDir, true, nullptr);
    ReadRegString(key.get(), host::ValueServiceExe, info.serviceExe, false, host::DefaultServiceExe);
    ReadRegString(key.get(), host::ValueProductName, info.productName, false,
                  host::DefaultProductName);
    ReadRegString(key.get(), host::ValueProductShortName, info.productShortName, false,
                  host::DefaultProductShortName);
    ReadRegString(key.get(), host::ValueHelpFile, info.helpFile, false, host::DefaultHelpFile);
    ReadRegDword(key.get(), host::ValueTurnOffSession0Switch, info.turnOffSession0Switch);
    ReadRegDword(key.get(), host::ValueTurnOffInSessionCommands, info.turnOffInSessionCommands);
    ReadRegDword(key.get(), host::ValueTurnOffOnboardingCues, info.turnOffOnboardingCues);

    wchar_t path[MAX_PATH] = {};
    if (!::PathCombineW(path, info.installationDir.c_str(), info.serviceExe.c_str()) ||
        !::PathFileExistsW(path))
        return SystemError(ERROR_FILE_NOT_FOUND,
                           ToNarrow(info.productShortName + L" service executable not found",
                                    CP_THREAD_ACP));
    return SystemError(ERROR_SUCCESS, "");
}

std::wstring QuotedServiceExePath() {
    std::wstring path = HostProductInfo.installationDir + L"\\" + HostProductInfo.serviceExe;
    if (path.find(L' ') == std::wstring::npos) return path;
    std::wstring buffer = path;
    buffer.resize(std::max<size_t>(path.size() + 2, MAX_PATH) + 1, L'\0');
    ::PathQuoteSpacesW(buffer.data());
    if (buffer[0] == L'"') return buffer.c_str();
    return L"\"" + path + L"\"";  // longer than the shell function takes
}

bool DetectHostProduct() {
    if (LoadHostProductInfo(host::RegistryName).code().value() == 0) return true;
    return LoadHostProductInfo(host::RegistryNameOem).code().value() == 0;
}

}  // namespace tendro
