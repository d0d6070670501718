// --metrics: the metrics file written after every pass.
#pragma once

#include <memory>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"

namespace tendro {

// The extension when its option is given, otherwise nothing.
std::unique_ptr<MonitorHooks> MakeMetricsFile(const LongOptions& options);

}  // namespace tendro
