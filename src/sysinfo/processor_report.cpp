#include "sysinfo/processor_report.h"

#include <pdhmsg.h>

#include "common/error.h"
#include "common/handle.h"
#include "common/registry.h"
#include "common/text.h"
#include "log/log.h"

namespace tendro {

namespace {

struct PdhQueryTraits {
    using type = PDH_HQUERY;
    static type empty() noexcept { return nullptr; }
    static bool valid(type h) noexcept { return h != nullptr; }
    static void close(type h) noexcept { ::PdhCloseQuery(h); }
};
using PdhQuery = UniqueHandle<PdhQueryTraits>;

constexpr DWORD ProcessorObjectIndex = 238;
constexpr DWORD ProcessorTimeCounterIndex = 6;
constexpr DWORD SampleWindowMs = 100;

std::wstring LookupPerfName(DWORD index) {
    wchar_t name[1024] = {};
    DWORD size = 1024;
    ::PdhLookupPerfNameByIndexW(nullptr, index, name, &size);
    name[1023] = L'\0';
    return name;
}

// The instance of a counter path: the text between the first "(" and the first ")".
std::wstring InstanceOf(const std::wstring& path) {
    size_t open = path.find(L'(');
    if (open == std::wstring::npos) return {};
    size_t close = path.find(L')');
    if (close == std::wstring::npos || close < open) return path.substr(open + 1);
    return path.substr(open + 1, close - open - 1);
}

}  // namespace

std::vector<ProcessorLoad> CollectProcessorLoads() {
    std::vector<ProcessorLoad> loads;
    std::wstring path = FormatText(L"\\%s(*)\\%s", LookupPerfName(ProcessorObjectIndex).c_str(),
                                   LookupPerfName(ProcessorTimeCounterIndex).c_str());
    PdhQuery query;
    if (::PdhOpenQueryW(nullptr, 0, query.put()) != ERROR_SUCCESS) return loads;

    DWORD length = 0;
    if (::PdhExpandWildCardPathW(nullptr, path.c_str(), nullptr, &length, 0) !=
        static_cast<PDH_STATUS>(PDH_MORE_DATA))
        return loads;
    std::vector<wchar_t> paths(static_cast<size_t>(length) + 1, L'\0');
    ++length;
    if (::PdhExpandWildCardPathW(nullptr, path.c_str(), paths.data(), &length, 0) != ERROR_SUCCESS)
        return loads;
    paths.push_back(L'\0');  // the list ends with an empty string even if the answer did not
    paths.push_back(L'\0');

    for (const wchar_t* p = paths.data(); *p; p += wcslen(p) + 1) {
        std::wstring counterPath = p;
        if (InstanceOf(counterPath) == L"_Total") continue;
        PDH_HCOUNTER counter = nullptr;
        if (::PdhAddCounterW(query.get(), counterPath.c_str(), 0, &counter) == ERROR_SUCCESS)
            loads.push_back(ProcessorLoad{counter, 0.0f});
    }

    ::PdhCollectQueryData(query.get());
    ::Sleep(SampleWindowMs);
    ::PdhCollectQueryData(query.get());
    for (ProcessorLoad& entry : loads) {
        DWORD type = 0;
        PDH_FMT_COUNTERVALUE value{};
        if (::PdhGetFormattedCounterValue(entry.counter, PDH_FMT_DOUBLE, &type, &value) ==
            ERROR_SUCCESS)
            entry.load = static_cast<float>(value.doubleValue);
    }
    return loads;  // the counters go with the query
}

std::vector<ProcessorInfo> ReadProcessorInfo(HKEY root, const std::wstring& keyPath) {
    std::vector<ProcessorInfo> infos;
    for (unsigned i = 0;; ++i) {
        RegKey key;
        LSTATUS status = ::RegOpenKeyExW(root, (keyPath + std::to_wstring(i)).c_str(), 0,
                                         KEY_QUERY_VALUE, key.put());
        if (status == ERROR_FILE_NOT_FOUND) return infos;
        if (status != ERROR_SUCCESS) ThrowSystemError(status, "Couldn't open CPU registry key");
        ProcessorInfo info;
        std::wstring identifier, vendor;
        ReadRegString(key.get(), L"Identifier", identifier, false, nullptr);
        ReadRegString(key.get(), L"ProcessorNameString", info.name, false, nullptr);
        ReadRegString(key.get(), L"VendorIdentifier", vendor, false, nullptr);
        ReadRegDword(key.get(), L"~MHz", info.mhz);
        infos.push_back(std::move(info));
    }
}

std::vector<ProcessorInfo> ReadProcessorInfo() {
    return ReadProcessorInfo(HKEY_LOCAL_MACHINE, ProcessorKeyPath);
}

void PrintProcessorLines(const std::vector<ProcessorInfo>& infos,
                         const std::vector<ProcessorLoad>& loads) {
    if (Verbosity < LogInfo) return;
    for (size_t i = 0; i < infos.size(); ++i) {
        WriteLog(LogInfo, FormatText(L"Processor %d", static_cast<int>(i)));
        WriteLog(LogInfo, infos[i].name);
        WriteLog(LogInfo, FormatText(L"    Speed:  ~%d MHz", static_cast<int>(infos[i].mhz)));
        if (i < loads.size())
            WriteLog(LogInfo, FormatText(L"    Load:    %.2f%%", static_cast<double>(loads[i].load)));
    }
}

void PrintProcessorReport() {
    std::vector<ProcessorLoad> loads = CollectProcessorLoads();
    std::vector<ProcessorInfo> infos = ReadProcessorInfo();
    PrintProcessorLines(infos, loads);
}

}  // namespace tendro
