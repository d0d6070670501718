#include "common/registry.h"

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <ctime>
#include <locale>
#include <sstream>

#include "common/error.h"
#include "common/text.h"

namespace tendro {

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

LSTATUS WriteRegMultiString(HKEY key, const wchar_t* name, const std::vector<std::wstring>& items) {
    std::wstring data;
    for (const std::wstring& item : items) {
        if (item.empty() || item.find(L'\0') != std::wstring::npos) return ERROR_INVALID_PARAMETER;
        data += item;
        data.push_back(L'\0');
    }
    data.push_back(L'\0');
    LSTATUS status = ::RegSetValueExW(key, name, 0, REG_MULTI_SZ,
                                      reinterpret_cast<const BYTE*>(data.data()),
                                      static_cast<DWORD>(data.size() * sizeof(wchar_t)));
    SecureErase(data);
    return status;
}

LSTATUS ReadRegMultiString(HKEY key, const wchar_t* name, std::vector<std::wstring>& items) {
    DWORD type = REG_NONE, size = 0;
    LSTATUS status = ::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_MULTI_SZ) return ERROR_INVALID_DATATYPE;
    std::wstring data(size / sizeof(wchar_t) + 2, L'\0');
    DWORD bytes = size;
    status = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                                &bytes);
    if (status == ERROR_SUCCESS) {
        items.clear();
        // Ends at the first empty string, also when the stored value lacks its final null.
        for (size_t at = 0; at < bytes / sizeof(wchar_t) && data[at];) {
            size_t end = data.find(L'\0', at);
            items.push_back(data.substr(at, end - at));
            at = end + 1;
        }
    }
    SecureErase(data);
    return status;
}

LSTATUS CreateRegKey(HKEY parent, const std::wstring& path, PSECURITY_DESCRIPTOR security,
                     REGSAM access, RegKey& key, bool* created) {
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), security, FALSE};
    DWORD disposition = 0;
    LSTATUS status = ::RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       access, security ? &attributes : nullptr, key.put(),
                                       &disposition);
    if (created) *created = status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
    return status;
}

LSTATUS SetRegKeyDacl(HKEY key, PSECURITY_DESCRIPTOR security) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
    if (::GetSecurityDescriptorControl(security, &control, &revision))
        what |= (control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                              : UNPROTECTED_DACL_SECURITY_INFORMATION;
    return ::RegSetKeySecurity(key, what, security);
}

LSTATUS ReadRegKeyDacl(HKEY key, std::vector<BYTE>& security) {
    DWORD size = 0;
    LSTATUS status = ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    if (status != ERROR_INSUFFICIENT_BUFFER)
        return status == ERROR_SUCCESS ? ERROR_INVALID_DATA : status;
    security.assign(size, 0);
    return ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, security.data(), &size);
}

LSTATUS DeleteRegTree(HKEY parent, const std::wstring& path) {
    LSTATUS status = ::RegDeleteTreeW(parent, path.c_str());
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

}  // namespace tendro
