// --probe: a running service whose probe fails is down.
#pragma once

#include <memory>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"

namespace tendro {

// The extension when its option is given, otherwise nothing.
std::unique_ptr<MonitorHooks> MakeProbes(const LongOptions& options);

}  // namespace tendro
