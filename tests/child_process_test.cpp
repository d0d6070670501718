#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "common/error.h"
#include "common/handle.h"
#include "process/child_process.h"
#include "process/read_channels.h"
#include "support/run_tendro.h"

using namespace tendro;
using tendro::test::ProgramPath;


namespace {

std::wstring ChildCommand(const std::wstring& arguments) {
    return quote_argument(ProgramPath(L"pipechild.exe")) + L" " + arguments;
}

// Everything the child writes on standard output, read to the end.
std::string ReadAll(HANDLE pipe) {
    std::string bytes;
    channel c{pipe, [&bytes](const char* data, uint32_t n) { bytes.append(data, n); }};
    EXPECT_TRUE(read_channels(&c, 1, 20000));
    return bytes;
}

std::vector<std::wstring> SplitArgv(const std::wstring& commandLine) {
    int count = 0;
    LocalMemory memory;
    wchar_t** argv = ::CommandLineToArgvW(commandLine.c_str(), &count);
    memory.reset(reinterpret_cast<HLOCAL>(argv));
    return std::vector<std::wstring>(argv, argv + count);
}

std::wstring FromUtf8(const std::string& bytes) {
    if (bytes.empty()) return {};
    int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(n, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
    return text;
}

// What CreateFileW says about a pipe name: ERROR_PIPE_BUSY for a pipe of ours whose one
// instance is taken, ERROR_FILE_NOT_FOUND for a name that is no pipe.
DWORD OpenPipeError(uint32_t serial) {
    Handle h(::CreateFileW(pipe_name(::GetCurrentProcessId(), serial).c_str(), GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, 0, nullptr));
    return h ? ERROR_SUCCESS : ::GetLastError();
}

// The pipe's name as the file system knows it: "\\RemoteExeAnon.<pid>.<serial>".
std::wstring PipeFileName(HANDLE pipe) {
    alignas(8) char buffer[2048] = {};
    if (!::GetFileInformationByHandleEx(pipe, FileNameInfo, buffer, sizeof(buffer))) return {};
    auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
    return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

std::wstring OwnPipeFileName(uint32_t serial) {
    return pipe_name(::GetCurrentProcessId(), serial).substr(8);  // without "\\.\Pipe"
}

bool Inheritable(HANDLE h) {
    DWORD flags = 0;
    EXPECT_TRUE(::GetHandleInformation(h, &flags));
    return (flags & HANDLE_FLAG_INHERIT) != 0;
}

DWORD HandleCount() {
    DWORD count = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &count);
    return count;
}

const std::vector<std::wstring> AwkwardArguments = {
    L"", L"abc", L"a b", L"a\"b", L"a\\\"b", L"a\\b c", L"c d\\", L"\\\\server\\share\\",
    L"tab\there", L"line\nbreak", L"vt\vx", L"\"", L"\\\"", L"  ", L"ends\\\\", L"x\\\\\"y z",
    L"\u00e9t\u00e9 \u65e5\u672c"};

}  // namespace

TEST(QuoteArgument, TableOfForms) {
    EXPECT_EQ(quote_argument(L"abc"), L"abc");
    EXPECT_EQ(quote_argument(L""), L"\"\"");
    EXPECT_EQ(quote_argument(L"a b"), L"\"a b\"");
    EXPECT_EQ(quote_argument(L"a\"b"), L"\"a\\\"b\"");
    EXPECT_EQ(quote_argument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
    EXPECT_EQ(quote_argument(L"a\\b c"), L"\"a\\b c\"");
    EXPECT_EQ(quote_argument(L"c d\\"), L"\"c d\\\\\"");
    // Backslashes alone need no quoting, however many.
    EXPECT_EQ(quote_argument(L"C:\\dir\\\\x\\"), L"C:\\dir\\\\x\\");
    EXPECT_EQ(quote_argument(L"v\vt"), L"\"v\vt\"");
}

TEST(QuoteArgument, CommandLineToArgvSplitsItBack) {
    std::wstring commandLine = L"prog.exe";
    for (const auto& a : AwkwardArguments) commandLine += L" " + quote_argument(a);
    std::vector<std::wstring> argv = SplitArgv(commandLine);
    ASSERT_EQ(argv.size(), AwkwardArguments.size() + 1);
    for (size_t i = 0; i < AwkwardArguments.size(); ++i)
        EXPECT_EQ(argv[i + 1], AwkwardArguments[i]) << "argument " << i;
}

TEST(QuoteArgument, ChildReceivesTheArgumentsUnchanged) {
    std::wstring commandLine = ChildCommand(L"args");
    for (const auto& a : AwkwardArguments) commandLine += L" " + quote_argument(a);
    child_process child = launch_child(commandLine);
    child.stdin_write.reset();
    std::string output = ReadAll(child.stdout_read.get());
    std::vector<std::wstring> received;
    size_t start = 0;
    for (size_t zero; (zero = output.find('\0', start)) != std::string::npos; start = zero + 1)
        received.push_back(FromUtf8(output.substr(start, zero - start)));
    EXPECT_EQ(received, AwkwardArguments);
}

TEST(CreatePipe, NamedPipeTakesTheNextSerialAndKeepsParentEndPrivate) {
    uint32_t before = pipe_serial();
    pipe_pair reading = create_pipe(false, true);
    ASSERT_EQ(pipe_serial(), before + 1);
    EXPECT_EQ(OpenPipeError(before + 1), static_cast<DWORD>(ERROR_PIPE_BUSY));  // one instance, taken
    EXPECT_EQ(OpenPipeError(before + 2), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(Inheritable(reading.read_end.get()));
    EXPECT_TRUE(Inheritable(reading.write_end.get()));

    pipe_pair writing = create_pipe(true, true);
    EXPECT_EQ(pipe_serial(), before + 2);
    EXPECT_TRUE(Inheritable(writing.read_end.get()));
    EXPECT_FALSE(Inheritable(writing.write_end.get()));

    pipe_pair anonymous = create_pipe(true, false);
    EXPECT_EQ(pipe_serial(), before + 2);  // anonymous pipes have no name
    EXPECT_TRUE(Inheritable(anonymous.read_end.get()));
    EXPECT_FALSE(Inheritable(anonymous.write_end.get()));

    EXPECT_EQ(pipe_name(0x12ac, 1), L"\\\\.\\Pipe\\RemoteExeAnon.000012ac.00000001");
}

TEST(LaunchChild, StreamsArePipedAndStdinEndsWhenClosed) {
    uint32_t before = pipe_serial();
    child_process child = launch_child(ChildCommand(L"stdin"));
    // Standard error and output are named pipes, standard error's first.
    EXPECT_EQ(pipe_serial(), before + 2);
    EXPECT_EQ(PipeFileName(child.stderr_read.get()), OwnPipeFileName(before + 1));
    EXPECT_EQ(PipeFileName(child.stdout_read.get()), OwnPipeFileName(before + 2));
    EXPECT_FALSE(Inheritable(child.stdout_read.get()));
    EXPECT_FALSE(Inheritable(child.stderr_read.get()));
    EXPECT_FALSE(Inheritable(child.stdin_write.get()));

    const std::string input(5000, 'x');
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(child.stdin_write.get(), input.data(), 5000, &written, nullptr));
    child.stdin_write.reset();
    EXPECT_EQ(ReadAll(child.stdout_read.get()), "5000");
}

TEST(LaunchChild, OutputAndErrorArriveSeparately) {
    child_process child = launch_child(ChildCommand(L"err 700"));
    child.stdin_write.reset();
    std::string out, err;
    channel channels[] = {{child.stdout_read.get(), [&](const char* d, uint32_t n) { out.append(d, n); }},
                          {child.stderr_read.get(), [&](const char* d, uint32_t n) { err.append(d, n); }}};
    EXPECT_TRUE(read_channels(channels, 2, 20000));
    EXPECT_EQ(out, "");
    ASSERT_EQ(err.size(), 700u);
    EXPECT_EQ(err.substr(0, 3), "abc");
}

TEST(LaunchChild, EndOfOutputOnlyWhenTheChildIsDone) {
    child_process child = launch_child(ChildCommand(L"slow"));
    child.stdin_write.reset();
    EXPECT_EQ(ReadAll(child.stdout_read.get()), "firstsecond");
}

TEST(LaunchChild, MissingProgramThrowsAndLeavesNoHandleOpen) {
    // A first launch settles whatever the system opens once per process.
    launch_child(ChildCommand(L"sleep 0"));
    DWORD before = HandleCount();
    uint32_t serial = pipe_serial();
    try {
        launch_child(L"\"C:\\no such folder\\missing.exe\" --list");
        FAIL() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().category(), system_error_category());
        EXPECT_TRUE(e.code().value() == ERROR_FILE_NOT_FOUND || e.code().value() == ERROR_PATH_NOT_FOUND)
            << e.code().value();
        EXPECT_EQ(std::string(e.what()).rfind("Can't create process: ", 0), 0u) << e.what();
    }
    EXPECT_EQ(HandleCount(), before);
    EXPECT_EQ(OpenPipeError(serial), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));  // closed again
}

