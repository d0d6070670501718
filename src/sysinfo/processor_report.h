// The per-processor name, speed and load report of the settings summary.
#pragma once

#include <windows.h>
#include <pdh.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tendro {

struct ProcessorLoad {
    PDH_HCOUNTER counter = nullptr;
    float load = 0.0f;  // stays 0 when the counter's value could not be formatted
};

struct ProcessorInfo {
    std::wstring name;
    uint32_t mhz = 0;
};

// Where the processor descriptions live: one subkey per processor, named 0, 1, 2, ...
inline constexpr const wchar_t* ProcessorKeyPath = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\";

std::vector<ProcessorLoad> CollectProcessorLoads();
std::vector<ProcessorInfo> ReadProcessorInfo();
// The same below another key: `keyPath` (ending in a backslash) under `root`.
std::vector<ProcessorInfo> ReadProcessorInfo(HKEY root, const std::wstring& keyPath);
// In verbose mode, four lines per processor: number, name, speed and, where a load exists, load.
void PrintProcessorLines(const std::vector<ProcessorInfo>& infos,
                         const std::vector<ProcessorLoad>& loads);
void PrintProcessorReport();

}  // namespace tendro
