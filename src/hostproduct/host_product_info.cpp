#include "hostproduct/host_product_info.h"

#include <shlwapi.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdint>
#include <ctime>
#include <limits>
#include <locale>
#include <sstream>
#include <vector>

#include "common/error.h"
#include "common/handle.h"
#include "common/text.h"
#include "hostproduct/contract.h"

namespace tendro {

HostProductInfoRecord HostProductInfo;

namespace {

[[noreturn]] void ThrowMandatory(DWORD code, const wchar_t* name) {
    ThrowSystemError(code, "Mandatory registry value " + ToNarrow(name) + " not found");
}

// "%m-%e-%Y %H:%M:%S" in local time; false when the text is no such time.
bool ParseLocalTime(const std::wstring& text, int64_t& seconds) {
    boost::posix_time::ptime time;
    try {
        std::wistringstream stream(text);
        stream.imbue(std::locale(std::locale::classic(),
                                 new boost::posix_time::wtime_input_facet(L"%m-%e-%Y %H:%M:%S")));
        stream >> time;
        if (stream.fail() || time.is_special()) return false;
    } catch (const std::exception&) {
        return false;  // a field out of range (month 20, day 40)
    }
    std::tm broken = boost::posix_time::to_tm(time);
    broken.tm_isdst = -1;
    __time64_t result = ::_mktime64(&broken);
    if (result == -1) return false;
    seconds = result;
    return true;
}

}  // namespace

bool ReadRegString(HKEY key, const wchar_t* name, std::wstring& out, bool mandatory,
                   const wchar_t* defaultText) {
    DWORD size = 0;
    LSTATUS status = ::RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND && !mandatory) {
        out = defaultText ? defaultText : L"";
        return false;
    }
    if (status != ERROR_SUCCESS) ThrowMandatory(status, name);
    size_t room = size / 2 + 1;
    if (room < 2) {
        out.clear();
        return true;
    }
    std::vector<wchar_t> buffer(room, L'\0');
    DWORD bytes = static_cast<DWORD>(room * sizeof(wchar_t));
    ::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &bytes);
    size_t read = std::min<size_t>(bytes / sizeof(wchar_t), room);
    out.assign(buffer.data(), read);
    if (!out.empty() && out.back() == L'\0') out.pop_back();
    return true;
}

bool ReadRegDword(HKEY key, const wchar_t* name, uint32_t& out) {
    DWORD size = sizeof(out);
    LSTATUS status =
        ::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&out), &size);
    if (status == ERROR_SUCCESS) return true;
    if (status == ERROR_FILE_NOT_FOUND) {
        out = 0;
        return false;
    }
    ThrowMandatory(status, name);
}

void ReadRegTime(HKEY key, const wchar_t* name, int64_t& out) {
    DWORD type = REG_NONE;
    LSTATUS status = ::RegQueryValueExW(key, name, nullptr, &type, nullptr, nullptr);
    if (status == ERROR_FILE_NOT_FOUND) return;
    if (status != ERROR_SUCCESS)
        ThrowSystemError(status, "Can't read registry value " + ToNarrow(name));
    if (type == REG_SZ) {
        std::wstring text;
        ReadRegString(key, name, text, true, nullptr);
        int64_t seconds = 0;
        if (ParseLocalTime(text, seconds)) out = seconds;
    } else if (type == REG_QWORD) {
        int64_t value = 0;
        DWORD size = sizeof(value);
        status = ::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                                    &size);
        if (status != ERROR_SUCCESS) ThrowMandatory(status, name);
        out = value;
    }
}

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
