#include "servicemode/stored_options.h"

#include "app/command_line.h"
#include "common/error.h"
#include "common/handle.h"
#include "common/registry.h"
#include "common/text.h"
#include "process/child_process.h"

namespace tendro {

std::wstring ParametersKeyPath(const std::wstring& serviceName) {
    return L"SYSTEM\\CurrentControlSet\\Services\\" + serviceName + L"\\Parameters";
}

std::wstring ReloadKeyPath(const std::wstring& serviceName) {
    return ParametersKeyPath(serviceName) + L"\\Reload";
}

void RecordReloadOutcome(const std::wstring& serviceName, const ReloadOutcome& outcome) {
    RegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ReloadKeyPath(serviceName).c_str(), 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) != ERROR_SUCCESS)
        return;
    std::vector<std::wstring> items{outcome.applied ? L"applied" : L"refused"};
    for (const std::wstring& line : outcome.lines)
        if (!line.empty()) items.push_back(line);
    DWORD sequence = 0, size = sizeof(sequence);
    ::RegQueryValueExW(key.get(), ReloadSequenceValue, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(&sequence), &size);
    ++sequence;
    WriteRegMultiString(key.get(), ReloadOutcomeValue, items);
    ::RegSetValueExW(key.get(), ReloadSequenceValue, 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&sequence), sizeof(sequence));
}

std::vector<std::wstring> ReadStoredOptions(const std::wstring& serviceName) {
    RegKey key;
    LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath(serviceName).c_str(), 0,
                                     KEY_QUERY_VALUE, key.put());
    std::vector<std::wstring> options;
    if (status == ERROR_SUCCESS) status = ReadRegMultiString(key.get(), StoredOptionsValue, options);
    if (status != ERROR_SUCCESS)
        ThrowSystemError(status, "Can't read the options of service " + ToNarrow(serviceName));
    return options;
}

void ReadServiceArguments(const std::wstring& serviceName, ArgumentCopies& arguments) {
    RegKey key;
    LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath(serviceName).c_str(), 0,
                                     KEY_QUERY_VALUE, key.put());
    DWORD size = 0;
    if (status == ERROR_SUCCESS)
        status = ::RegQueryValueExW(key.get(), StoredOptionsValue, nullptr, nullptr, nullptr, &size);
    // Room for every string that the value can hold, so that the vector never moves them.
    ArgumentCopies stored;
    stored.items().reserve(size / sizeof(wchar_t) + 1);
    if (status == ERROR_SUCCESS) status = ReadRegMultiString(key.get(), StoredOptionsValue, stored.items());
    if (status != ERROR_SUCCESS)
        ThrowSystemError(status, "Can't read the options of service " + ToNarrow(serviceName));
    arguments.items().clear();
    arguments.items().reserve(stored.items().size() + 1);
    arguments.items().emplace_back(L"tendro.exe");
    for (const std::wstring& item : stored.items()) arguments.items().push_back(item);
}

std::wstring TendroImagePath(const std::wstring& exePath, const std::wstring& serviceName) {
    return L"\"" + exePath + L"\" " + quote_argument(L"--service=" + serviceName);
}

bool IsTendroService(const std::wstring& imagePath, const std::wstring& serviceName) {
    std::vector<SplitArgument> split = SplitCommandLine(imagePath);
    if (split.empty()) return false;
    const std::wstring& program = split[0].text;
    size_t slash = program.find_last_of(L"\\/");
    if (!EqualsNoCase(slash == std::wstring::npos ? program : program.substr(slash + 1),
                      L"tendro.exe"))
        return false;
    for (size_t i = 1; i < split.size(); ++i)
        if (EqualsNoCase(split[i].text, L"--service=" + serviceName)) return true;
    return false;
}

}  // namespace tendro
