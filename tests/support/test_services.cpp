#include "support/test_services.h"

#include <atomic>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "app/startup.h"
#include "common/text.h"
#include "log/log.h"
#include "support/run_tendro.h"

namespace tendro::test {

namespace {


std::string Narrow(const std::wstring& text) { return ToNarrow(text, CP_UTF8); }

std::wstring QuoteIfNeeded(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    return L"\"" + argument + L"\"";
}

ScHandle OpenManager() {
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm)
        throw std::runtime_error("OpenSCManagerW failed: " + std::to_string(::GetLastError()));
    return scm;
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) != 0;
}

// Fixture services left registered by an earlier run that ended abruptly; only stopped ones
// are removed, so that a service still in use is never touched.
void RemoveLeftovers(SC_HANDLE scm, const std::wstring& prefix) {
    DWORD needed = 0, count = 0, resume = 0;
    ::EnumServicesStatusExW(scm, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_INACTIVE, nullptr,
                            0, &needed, &count, &resume, nullptr);
    if (needed == 0) return;
    std::vector<BYTE> buffer(needed);
    resume = 0;
    if (!::EnumServicesStatusExW(scm, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_INACTIVE,
                                 buffer.data(), needed, &needed, &count, &resume, nullptr))
        return;
    auto* entries = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        std::wstring name = entries[i].lpServiceName;
        if (name.rfind(prefix + L"_", 0) != 0) continue;
        ScHandle service(::OpenServiceW(scm, name.c_str(), DELETE));
        if (service) ::DeleteService(service.get());
    }
}

}  // namespace

std::wstring UniqueServiceName(const std::wstring& prefix) {
    static std::atomic<unsigned> counter{0};
    return FormatText(L"%s_%lu_%lx_%u", prefix.c_str(), ::GetCurrentProcessId(),
                      ::GetTickCount(), ++counter);
}

TestService::TestService(std::vector<std::wstring> fixtureArguments, StartType startType,
                         const std::wstring& namePrefix)
    : name_(UniqueServiceName(namePrefix)) {
    scm_ = OpenManager();
    static std::once_flag cleaned;
    std::call_once(cleaned, [&] { RemoveLeftovers(scm_.get(), namePrefix); });

    std::wstring imagePath = QuoteIfNeeded(ProgramPath(L"svcfixture.exe")) + L" --name " + name_;
    for (const auto& argument : fixtureArguments) imagePath += L" " + QuoteIfNeeded(argument);

    // The fixture's --share-process is registered as a shared-process service.
    bool shared = false;
    for (const auto& argument : fixtureArguments) shared = shared || argument == L"--share-process";
    service_.reset(::CreateServiceW(scm_.get(), name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS,
                                shared ? SERVICE_WIN32_SHARE_PROCESS : SERVICE_WIN32_OWN_PROCESS, static_cast<DWORD>(startType),
                                SERVICE_ERROR_IGNORE, imagePath.c_str(), nullptr, nullptr,
                                nullptr, nullptr, nullptr));
    if (!service_) {
        DWORD error = ::GetLastError();
        throw std::runtime_error("CreateServiceW " + Narrow(name_) +
                                 " failed: " + std::to_string(error));
    }
}

TestService::~TestService() {
    EndNow();
    ::DeleteService(service_.get());
}

std::wstring TestService::RemoteName(const std::wstring& host) const {
    return L"\\\\" + host + L"\\" + name_;
}

bool TestService::StartNoWait() {
    if (::StartServiceW(service_.get(), 0, nullptr)) return true;
    lastError_ = ::GetLastError();
    return false;
}

bool TestService::Start(DWORD waitMs) {
    if (!StartNoWait()) {
        std::wcerr << L"StartServiceW of " << name_ << L" failed: " << lastError_ << L" "
                   << WindowsErrorText(lastError_) << std::endl;
        return false;
    }
    DWORD begin = ::GetTickCount();
    while (State() == SERVICE_START_PENDING && ::GetTickCount() - begin < waitMs) ::Sleep(50);
    return State() == SERVICE_RUNNING;
}