TEST(ParentProcess, FindsTheCreator) {
    child_process child = launch_child(ChildCommand(L"sleep 5000"));
    Handle parent = parent_process(child.process.get());
    ASSERT_TRUE(parent);
    EXPECT_EQ(::GetProcessId(parent.get()), ::GetCurrentProcessId());
    std::error_code error = std::make_error_code(std::errc::io_error);
    Handle again = parent_process(child.process.get(), &error);
    EXPECT_TRUE(again);
    EXPECT_FALSE(error);
    ::TerminateProcess(child.process.get(), 0);
}

TEST(ParentProcess, FailuresAreReportedOrThrown) {
    // A handle without the right to query the process.
    child_process child = launch_child(ChildCommand(L"sleep 5000"));
    Handle limited(::OpenProcess(SYNCHRONIZE, FALSE, ::GetProcessId(child.process.get())));
    ASSERT_TRUE(limited);

    std::error_code error;
    Handle parent = parent_process(limited.get(), &error);
    EXPECT_FALSE(parent);
    EXPECT_EQ(error, SystemErrorCode(ERROR_ACCESS_DENIED));
    try {
        parent_process(limited.get());
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(std::string(e.what()).rfind("system error in parent_process: ", 0), 0u) << e.what();
    }
    ::TerminateProcess(child.process.get(), 0);

    // A handle that is no process at all.
    Handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    error.clear();
    EXPECT_FALSE(parent_process(event.get(), &error));
    EXPECT_TRUE(error);
}
