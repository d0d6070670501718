// The installer's custom actions, a DLL in the MSI's Binary table. They run the installed
// tendro.exe and copy what it prints into the installer's log (an EXE custom action's output
// goes nowhere), so that a refused option of the fleet install shows its Err! line there.
//   InstallTendroService    (deferred) CustomActionData "NAME/COMMAND LINE": runs the command
//                           line (tendro.exe --install=NAME OPTIONS) and starts the service NAME;
//                           the options are not logged (an -l value is a password): the
//                           install's own Options line shows them masked
//   PrepareTendroRollback   (immediate) refuses a SERVICE holding ", / or \ (the install
//                           fails before anything is done); when the service SERVICE is not
//                           installed yet, sets the data of RollbackTendroService to uninstall it
//   RollbackTendroService   (rollback) CustomActionData "COMMAND LINE" (tendro.exe
//                           --uninstall=NAME), run when set; a failure is logged, never fatal
//   UninstallTendroServices (deferred) CustomActionData "COMMAND LINE": runs it
//                           (tendro.exe --uninstall-all); a failure is logged, never fatal
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "common/handle.h"

namespace {

using tendro::Handle;
using tendro::ScHandle;

struct MsiHandleTraits {
    using type = MSIHANDLE;
    static type empty() noexcept { return 0; }
    static bool valid(type h) noexcept { return h != 0; }
    static void close(type h) noexcept { ::MsiCloseHandle(h); }
};
using MsiRecord = tendro::UniqueHandle<MsiHandleTraits>;

void Log(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring& text) {
    MsiRecord record(::MsiCreateRecord(1));
    ::MsiRecordSetStringW(record.get(), 0, text.c_str());
    ::MsiProcessMessage(install, kind, record.get());
}

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
    DWORD size = 0;
    wchar_t empty[1] = L"";
    ::MsiGetPropertyW(install, name, empty, &size);
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (::MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return {};
    value.resize(size);
    return value;
}

std::wstring CustomActionData(MSIHANDLE install) { return Property(install, L"CustomActionData"); }

// A file of the program's output: Tendro writes UTF-16 to a file or pipe; anything else is
// taken as the ANSI code page.
std::wstring ReadOutput(HANDLE file) {
    std::string bytes;
    char buffer[4096];
    DWORD n = 0;
    ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    while (::ReadFile(file, buffer, sizeof(buffer), &n, nullptr) && n > 0) bytes.append(buffer, n);
    if (bytes.size() >= 2 && bytes.size() % 2 == 0 && bytes[1] == '\0') {
        std::wstring text(bytes.size() / 2, L'\0');
        memcpy(text.data(), bytes.data(), bytes.size());
        if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
        return text;
    }
    int length = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), length);
    return text;
}

Handle TempFile() {
    wchar_t folder[MAX_PATH + 1], path[MAX_PATH + 1];
    if (!::GetTempPathW(MAX_PATH + 1, folder) || !::GetTempFileNameW(folder, L"tnd", 0, path))
        return {};
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    return Handle(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         &inherit, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
}

std::wstring SystemText(DWORD code) {
    wchar_t* text = nullptr;
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                        FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    tendro::LocalMemory owner(text);
    std::wstring result = length ? std::wstring(text, length) : L"error " + std::to_wstring(code);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' '))
        result.pop_back();
    return result;
}

// Runs the command line in the system folder (where Windows runs the action server; never the
// install folder, which the child's folder handle would keep from a rollback's removal), so
// that tendro.exe refuses a relative path among the options; logs each line it printed; its
// exit code, or -1 when it did not run. `shown` is what the log says of the command line.
long Run(MSIHANDLE install, std::wstring commandLine, const std::wstring& shown,
         std::vector<std::wstring>& errors) {
    Log(install, INSTALLMESSAGE_INFO, L"Tendro: running " + shown);
    wchar_t system[MAX_PATH + 1];
    const UINT systemLength = ::GetSystemDirectoryW(system, MAX_PATH + 1);
    Handle out = TempFile(), err = TempFile();
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    Handle in(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.get();
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    PROCESS_INFORMATION pi{};
    long code = -1;
    if (out && err &&
        ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                         nullptr, systemLength && systemLength <= MAX_PATH ? system : nullptr, &si, &pi)) {
        Handle process(pi.hProcess), thread(pi.hThread);
        ::WaitForSingleObject(process.get(), INFINITE);
        DWORD exitCode = 0;
        ::GetExitCodeProcess(process.get(), &exitCode);
        code = static_cast<long>(exitCode);
        for (HANDLE file : {out.get(), err.get()}) {
            std::wstring text = ReadOutput(file);
            size_t start = 0;
            while (start < text.size()) {
                size_t end = text.find(L'\n', start);
                if (end == std::wstring::npos) end = text.size();
                std::wstring line = text.substr(start, end - start);
                if (!line.empty() && line.back() == L'\r') line.pop_back();
                if (!line.empty()) {
                    Log(install, INSTALLMESSAGE_INFO, L"Tendro: " + line);
                    if (file == err.get() || line.rfind(L"Err!", 0) == 0) errors.push_back(line);
                }
                start = end + 1;
            }
        }
    } else {
        errors.push_back(L"Can't run " + shown + L": " + SystemText(::GetLastError()));
    }
    return code;
}

