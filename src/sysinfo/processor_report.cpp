#include "sysinfo/processor_report.h"

// Placeholder until the processor report lands.
namespace tendro {

std::vector<ProcessorLoad> CollectProcessorLoads() { return {}; }
std::vector<ProcessorInfo> ReadProcessorInfo() { return {}; }
void PrintProcessorReport() {}

}  // namespace tendro
