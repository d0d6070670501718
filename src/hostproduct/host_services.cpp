#include "cmdline/cmdline_parser.h"

// Placeholder until the listing lands.
namespace tendro {

void CmdLineParser::LoadCVServices() {}

}  // namespace tendro
