// Tendro run by the service manager: installed with --install over fixture services, started
// and stopped as an administrator would, its log file read back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/handle.h"
#include "common/text.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::HasSubstr;

namespace {

// A Tendro service over `options`, logging to a file of its own; stopped and removed (with
// its log files) when the test ends.
class TendroService {
public:
    explicit TendroService(std::vector<std::wstring> options)
        : name_(UniqueServiceName(L"TendroSvc")) {
        wchar_t dir[MAX_PATH + 1];
        ::GetTempPathW(MAX_PATH, dir);
        log_ = std::wstring(dir) + name_ + L".log";
        options.insert(options.begin(), L"--install=" + name_);
        options.push_back(L"--log-file=" + log_);
        RunResult installed = RunTendro(options);
        EXPECT_EQ(installed.exitCode, 0u) << ToNarrow(installed.outText);
        scm_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        service_.reset(::OpenServiceW(scm_.get(), name_.c_str(),
                                      SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    }
    ~TendroService() {
        if (service_) {
            Stop(30000);
            ::DeleteService(service_.get());
        }
        ::DeleteFileW(log_.c_str());
        ::DeleteFileW((log_ + L".1").c_str());
    }

    bool StartNoWait() { return ::StartServiceW(service_.get(), 0, nullptr) != 0; }
    bool Start() { return StartNoWait() && WaitFor(SERVICE_RUNNING, 20000); }
    // Asks for the stop and waits for STOPPED: the milliseconds it took, or INFINITE.
    DWORD Stop(DWORD timeoutMs) {
        SERVICE_STATUS status{};
        const DWORD begin = ::GetTickCount();
        ::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
        return WaitFor(SERVICE_STOPPED, timeoutMs) ? ::GetTickCount() - begin : INFINITE;
    }
    SERVICE_STATUS_PROCESS Status() const {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        ::QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                               reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
        return status;
    }
    bool WaitFor(DWORD state, DWORD timeoutMs) const {
        const DWORD begin = ::GetTickCount();
        while (Status().dwCurrentState != state) {
            if (::GetTickCount() - begin > timeoutMs) return false;
            ::Sleep(20);
        }
        return true;
    }
    // The log file as text (it is UTF-8).
    std::wstring Log() const {
        Handle file(::CreateFileW(log_.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
        if (!file) return {};
        std::string bytes(1 << 20, '\0');
        DWORD read = 0;
        ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
        bytes.resize(read);
        return ToWide(bytes, CP_UTF8);
    }
    bool WaitForLog(const std::wstring& text, DWORD timeoutMs) const {
        const DWORD begin = ::GetTickCount();
        while (Log().find(text) == std::wstring::npos) {
            if (::GetTickCount() - begin > timeoutMs) return false;
            ::Sleep(50);
        }
        return true;
    }

private:
    std::wstring name_, log_;
    ScHandle scm_, service_;
};

}  // namespace

// Started, it watches the group: a service stopped from outside is restarted and the log file
// says so. Stopped while idle, it is gone within a second or two.
TEST(ServiceRun, RunsTheGroupAndStopsWhenAsked) {
    TestService watched;
    ASSERT_TRUE(watched.Start());
    TendroService tendro({L"-f", L"1", L"-s", watched.Name()});
    ASSERT_TRUE(tendro.Start()) << ToNarrow(tendro.Log());
    ASSERT_TRUE(tendro.WaitForLog(L"Init: ", 10000));
    const DWORD oldPid = watched.Pid();
    ASSERT_TRUE(watched.StopFromOutside());
    ASSERT_TRUE(tendro.WaitForLog(L"Service " + watched.Name() + L" is NOT running!", 20000))
        << ToNarrow(tendro.Log());
    ASSERT_TRUE(watched.WaitForState(SERVICE_RUNNING, 20000));
    EXPECT_NE(watched.Pid(), oldPid);
    const DWORD took = tendro.Stop(10000);
    EXPECT_LT(took, 5000u) << "an idle stop";
    EXPECT_EQ(tendro.Status().dwWin32ExitCode, DWORD{NO_ERROR});
    EXPECT_THAT(ToNarrow(tendro.Log()), HasSubstr("Tendro Stopped\r\n"));
}

// A stop while a group restart waits for a slow start: the response is finished first, so the
// group is up when the service has stopped.
TEST(ServiceRun, AStopDuringAResponseLeavesTheGroupUp) {
    TestService slow({L"--start-pending", L"3000"}), other;
    ASSERT_TRUE(slow.Start());
    ASSERT_TRUE(other.Start());
    TendroService tendro({L"-v", L"-f", L"1", L"-s", slow.Name(), L"-s", other.Name()});
    ASSERT_TRUE(tendro.Start()) << ToNarrow(tendro.Log());
    ASSERT_TRUE(tendro.WaitForLog(L"Service check commencing", 10000));
    ASSERT_TRUE(other.StopFromOutside());
    ASSERT_TRUE(tendro.WaitForLog(L"Starting service " + slow.Name(), 20000))
        << ToNarrow(tendro.Log());
    EXPECT_NE(tendro.Stop(40000), INFINITE);
    EXPECT_EQ(slow.State(), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(other.State(), DWORD{SERVICE_RUNNING});
}

// A start-up that ends the run is a failure of the service, with Tendro's exit code, and the
// reason is in the log file; --service typed at a prompt says how the service is started.
TEST(ServiceRun, AFailedStartUpStopsTheServiceWithItsExitCode) {
    TendroService tendro({L"-s", UniqueServiceName(L"TendroNoSuch")});
    ASSERT_TRUE(tendro.StartNoWait());
    ASSERT_TRUE(tendro.WaitFor(SERVICE_STOPPED, 20000));
    EXPECT_EQ(tendro.Status().dwWin32ExitCode, DWORD{ERROR_SERVICE_SPECIFIC_ERROR});
    EXPECT_EQ(tendro.Status().dwServiceSpecificExitCode, 1u);
    EXPECT_THAT(ToNarrow(tendro.Log()), HasSubstr("Err!: "));

    RunResult typed = RunTendro({L"--service=TendroAtAPrompt"});
    EXPECT_EQ(typed.exitCode, 1u);
    ASSERT_EQ(typed.out.size(), 1u) << ToNarrow(typed.outText);
    EXPECT_THAT(ToNarrow(typed.out[0]), HasSubstr("--install=TendroAtAPrompt"));
}
