// --kill-hung: the process of a service whose stop does not finish is ended.
#pragma once

#include <memory>

#include "app/monitor_hooks.h"
#include "cmdline/long_options.h"

namespace tendro {

// The extension when its option is given, otherwise nothing.
std::unique_ptr<MonitorHooks> MakeKillHung(const LongOptions& options);

}  // namespace tendro
