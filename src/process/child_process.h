// Running a child program with its standard streams on pipes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <system_error>

#include "common/handle.h"

namespace tendro {

struct pipe_pair {
    Handle read_end;
    Handle write_end;
};

struct child_process {
    Handle stderr_read;  // overlapped
    Handle stdout_read;  // overlapped
    Handle stdin_write;  // synchronous
    Handle process;
};

// parent_writes: the parent keeps the write end (a pipe feeding the child).
// overlapped: a named pipe whose parent end supports overlapped I/O.
pipe_pair create_pipe(bool parent_writes, bool overlapped);
// Quotes one argument so that CommandLineToArgvW splits it back unchanged.
std::wstring quote_argument(std::wstring argument);
// Starts command_line with all three standard streams on pipes and no window.
child_process launch_child(std::wstring command_line);
// The process that created `process`. Without `error` a failure throws; with it the error is
// stored and an empty handle returned.
Handle parent_process(HANDLE process, std::error_code* error = nullptr);

// The serial of the last named pipe created by this process (0 before the first).
uint32_t pipe_serial();
// The name of a named pipe: "\\.\Pipe\RemoteExeAnon.<pid>.<serial>", both in 8 hex digits.
std::wstring pipe_name(DWORD processId, uint32_t serial);

}  // namespace tendro
