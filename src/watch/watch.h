// --watch: the pause between passes ends when a service of the group changes.
#pragma once

#include <memory>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"

namespace tendro {

// The extension when its option is given, otherwise nothing.
std::unique_ptr<MonitorHooks> MakeWatch(const LongOptions& options);

}  // namespace tendro
