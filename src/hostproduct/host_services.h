// Listing the host product's services: its service executable run with "--list".
#pragma once

#include <windows.h>

#include "cmdline/cmdline_parser.h"

namespace tendro {

// Limit of each wait for the listing's output, so that a product that never ends its output
// cannot hold the start-up for ever.
inline constexpr DWORD HostListWaitLimitMs = 60000;

// Runs the service executable of HostProductInfo with "--list" and appends every non-empty
// line of its output to `names`. Throws a system error when the child cannot be started, its
// output cannot be read or is no UTF-8, or a wait runs out after waitLimitMs.
void ListHostServices(ServiceList& names, DWORD waitLimitMs);

}  // namespace tendro
