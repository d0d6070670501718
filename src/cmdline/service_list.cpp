#include "cmdline/cmdline_parser.h"

// Placeholder until the service list lands.
namespace tendro {

bool CmdLineParser::CheckSpecifiedServices(const LocalMachineNames&) { return true; }

}  // namespace tendro
