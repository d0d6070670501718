#include "support/tendro_service.h"

#include <gtest/gtest.h>

#include "common/registry.h"
#include "common/text.h"
#include "servicemode/stored_options.h"
#include "support/run_tendro.h"
#include "support/temp_folder.h"
#include "support/test_services.h"

namespace tendro::test {

namespace {

// Polls every 10 ms until `done` holds (true) or the time is up.
template <typename Done>
bool PollUntil(Done done, DWORD timeoutMs) {
    const DWORD begin = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - begin > timeoutMs) return false;
        ::Sleep(10);
    }
    return true;
}

}  // namespace

TendroService::TendroService(std::vector<std::wstring> options)
    : name_(UniqueServiceName(L"TendroSvc")) {
    wchar_t dir[MAX_PATH + 1];
    ::GetTempPathW(MAX_PATH, dir);
    log_ = std::wstring(dir) + name_ + L".log";
    options.insert(options.begin(), L"--install=" + name_);
    options.push_back(L"--log-file=" + log_);
    RunResult installed = RunTendro(options);
    EXPECT_EQ(installed.exitCode, 0u) << ToNarrow(installed.outText);
    scm_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    service_.reset(::OpenServiceW(
        scm_.get(), name_.c_str(),
        SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_PAUSE_CONTINUE | DELETE));
}

TendroService::~TendroService() {
    if (service_) {
        // A service that does not stop is ended, so that no process outlives the test.
        const DWORD pid = Status().dwProcessId;
        if (Status().dwCurrentState != SERVICE_STOPPED && Stop(40000) == INFINITE && pid) {
            Handle process(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
            if (process) ::TerminateProcess(process.get(), 1);
        }
        ::DeleteService(service_.get());
    }
    ::DeleteFileW(log_.c_str());
    for (int i = 1; i <= 100; ++i) ::DeleteFileW((log_ + L"." + std::to_wstring(i)).c_str());
}

RunResult TendroService::Reinstall(std::vector<std::wstring> options, const std::wstring& logFile) {
    options.insert(options.begin(), L"--install=" + name_);
    options.push_back(L"--log-file=" + (logFile.empty() ? log_ : logFile));
    return RunTendro(options);
}

void TendroService::StoreOptions(std::vector<std::wstring> options) {
    options.push_back(L"--log-file=" + log_);
    RegKey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath(name_).c_str(), 0, KEY_SET_VALUE,
                              key.put()), ERROR_SUCCESS);
    ASSERT_EQ(WriteRegMultiString(key.get(), StoredOptionsValue, options), ERROR_SUCCESS);
}

bool TendroService::Control(DWORD control) {
    SERVICE_STATUS status{};
    return ::ControlService(service_.get(), control, &status) != 0;
}

bool TendroService::StartNoWait() { return ::StartServiceW(service_.get(), 0, nullptr) != 0; }

bool TendroService::Start() { return StartNoWait() && WaitFor(SERVICE_RUNNING, 20000); }

DWORD TendroService::Stop(DWORD timeoutMs) {
    SERVICE_STATUS status{};
    const DWORD begin = ::GetTickCount();
    ::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
    return WaitFor(SERVICE_STOPPED, timeoutMs) ? ::GetTickCount() - begin : INFINITE;
}

SERVICE_STATUS_PROCESS TendroService::Status() const {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    ::QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                           reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
    return status;
}

bool TendroService::WaitFor(DWORD state, DWORD timeoutMs) const {
    return PollUntil([&] { return Status().dwCurrentState == state; }, timeoutMs);
}

std::wstring TendroService::Log() const {
    return ToWide(ReadWhole(log_).value_or(std::string()), CP_UTF8);
}

bool TendroService::WaitForLog(const std::wstring& text, DWORD timeoutMs, int times) const {
    return PollUntil([&] {
        const std::wstring log = Log();
        int found = 0;
        for (size_t at = log.find(text); at != std::wstring::npos; at = log.find(text, at + 1)) ++found;
        return found >= times;
    }, timeoutMs);
}

}  // namespace tendro::test
