#include "app/monitor_hooks.h"

namespace tendro {

MonitorHooks& NoMonitorHooks() {
    static MonitorHooks none;
    return none;
}

}  // namespace tendro
