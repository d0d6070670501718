// The service commands: --install=NAME OPTIONS... (with --account=USER) registers a service
// that runs Tendro with OPTIONS; --uninstall=NAME stops and removes one; --service=NAME is
// the service's own run under the service manager.
#pragma once

#include <optional>

#include "cmdline/long_options.h"

namespace tendro {

// Runs the command that the long options name and returns its exit code; nothing when they
// name none (the monitoring goes on). `options` is the accepted parse of the whole line.
std::optional<int> RunServiceCommand(int argc, wchar_t** argv, const LongOptions& options);

}  // namespace tendro
