#include "process/child_process.h"

#include "common/error.h"

// Placeholder until child processes land.
namespace tendro {

pipe_pair create_pipe(bool, bool) { ThrowSystemError(ERROR_CALL_NOT_IMPLEMENTED, "Can't create pipe"); }
std::wstring quote_argument(std::wstring argument) { return argument; }
child_process launch_child(std::wstring) { ThrowSystemError(ERROR_CALL_NOT_IMPLEMENTED, "Can't create process"); }
Handle parent_process(HANDLE, std::error_code*) { return Handle(); }

}  // namespace tendro
