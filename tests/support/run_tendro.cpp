#include "support/run_tendro.h"

#include <chrono>
#include <mutex>

#include <gtest/gtest.h>

#include "process/child_process.h"

namespace tendro::test {

namespace {

std::mutex launchMutex;  // no other child inherits the pipe ends of a launch in progress

std::wstring Quote(const std::wstring& argument) { return quote_argument(argument); }

struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

Pipe MakePipe() {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    Pipe p;
    ::CreatePipe(&p.read, &p.write, &sa, 0);
    ::SetHandleInformation(p.read, HANDLE_FLAG_INHERIT, 0);
    return p;
}

}  // namespace

std::wstring DecodeUtf16(const std::string& bytes) {
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return text;
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        size_t stop = (end > start && text[end - 1] == L'\r') ? end - 1 : end;
        lines.push_back(text.substr(start, stop - start));
        start = end + 1;
    }
    return lines;
}

std::wstring BinaryDir() {
    wchar_t path[MAX_PATH * 4];
    DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

std::wstring ProgramPath(const std::wstring& fileName) { return BinaryDir() + fileName; }

std::wstring TendroPath() {
    static const std::wstring path = [] {
        wchar_t folder[MAX_PATH];
        ::ExpandEnvironmentStringsW(L"%ProgramFiles%\\Tendro Tests", folder, MAX_PATH);
        ::CreateDirectoryW(folder, nullptr);
        const std::wstring source = ProgramPath(L"tendro.exe"), copy = folder + std::wstring(L"\\tendro.exe");
        WIN32_FILE_ATTRIBUTE_DATA a{}, b{};
        const bool same = ::GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &a) &&
                          ::GetFileAttributesExW(copy.c_str(), GetFileExInfoStandard, &b) &&
                          a.nFileSizeLow == b.nFileSizeLow && a.nFileSizeHigh == b.nFileSizeHigh &&
                          ::CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0;
        if (!same && !::CopyFileW(source.c_str(), copy.c_str(), FALSE))
            ADD_FAILURE() << "Can't copy tendro.exe to the test program folder: " << ::GetLastError();
        return copy;
    }();
    return path;
}

struct RunningProgram::Impl {
    PROCESS_INFORMATION pi{};
    // The program and every process it starts: all of them end with the object.
    HANDLE job = nullptr;
    HANDLE outRead = nullptr, errRead = nullptr;
    std::mutex mutex;
    std::string out, err;
    struct Reader {
        HANDLE pipe;
        std::string* sink;
        std::mutex* mutex;
    };
    Reader outReader{}, errReader{};
    HANDLE outThread = nullptr, errThread = nullptr;
    bool stopped = false;