bool TestService::AskToStop() {
    SERVICE_STATUS status{};
    if (!::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) {
        lastError_ = ::GetLastError();
        if (lastError_ != ERROR_SERVICE_NOT_ACTIVE) return false;
    }
    return true;
}

bool TestService::StopFromOutside(DWORD waitMs) {
    return AskToStop() && WaitForState(SERVICE_STOPPED, waitMs);
}

void TestService::EndNow() {
    SERVICE_STATUS_PROCESS status = Status();
    if (status.dwCurrentState == SERVICE_STOPPED || status.dwCurrentState == 0) return;
    // Created, not just opened, and held through the wait: a fixture process that is still
    // starting (a start the monitor asked for just before it was ended) finds the event
    // already set when it opens it, instead of making a fresh one that nobody sets.
    Handle endNow(::CreateEventW(nullptr, TRUE, FALSE,
                                 (L"Global\\TendroFixtureEnd_" + name_).c_str()));
    if (endNow && ::SetEvent(endNow.get()) && WaitForState(SERVICE_STOPPED, 5000)) return;
    // Not answering: end the process. The manager may go on showing the old state.
    // Wine's manager may show the id of a process that is long gone, and Wine hands ids out
    // again soon: only a process that still runs the fixture is ended.
    if (status.dwProcessId != 0) {
        Handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE |
                                         PROCESS_QUERY_LIMITED_INFORMATION,
                                     FALSE, status.dwProcessId));
        wchar_t image[MAX_PATH * 4];
        DWORD size = MAX_PATH * 4;
        if (process && ::QueryFullProcessImageNameW(process.get(), 0, image, &size) &&
            EqualsNoCase(std::wstring(image, size), ProgramPath(L"svcfixture.exe"))) {
            ::TerminateProcess(process.get(), 1);
            ::WaitForSingleObject(process.get(), 5000);
        }
    }
}

SERVICE_STATUS_PROCESS TestService::Status() const {
    SERVICE_STATUS_PROCESS status{};
    if (!QueryStatus(service_.get(), status)) status = SERVICE_STATUS_PROCESS{};
    return status;
}

DWORD TestService::State() const { return Status().dwCurrentState; }
DWORD TestService::Pid() const { return Status().dwProcessId; }
DWORD TestService::ExitCode() const { return Status().dwWin32ExitCode; }

bool TestService::WaitForState(DWORD state, DWORD timeoutMs) const {
    DWORD begin = ::GetTickCount();
    for (;;) {
        if (State() == state) return true;
        if (::GetTickCount() - begin >= timeoutMs) return false;
        ::Sleep(50);
    }
}

void TestService::SetStartType(StartType startType) {
    if (!::ChangeServiceConfigW(service_.get(), SERVICE_NO_CHANGE, static_cast<DWORD>(startType),
                                SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr))
        throw std::runtime_error("ChangeServiceConfigW failed: " +
                                 std::to_string(::GetLastError()));
}

DWORD ServiceStartType(const std::wstring& name) {
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return 0;
    ScHandle service(::OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    if (!service) return 0;
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed))
        return 0;
    return config->dwStartType;
}

DWORD ServiceState(const std::wstring& name) {
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return 0;
    ScHandle service(::OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    if (!service || !QueryStatus(service.get(), status)) return 0;
    return status.dwCurrentState;
}

std::vector<std::wstring> ExistingServices(const std::vector<std::wstring>& candidates) {
    std::vector<std::wstring> found;
    for (const auto& name : candidates)
        if (ServiceStartType(name) != 0) found.push_back(name);
    return found;
}

void LoggingTest::SetUp() {
    SetupLevelWords();
    Verbosity = LogInit;
}

void LoggingTest::TearDown() { Verbosity = 0; }

}  // namespace tendro::test
