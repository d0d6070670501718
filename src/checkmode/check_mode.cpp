#include "checkmode/check_mode.h"

namespace tendro {

std::unique_ptr<MonitorHooks> MakeCheckMode(const LongOptions& options) {
    (void)options;
    return nullptr;
}

}  // namespace tendro
