#include "cmdline/cmdline_parser.h"

// Placeholder until the validation lands: nothing is monitored yet.
namespace tendro {

int32_t CmdLineParser::ValidateServices(Connections&, StrikeCounts&, ServiceObjects& services) {
    monitoredServices.clear();
    services.clear();
    return 1;
}

}  // namespace tendro
