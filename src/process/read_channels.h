// Reading one or two pipes at once with overlapped I/O.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

namespace tendro {

struct channel {
    HANDLE pipe = nullptr;  // not owned; null means no pipe
    std::function<void(const char* data, uint32_t count)> on_data;
};

// Drains every channel to its end. False when a wait timed out (pending reads cancelled).
bool read_channels(const channel* channels, size_t count, DWORD timeout_ms);

}  // namespace tendro
