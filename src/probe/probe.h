// --probe: a running service whose probe fails is down.
#pragma once

#include <memory>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"
#include "common/stop_signal.h"

namespace tendro {

// The extension when its option is given, otherwise nothing. A raised `stop` ends a probe at
// once.
std::unique_ptr<MonitorHooks> MakeProbes(const LongOptions& options, const StopSignal& stop);

}  // namespace tendro
