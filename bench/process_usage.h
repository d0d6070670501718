// What a process holds, for benchmarks that check it stays flat over a long run.
#pragma once

#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <vector>

namespace tendro::bench {

struct ProcessUsage {
    DWORD handles = 0;
    SIZE_T workingSetKb = 0;
    SIZE_T privateKb = 0;  // private bytes, or the pagefile usage where they read 0
};

// The process's entries in the system's handle list.
inline DWORD CountListedHandles(DWORD pid) {
    constexpr NTSTATUS LengthMismatch = static_cast<NTSTATUS>(0xC0000004);
    std::vector<BYTE> buffer(1 << 20);
    NTSTATUS status;
    while ((status = ::NtQuerySystemInformation(SystemHandleInformation, buffer.data(),
                                                static_cast<ULONG>(buffer.size()), nullptr)) ==
           LengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0) return 0;
    const auto* list = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    DWORD count = 0;
    for (ULONG i = 0; i < list->Count; ++i) count += list->Handle[i].OwnerPid == pid;
    return count;
}

// Wine's GetProcessHandleCount gives 0 for every process (and its private bytes 0 too): the
// handles are then counted in the system's handle list, and the pagefile usage stands in.
inline ProcessUsage ReadProcessUsage(HANDLE process) {
    ProcessUsage usage;
    ::GetProcessHandleCount(process, &usage.handles);
    if (usage.handles == 0) usage.handles = CountListedHandles(::GetProcessId(process));
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof(counters))) {
        usage.workingSetKb = counters.WorkingSetSize / 1024;
        usage.privateKb =
            (counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage) / 1024;
    }
    return usage;
}

}  // namespace tendro::bench