    static DWORD WINAPI Drain(void* param) {
        auto* reader = static_cast<Reader*>(param);
        char buffer[4096];
        DWORD n = 0;
        while (::ReadFile(reader->pipe, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
            std::lock_guard<std::mutex> lock(*reader->mutex);
            reader->sink->append(buffer, n);
        }
        return 0;
    }

    static void JoinReader(HANDLE thread) {
        if (!thread) return;
        // Grandchildren may still hold the pipe: give the reader a moment, then cut it off.
        if (::WaitForSingleObject(thread, 5000) == WAIT_TIMEOUT) {
            ::CancelSynchronousIo(thread);
            if (::WaitForSingleObject(thread, 2000) == WAIT_TIMEOUT) ::TerminateThread(thread, 1);
        }
        ::CloseHandle(thread);
    }

    // input: nullptr for NUL, else a pipe that holds it and is then closed.
    void Start(const std::wstring& commandLine, const std::string* input = nullptr) {
        std::lock_guard<std::mutex> lock(launchMutex);
        Pipe o = MakePipe(), e = MakePipe();
        SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
        HANDLE in = INVALID_HANDLE_VALUE;
        if (HANDLE inWrite = nullptr; input && ::CreatePipe(&in, &inWrite, &sa, 0)) {
            DWORD written = 0;
            ::WriteFile(inWrite, input->data(), static_cast<DWORD>(input->size()), &written, nullptr);
            ::CloseHandle(inWrite);
        } else {
            in = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                               OPEN_EXISTING, 0, nullptr);
        }
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in;
        si.hStdOutput = o.write;
        si.hStdError = e.write;
        std::wstring buffer = commandLine;
        BOOL ok = ::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE,
                                   CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED,
                                   nullptr, nullptr, &si, &pi);
        if (ok) {
            job = ::CreateJobObjectW(nullptr, nullptr);
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            if (job && (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                                   sizeof(limits)) ||
                        !::AssignProcessToJobObject(job, pi.hProcess))) {
                ::CloseHandle(job);
                job = nullptr;
            }
            ::ResumeThread(pi.hThread);
        }
        ::CloseHandle(o.write);
        ::CloseHandle(e.write);
        if (in != INVALID_HANDLE_VALUE) ::CloseHandle(in);
        outRead = o.read;
        errRead = e.read;
        if (!ok) {
            pi = PROCESS_INFORMATION{};
            ::CloseHandle(outRead);
            ::CloseHandle(errRead);
            outRead = errRead = nullptr;
            stopped = true;
            return;
        }
        ::CloseHandle(pi.hThread);
        outReader = Reader{outRead, &out, &mutex};
        errReader = Reader{errRead, &err, &mutex};
        outThread = ::CreateThread(nullptr, 0, Drain, &outReader, 0, nullptr);
        errThread = ::CreateThread(nullptr, 0, Drain, &errReader, 0, nullptr);
    }

    RunResult Finish(DWORD waitMs) {
        RunResult result;
        if (pi.hProcess) {
            if (::WaitForSingleObject(pi.hProcess, waitMs) == WAIT_TIMEOUT) {
                result.timedOut = true;
                ::TerminateProcess(pi.hProcess, 0xDEAD);
                ::WaitForSingleObject(pi.hProcess, 10000);
            }
            ::GetExitCodeProcess(pi.hProcess, &result.exitCode);
            // What the program started and left running ends with it.
            if (job) {
                ::TerminateJobObject(job, 0xDEAD);
                ::CloseHandle(job);
                job = nullptr;
            }
            JoinReader(outThread);
            JoinReader(errThread);
            outThread = errThread = nullptr;
            ::CloseHandle(outRead);
            ::CloseHandle(errRead);
            ::CloseHandle(pi.hProcess);
            pi = PROCESS_INFORMATION{};
        } else {
            result.exitCode = 0xFFFFFFFF;
        }
        stopped = true;
        result.outBytes = out;
        result.errBytes = err;
        result.outText = DecodeUtf16(out);
        result.errText = DecodeUtf16(err);
        result.out = SplitLines(result.outText);
        result.err = SplitLines(result.errText);
        if (result.exitCode == 1 && !result.timedOut && out.empty() && err.empty())
            ADD_FAILURE() << "The program ended with exit code 1 without writing anything. "
                             "Every path of tendro.exe that ends with 1 writes a line first, so "
                             "its own code did not run: Wine failed to start the process, or "
                             "something outside terminated it with code 1.";
        return result;
    }
};

RunningProgram::RunningProgram(const std::wstring& program,
                               const std::vector<std::wstring>& arguments,
                               const std::string* input)
    : impl_(new Impl) {
    std::wstring commandLine = Quote(program);
    for (const auto& a : arguments) commandLine += L" " + Quote(a);
    impl_->Start(commandLine, input);
}

RunningProgram::RunningProgram(const std::wstring& rawCommandLine) : impl_(new Impl) {
    impl_->Start(rawCommandLine);
}

RunningProgram::~RunningProgram() {
    if (!impl_->stopped) impl_->Finish(0);
    delete impl_;
}

DWORD RunningProgram::Pid() const { return impl_->pi.dwProcessId; }

std::wstring RunningProgram::OutputSoFar() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return DecodeUtf16(impl_->out);
}

std::wstring RunningProgram::OutputSince(size_t characters) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const size_t from = std::min(impl_->out.size(), characters * 2);
    return DecodeUtf16(impl_->out.substr(from, (impl_->out.size() - from) & ~size_t{1}));
}

bool RunningProgram::WaitForOutput(const std::wstring& text, DWORD timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (OutputSoFar().find(text) != std::wstring::npos) return true;
        ::Sleep(50);
    }
    return OutputSoFar().find(text) != std::wstring::npos;
}

RunResult RunningProgram::Stop(DWORD graceMs) { return impl_->Finish(graceMs); }

RunResult RunProgram(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     DWORD timeoutMs) {
    RunningProgram running(program, arguments);
    return running.Stop(timeoutMs);
}

RunResult RunTendro(const std::vector<std::wstring>& arguments, DWORD timeoutMs) {
    return RunProgram(TendroPath(), arguments, timeoutMs);
}

RunResult RunTendroWithInput(const std::vector<std::wstring>& arguments, const std::string& input,
                             DWORD timeoutMs) {
    RunningProgram running(TendroPath(), arguments, &input);
    return running.Stop(timeoutMs);
}

RunResult RunTendroRaw(const std::wstring& rawArguments, DWORD timeoutMs) {
    RunningProgram running(Quote(TendroPath()) + L" " + rawArguments);
    return running.Stop(timeoutMs);
}

}  // namespace tendro::test
