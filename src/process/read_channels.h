// Reading one or two pipes at once with overlapped I/O.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

namespace tendro {

struct channel {
    HANDLE pipe = nullptr;  // not owned; null means no pipe
    std::function<void(const char* data, uint32_t count)> on_data;
    // The end of this channel ends the reading: the other channels are read no further.
    bool ends_reading = false;
};

// Drains every channel to its end, or until a channel marked ends_reading has ended. False
// when a wait timed out. Reads still pending at the return are cancelled; an exception from
// on_data ends the reading the same way.
bool read_channels(const channel* channels, size_t count, DWORD timeout_ms);

}  // namespace tendro
