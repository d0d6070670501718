// Connections to the service control manager of each machine.
#pragma once

#include <map>
#include <string>

#include "common/handle.h"
#include "common/text.h"

namespace tendro {

struct ServiceManagerConnection {
    SharedScHandle scm;  // opened with SC_MANAGER_CONNECT
    SharedToken token;   // logon token of the machine's -l credentials; empty when none
};

// Machine name (empty for the local machine) to its connection; names compare without case.
using Connections = std::map<std::wstring, ServiceManagerConnection, NoCaseLess>;

}  // namespace tendro
