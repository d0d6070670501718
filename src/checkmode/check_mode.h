// --check: the run as a check program for a monitoring agent.
#pragma once

#include <memory>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"

namespace tendro {

// The extension when its option is given, otherwise nothing.
std::unique_ptr<MonitorHooks> MakeCheckMode(const LongOptions& options);

}  // namespace tendro
