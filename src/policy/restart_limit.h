// --restart-limit: restarts of a service that keeps failing are held.
#pragma once

#include <memory>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"

namespace tendro {

// The extension when its option is given, otherwise nothing.
std::unique_ptr<MonitorHooks> MakeRestartLimit(const LongOptions& options);

}  // namespace tendro
