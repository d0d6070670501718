#include "process/child_process.h"

#include <winternl.h>

#include "common/error.h"
#include "common/text.h"

namespace tendro {

namespace {

// Serial of the named pipes of this process; the first pipe is number 1.
volatile LONG pipeSerial = 0;

const char* const PipeError = "Can't create pipe";

}  // namespace

uint32_t pipe_serial() { return static_cast<uint32_t>(pipeSerial); }

std::wstring pipe_name(DWORD processId, uint32_t serial) {
    return FormatText(L"\\\\.\\Pipe\\RemoteExeAnon.%08x.%08x", static_cast<unsigned>(processId),
                      static_cast<unsigned>(serial));
}

pipe_pair create_pipe(bool parent_writes, bool overlapped) {
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    pipe_pair pipe;
    if (overlapped) {
        uint32_t serial = static_cast<uint32_t>(::InterlockedIncrement(&pipeSerial));
        std::wstring name = pipe_name(::GetCurrentProcessId(), serial);
        DWORD openMode = PIPE_ACCESS_INBOUND | (parent_writes ? 0 : FILE_FLAG_OVERLAPPED);
        pipe.read_end.reset(::CreateNamedPipeW(name.c_str(), openMode, 0, 1, 4096, 4096, 120000,
                                               &security));
        if (!pipe.read_end) ThrowLastError(PipeError);
        DWORD flags = FILE_ATTRIBUTE_NORMAL | (parent_writes ? FILE_FLAG_OVERLAPPED : 0);
        pipe.write_end.reset(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, &security,
                                           OPEN_EXISTING, flags, nullptr));
        if (!pipe.write_end) {
            DWORD code = ::GetLastError();
            pipe.read_end.reset();
            ::SetLastError(code);
            ThrowSystemError(code, PipeError);
        }
    } else {
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        if (!::CreatePipe(&readEnd, &writeEnd, &security, 0)) ThrowLastError(PipeError);
        pipe.read_end.reset(readEnd);
        pipe.write_end.reset(writeEnd);
    }
    HANDLE parentEnd = parent_writes ? pipe.write_end.get() : pipe.read_end.get();
    if (!::SetHandleInformation(parentEnd, HANDLE_FLAG_INHERIT, 0))
        ThrowLastError(PipeError);  // both ends close as `pipe` goes
    return pipe;
}

std::wstring quote_argument(std::wstring argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted;
    quoted.reserve(argument.size() + 2);
    quoted.push_back(L'"');
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
        } else {
            // A quote ends up behind 2n + 1 backslashes: n were copied, n + 1 are added.
            if (c == L'"') quoted.append(backslashes + 1, L'\\');
            backslashes = 0;
        }
        quoted.push_back(c);
    }
    quoted.append(backslashes, L'\\');  // the trailing run doubled, so the closing quote stays
    quoted.push_back(L'"');
    return quoted;
}

child_process launch_child(std::wstring command_line) {
    pipe_pair input = create_pipe(true, false);
    pipe_pair error = create_pipe(false, true);
    pipe_pair output = create_pipe(false, true);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.read_end.get();
    startup.hStdOutput = output.write_end.get();
    startup.hStdError = error.write_end.get();
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE,
                          CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr,
                          &startup, &info))
        ThrowLastError("Can't create process");
    ::CloseHandle(info.hThread);

    child_process child;
    child.stderr_read = std::move(error.read_end);
    child.stdout_read = std::move(output.read_end);
    child.stdin_write = std::move(input.write_end);
    child.process.reset(info.hProcess);
    // The child's ends close here with the pairs: the end of the child's output then shows
    // as the end of the pipe.
    return child;
}

Handle parent_process(HANDLE process, std::error_code* error) {
    auto fail = [error](DWORD code) -> Handle {
        if (!error) ThrowSystemError(code, "system error in parent_process");
        *error = SystemErrorCode(code);
        return Handle();
    };
    PROCESS_BASIC_INFORMATION basic{};
    ULONG returned = 0;
    NTSTATUS status = ::NtQueryInformationProcess(process, ProcessBasicInformation, &basic,
                                                  sizeof(basic), &returned);
    if (status < 0) return fail(::RtlNtStatusToDosError(status));
    auto parentId = static_cast<DWORD>(basic.InheritedFromUniqueProcessId);
    Handle parent(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parentId));
    if (!parent) return fail(::GetLastError());
    if (error) error->clear();
    return parent;
}

}  // namespace tendro
