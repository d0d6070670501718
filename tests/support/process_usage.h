// What a process holds, for benchmarks that check it stays flat over a long run.
#pragma once

#include <windows.h>

namespace tendro::test {

struct ProcessUsage {
    DWORD handles = 0;
    SIZE_T workingSetKb = 0;
    SIZE_T privateKb = 0;  // private bytes, or the pagefile usage where they read 0
};

// Wine's GetProcessHandleCount gives 0 for every process (and its private bytes 0 too): the
// handles are then counted in the system's handle list, and the pagefile usage stands in.
ProcessUsage ReadProcessUsage(HANDLE process);

}  // namespace tendro::test
