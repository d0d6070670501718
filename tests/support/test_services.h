// Services for tests: the fixture program svcfixture.exe registered in the service manager
// under unique names, removed again when the test ends (also when it fails).
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/handle.h"
#include "support/monitor_helpers.h"

namespace tendro::test {

enum class StartType : DWORD {
    Auto = SERVICE_AUTO_START,
    Demand = SERVICE_DEMAND_START,
    Disabled = SERVICE_DISABLED,
};

// A made-up machine name; the Wine service manager serves it as the local one.
inline constexpr const wchar_t* kTestHost = L"tendro-test-host";

// A service name nobody else uses: prefix, process id and a counter.
std::wstring UniqueServiceName(const std::wstring& prefix = L"TendroT");

// One registered fixture service. The arguments choose its behaviour (see the options at the
// top of tests/fixtures/svcfixture/svcfixture.cpp), for example:
//   TestService crash({L"--exit-after", L"500", L"--exit-code", L"1067"});
//   TestService slowStop({L"--stop-pending", L"15000"});
//   TestService hog({L"--memory", L"64"}, StartType::Auto);
//   TestService shared({L"--share-process"});  // registered as SERVICE_WIN32_SHARE_PROCESS
// The destructor ends the service (whatever its stop behaviour) and deletes it.
class TestService {
public:
    explicit TestService(std::vector<std::wstring> fixtureArguments = {},
                         StartType startType = StartType::Demand,
                         const std::wstring& namePrefix = L"TendroT");
    ~TestService();
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;

    const std::wstring& Name() const { return name_; }
    // "\\host\name": the remote form of the name (reaches the local manager under Wine).
    std::wstring RemoteName(const std::wstring& host = kTestHost) const;

    // Starts the service and waits until it has left START_PENDING (at most waitMs);
    // true when it is RUNNING then.
    bool Start(DWORD waitMs = 20000);
    // StartServiceW only; false (with the error in LastError()) when that fails.
    bool StartNoWait();
    // Asks the service to stop, as another program would, and waits up to waitMs for
    // STOPPED; true when it got there.
    bool StopFromOutside(DWORD waitMs = 20000);
    // Asks the service to stop without waiting: true when the stop was taken (or the service
    // was not running). For a service that a watching monitor restarts at once, whose
    // STOPPED may last too short a moment for a poll to see it.
    bool AskToStop();
    // Ends the service at once, whatever its stop behaviour, also while a state is pending
    // (through the fixture's end event); the process is terminated when that does not help.
    void EndNow();

    DWORD State() const;     // SCM state, 0 when the query fails
    DWORD Pid() const;       // service process id, 0 when there is none
    DWORD ExitCode() const;  // dwWin32ExitCode of the last status
    SERVICE_STATUS_PROCESS Status() const;
    // Polls until the state is `state`; true when it got there within timeoutMs.
    bool WaitForState(DWORD state, DWORD timeoutMs) const;
    void SetStartType(StartType startType);
    DWORD LastError() const { return lastError_; }

private:
    std::wstring name_;
    ScHandle scm_;
    ScHandle service_;
    DWORD lastError_ = 0;
};

// The short names among `candidates` that are registered in the service manager (services
// of the Wine prefix that nobody here wrote, such as "Spooler" or "PlugPlay").
std::vector<std::wstring> ExistingServices(const std::vector<std::wstring>& candidates);
// The start type of a registered service, 0 when it cannot be read.
DWORD ServiceStartType(const std::wstring& name);
// The current state of a registered service, 0 when it cannot be read.
DWORD ServiceState(const std::wstring& name);

// Base of tests that read the log in-process: level words set, verbosity 1 ("Init") during
// the test and 0 again afterwards.
class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static LogLine Init(const std::wstring& text) { return {L"Init", text}; }
    static LogLine Err(const std::wstring& text) { return {L"Err!", text}; }
};

}  // namespace tendro::test
