#include "service/service_control.h"

// Placeholder until the definition export lands.
namespace tendro {

std::system_error ServiceControl::LoadDefinition() {
    return std::system_error(0, std::system_category(), "");
}

}  // namespace tendro