std::wstring Joined(const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const std::wstring& line : lines) text += (text.empty() ? L"" : L"\r\n") + line;
    return text;
}

// A service name that goes into a quoted argument of a command line and into "NAME/...":
// one holding a quote would end the argument and add options of its own (a rollback's
// --uninstall=NAME turned into another command); Windows takes no / or \ in a name anyway.
bool RefusedName(MSIHANDLE install, const std::wstring& name) {
    if (name.find_first_of(L"\"/\\") == std::wstring::npos) return false;
    Log(install, INSTALLMESSAGE_ERROR,
        L"Tendro: SERVICE=" + name + L" is refused: a service name holds no \", / or \\");
    return true;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall InstallTendroService(MSIHANDLE install) {
    std::wstring data = CustomActionData(install);
    size_t slash = data.find(L'/');
    if (slash == 0 || slash == std::wstring::npos) {
        Log(install, INSTALLMESSAGE_ERROR, L"Tendro: no service to install in \"" + data + L"\"");
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring name = data.substr(0, slash);
    std::wstring commandLine = data.substr(slash + 1);
    SecureZeroMemory(data.data(), data.size() * sizeof(wchar_t));
    if (RefusedName(install, name)) {
        SecureZeroMemory(commandLine.data(), commandLine.size() * sizeof(wchar_t));
        return ERROR_INSTALL_FAILURE;
    }
    std::vector<std::wstring> errors;
    long code = Run(install, commandLine, L"tendro.exe --install=" + name + L" and the options",
                    errors);
    SecureZeroMemory(commandLine.data(), commandLine.size() * sizeof(wchar_t));
    if (code != 0) {
        if (errors.empty()) errors.push_back(L"exit code " + std::to_wstring(code));
        Log(install, INSTALLMESSAGE_ERROR,
            L"Tendro could not install the service " + name + L": " + Joined(errors));
        return ERROR_INSTALL_FAILURE;
    }
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(scm ? ::OpenServiceW(scm.get(), name.c_str(), SERVICE_START) : nullptr);
    DWORD error = ERROR_SUCCESS;
    if (!service || !::StartServiceW(service.get(), 0, nullptr)) error = ::GetLastError();
    if (error != ERROR_SUCCESS && error != ERROR_SERVICE_ALREADY_RUNNING) {
        Log(install, INSTALLMESSAGE_ERROR,
            L"Tendro: can't start the service " + name + L": " + SystemText(error));
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, INSTALLMESSAGE_INFO, L"Tendro: started the service " + name);
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall PrepareTendroRollback(MSIHANDLE install) {
    const std::wstring name = Property(install, L"SERVICE");
    if (RefusedName(install, name)) return ERROR_INSTALL_FAILURE;  // before anything is installed
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(scm && !name.empty()
                         ? ::OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_STATUS)
                         : nullptr);
    if (service || !scm || name.empty()) return ERROR_SUCCESS;  // a rollback leaves it as it was
    ::MsiSetPropertyW(install, L"RollbackTendroService",
                      (L"\"" + Property(install, L"INSTALLDIR") + L"tendro.exe\" \"--uninstall=" +
                       name + L"\"").c_str());
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RollbackTendroService(MSIHANDLE install) {
    const std::wstring commandLine = CustomActionData(install);
    if (commandLine.empty()) return ERROR_SUCCESS;  // the service was there before
    std::vector<std::wstring> errors;
    if (Run(install, commandLine, commandLine, errors) != 0)
        Log(install, INSTALLMESSAGE_INFO,
            L"Tendro: the rollback left the service installed: " + Joined(errors));
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall UninstallTendroServices(MSIHANDLE install) {
    std::vector<std::wstring> errors;
    const std::wstring commandLine = CustomActionData(install);
    long code = Run(install, commandLine, commandLine, errors);
    // The uninstall goes on: a service left behind is named in the log.
    if (code != 0)
        Log(install, INSTALLMESSAGE_INFO,
            L"Tendro: not every Tendro service was removed: " + Joined(errors));
    return ERROR_SUCCESS;
}
