#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "common/handle.h"
#include "log/log.h"
#include "support/host_product.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "sysinfo/processor_report.h"

using namespace tendro;
using Lines = std::vector<std::wstring>;

namespace {

// The messages the log writes while `action` runs.
Lines CapturedMessages(const std::function<void()>& action) {
    SetLevelWord(LogError, L"Err!");
    SetLevelWord(LogInit, L"Init");
    SetLevelWord(LogInfo, L"Info");
    test::CapturedLog log;
    action();
    return test::LogTexts(log.RawLines());
}

HKEY CreateSubkey(HKEY parent, const std::wstring& name) {
    HKEY key = nullptr;
    EXPECT_EQ(::RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
}

// The processors as the registry describes them, read here on their own.
std::vector<tendro::ProcessorInfo> RegistryProcessors() {
    std::vector<tendro::ProcessorInfo> infos;
    for (int i = 0;; ++i) {
        std::wstring path = ProcessorKeyPath + std::to_wstring(i);
        RegKey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
            return infos;
        tendro::ProcessorInfo info;
        wchar_t name[512] = {};
        DWORD size = sizeof(name);
        if (::RegGetValueW(key.get(), nullptr, L"ProcessorNameString", RRF_RT_REG_SZ, nullptr, name, &size) ==
            ERROR_SUCCESS)
            info.name = name;
        DWORD mhz = 0;
        size = sizeof(mhz);
        if (::RegGetValueW(key.get(), nullptr, L"~MHz", RRF_RT_REG_DWORD, nullptr, &mhz, &size) == ERROR_SUCCESS)
            info.mhz = mhz;
        infos.push_back(info);
    }
}

struct VerbosityScope {
    uint32_t saved = Verbosity;
    explicit VerbosityScope(uint32_t level) { Verbosity = level; }
    ~VerbosityScope() { Verbosity = saved; }
};

}  // namespace

TEST(ProcessorInfo, MatchesTheRegistry) {
    std::vector<tendro::ProcessorInfo> expected = RegistryProcessors();
    std::vector<tendro::ProcessorInfo> infos = ReadProcessorInfo();
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(infos.size(), expected.size());
    for (size_t i = 0; i < infos.size(); ++i) {
        EXPECT_EQ(infos[i].name, expected[i].name) << i;
        EXPECT_EQ(infos[i].mhz, expected[i].mhz) << i;
    }
}

TEST(ProcessorInfo, GapsMissingValuesAndUnreadableValues) {
    test::ScratchKey scratch;
    RegKey zero(CreateSubkey(scratch.get(), L"0"));
    RegKey one(CreateSubkey(scratch.get(), L"1"));
    RegKey three(CreateSubkey(scratch.get(), L"3"));  // behind a gap: never reached
    const std::wstring name = L"Test CPU @ 2.90GHz";
    ::RegSetValueExW(zero.get(), L"ProcessorNameString", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                     static_cast<DWORD>((name.size() + 1) * 2));
    DWORD mhz = 2904;
    ::RegSetValueExW(zero.get(), L"~MHz", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mhz), 4);
    ::RegSetValueExW(three.get(), L"~MHz", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mhz), 4);

    std::vector<tendro::ProcessorInfo> infos = ReadProcessorInfo(HKEY_CURRENT_USER, scratch.Path() + L"\\");
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(infos[0].name, name);
    EXPECT_EQ(infos[0].mhz, 2904u);
    EXPECT_EQ(infos[1].name, L"");
    EXPECT_EQ(infos[1].mhz, 0u);
    EXPECT_TRUE(ReadProcessorInfo(HKEY_CURRENT_USER, scratch.Path() + L"\\none\\").empty());

    uint64_t wide = 2904;
    ::RegSetValueExW(one.get(), L"~MHz", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&wide), 8);
    try {
        ReadProcessorInfo(HKEY_CURRENT_USER, scratch.Path() + L"\\");
        FAIL() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ERROR_MORE_DATA);
        EXPECT_EQ(std::string(e.what()).rfind("Mandatory registry value ~MHz not found: ", 0), 0u) << e.what();
    }
}

TEST(ProcessorReport, LinesPerProcessorAndLoadOnlyWhereOneExists) {
    std::vector<tendro::ProcessorInfo> infos = {{L"First CPU", 2904}, {L"  Second  CPU ", 0}};
    std::vector<tendro::ProcessorLoad> loads = {{nullptr, 12.5f}};
    Lines lines;
    {
        VerbosityScope verbose(LogInfo);
        lines = CapturedMessages([&] { PrintProcessorLines(infos, loads); });
    }
    EXPECT_EQ(lines, (Lines{L"Processor 0", L"First CPU", L"    Speed:  ~2904 MHz", L"    Load:    12.50%",
                            L"Processor 1", L"  Second  CPU ", L"    Speed:  ~0 MHz"}));
    loads.push_back({nullptr, 3.0849f});
    {
        VerbosityScope verbose(LogInfo);
        lines = CapturedMessages([&] { PrintProcessorLines(infos, loads); });
    }
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[7], L"    Load:    3.08%");
    for (uint32_t level : {LogError, LogInit}) {
        VerbosityScope quiet(level);
        EXPECT_EQ(CapturedMessages([&] { PrintProcessorLines(infos, loads); }), Lines{});
    }
}

TEST(ProcessorReport, LoadsAreFewerThanProcessorsAndInRange) {
    std::vector<tendro::ProcessorLoad> loads = CollectProcessorLoads();
    EXPECT_LE(loads.size(), RegistryProcessors().size());  // "_Total" is no processor
    for (const auto& l : loads) {
        EXPECT_GE(l.load, 0.0f);
        EXPECT_LE(l.load, 100.0f);
    }
}

TEST(ProcessorReport, PrintedWithCpuThresholdInVerboseModeOnly) {
    std::vector<tendro::ProcessorInfo> expected = RegistryProcessors();
    size_t loadCount = std::min(CollectProcessorLoads().size(), expected.size());
    test::RemoveHostProductRecords();

    test::RunResult run = test::RunTendro({L"-c", L"50", L"-v", L"-o", L"-p", L"-s", L"TendroNoSuchService"});
    ASSERT_FALSE(run.timedOut);
    Lines messages = test::LogTexts(run.out);
    auto at = std::find(messages.begin(), messages.end(), L"Processor 0");
    ASSERT_NE(at, messages.end()) << run.outText;
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_LT(at + 2, messages.end());
        EXPECT_EQ(at[0], L"Processor " + std::to_wstring(i));
        EXPECT_EQ(at[1], expected[i].name);
        EXPECT_EQ(at[2], L"    Speed:  ~" + std::to_wstring(expected[i].mhz) + L" MHz");
        at += 3;
        if (i < loadCount) {
            EXPECT_EQ(at->rfind(L"    Load:    ", 0), 0u) << *at;
            ++at;
        }
    }
    size_t loadLines = std::count_if(messages.begin(), messages.end(),
                                     [](const std::wstring& m) { return m.rfind(L"    Load:", 0) == 0; });
    EXPECT_EQ(loadLines, loadCount);

    for (const std::vector<std::wstring>& args :
         {std::vector<std::wstring>{L"-c", L"50", L"-o", L"-p", L"-s", L"TendroNoSuchService"},
          std::vector<std::wstring>{L"-v", L"-o", L"-p", L"-s", L"TendroNoSuchService"}}) {
        run = test::RunTendro(args);
        EXPECT_EQ(run.outText.find(L"Processor 0"), std::wstring::npos) << run.outText;
    }
}
