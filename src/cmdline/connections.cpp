#include "cmdline/cmdline_parser.h"

// Placeholder until the connections land.
namespace tendro {

bool CmdLineParser::ConnectServiceManagers(Connections&) {
    ErasePasswords();
    return true;
}

bool CmdLineParser::ConnectServiceManager(Connections&, const std::wstring&) { return true; }

}  // namespace tendro
