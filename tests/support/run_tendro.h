// Runs Windows programs as children and collects what they print.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tendro::test {

struct RunResult {
    DWORD exitCode = 0;
    bool timedOut = false;
    std::vector<std::wstring> out;  // standard output, decoded from UTF-16LE, one entry per line
    std::vector<std::wstring> err;  // standard error, likewise
    std::wstring outText;           // the whole decoded standard output
    std::wstring errText;
    std::string outBytes;  // standard output as written, undecoded
    std::string errBytes;
};

// Folder of the test programs, tendro.exe and the fixtures (with a trailing backslash).
std::wstring BinaryDir();
// Full path of a program in BinaryDir(), e.g. ProgramPath(L"tendro.exe").
std::wstring ProgramPath(const std::wstring& fileName);
// The tendro.exe that RunTendro runs: a copy of the build's in %ProgramFiles%\Tendro Tests,
// made when it differs. --install refuses a program in a folder that others may change, and a
// checkout may lie below one (Wine shows /tmp as a folder that everyone may change).
std::wstring TendroPath();

// Starts `program` with `arguments` (each quoted as needed), waits at most timeoutMs and
// kills it when the time is up. Output is decoded from UTF-16LE.
RunResult RunProgram(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     DWORD timeoutMs = 60000);
// RunProgram on TendroPath().
RunResult RunTendro(const std::vector<std::wstring>& arguments, DWORD timeoutMs = 60000);

// The same with a raw command line after the program name (for arguments that the quoting
// cannot express, such as an exact raw form).
RunResult RunTendroRaw(const std::wstring& rawArguments, DWORD timeoutMs = 60000);

// RunTendro with standard input a pipe that holds `input` and is then closed.
RunResult RunTendroWithInput(const std::vector<std::wstring>& arguments, const std::string& input,
                             DWORD timeoutMs = 60000);

// A running program whose output is collected until it is stopped.
class RunningProgram {
public:
    // Standard input is NUL, or `input` (see RunTendroWithInput).
    RunningProgram(const std::wstring& program, const std::vector<std::wstring>& arguments,
                   const std::string* input = nullptr);
    // A whole command line as given, program name included.
    explicit RunningProgram(const std::wstring& rawCommandLine);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    DWORD Pid() const;
    // Waits until standard output holds a line containing `text` (true) or the time is up.
    bool WaitForOutput(const std::wstring& text, DWORD timeoutMs);
    // Ends the program (terminates it if it is still running) and returns what it printed.
    RunResult Stop(DWORD graceMs = 0);
    // What was printed so far.
    std::wstring OutputSoFar();
    // What was printed after the first `characters` (decoding only that part).
    std::wstring OutputSince(size_t characters);

private:
    struct Impl;
    Impl* impl_;
};

// Decoding helpers, also for tests of their own.
std::wstring DecodeUtf16(const std::string& bytes);
std::vector<std::wstring> SplitLines(const std::wstring& text);

}  // namespace tendro::test
