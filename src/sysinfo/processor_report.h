// The per-processor name, speed and load report of the settings summary.
#pragma once

#include <pdh.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tendro {

struct ProcessorLoad {
    PDH_HCOUNTER counter = nullptr;
    float load = 0.0f;
};

struct ProcessorInfo {
    std::wstring name;
    uint32_t mhz = 0;
};

std::vector<ProcessorLoad> CollectProcessorLoads();
std::vector<ProcessorInfo> ReadProcessorInfo();
void PrintProcessorReport();

}  // namespace tendro
