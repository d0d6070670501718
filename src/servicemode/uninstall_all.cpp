#include "servicemode/uninstall_all.h"

#include <windows.h>
#include <winsvc.h>

#include <algorithm>

#include "app/command_line.h"
#include "common/error.h"
#include "common/handle.h"
#include "common/text.h"
#include "log/log.h"
#include "servicemode/install.h"
#include "servicemode/stored_options.h"

namespace tendro {

namespace {

std::wstring OwnPath() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) ThrowSystemError(::GetLastError(), "Can't read the path of tendro.exe");
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

// The ImagePath of the service NAME; empty when it cannot be read (a service deleted meanwhile).
std::wstring ImagePathOf(SC_HANDLE scm, const wchar_t* name) {
    ScHandle service(::OpenServiceW(scm, name, SERVICE_QUERY_CONFIG));
    if (!service) return {};
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed) ||
        !config->lpBinaryPathName)
        return {};
    return config->lpBinaryPathName;
}

}  // namespace

std::vector<std::wstring> TendroServicesOf(const std::wstring& exePath) {
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!scm) ThrowSystemError(::GetLastError(), "Can't open the service manager");
    std::vector<BYTE> buffer;
    DWORD needed = 0, count = 0, resume = 0;
    std::vector<std::wstring> names;
    while (true) {
        BOOL done = ::EnumServicesStatusExW(scm.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                            SERVICE_STATE_ALL, buffer.data(),
                                            static_cast<DWORD>(buffer.size()), &needed, &count,
                                            &resume, nullptr);
        DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
        if (!done && error != ERROR_MORE_DATA)
            ThrowSystemError(error, "Can't list the services");
        auto* entries = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            std::wstring image = ImagePathOf(scm.get(), entries[i].lpServiceName);
            std::vector<SplitArgument> split = SplitCommandLine(image);
            if (!split.empty() && EqualsNoCase(split[0].text, exePath) &&
                IsTendroService(image, entries[i].lpServiceName))
                names.push_back(entries[i].lpServiceName);
        }
        if (done) return names;
        // The first call (an empty buffer) only learns the size; later ones go on from `resume`.
        buffer.resize(std::max<size_t>(needed, buffer.size()) + 1024);
    }
}

int UninstallAll(int argc, wchar_t** argv, const LongOptions& options) {
    if (!options.install.empty() || !options.uninstall.empty() || !options.service.empty() ||
        !options.account.empty()) {
        WriteLog(LogError, L"Option --uninstall-all takes no other service command");
        return 1;
    }
    std::wstring exePath = OwnPath();
    std::vector<std::wstring> names = TendroServicesOf(exePath);
    if (names.empty()) WriteLog(LogInit, L"No Tendro service runs " + exePath);
    int result = 0;
    for (const std::wstring& name : names) {
        LongOptions one;
        one.uninstall = name;
        if (RunServiceCommand(argc, argv, one).value_or(1) != 0) result = 1;
    }
    return result;
}

}  // namespace tendro
