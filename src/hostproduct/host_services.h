// Listing the host product's services: its service executable run with "--list".
#pragma once

#include <windows.h>

#include "cmdline/cmdline_parser.h"

namespace tendro {

// Limit of each wait for the listing's output, so that a product that never ends its output
// cannot hold the start-up for ever.
inline constexpr DWORD HostListWaitLimitMs = 60000;

// Bound of the listing's output: far more than any list of service names.
inline constexpr size_t HostListMaxBytes = size_t{16} << 20;
inline constexpr const char* HostListTooLargeText =
    "Host product's service list is larger than 16 MiB";

// Runs the service executable of HostProductInfo with "--list" and appends every non-empty
// line of its output to `names`. Throws a system error when the child cannot be started, its
// output cannot be read, is larger than HostListMaxBytes or is no UTF-8, or a wait runs out
// after waitLimitMs. The listing is complete when standard output ends.
void ListHostServices(ServiceList& names, DWORD waitLimitMs);

}  // namespace tendro
