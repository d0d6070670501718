// The process that the host product runs for a service: the recorded id and state, checked
// against the service process, with the stand-in registered in the Wine service manager.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include "common/text.h"
#include "fixtures/hostproduct/standin_keys.h"
#include "hostproduct/contract.h"
#include "service/host_process.h"
#include "support/host_product.h"
#include "support/monitor_helpers.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;

namespace {

class HostProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        name = UniqueServiceName(L"TendroP");
        product.SetServices({name});
    }

    void Set(const wchar_t* key, const std::wstring& value) {
        product.Configure(std::wstring(key) + L":" + name, value);
    }

    // The service as the monitor sees it: opened through the local manager.
    ServiceControl Control(uint32_t isPlainService = 0) {
        return ServiceControl(MakeSharedScHandle(::OpenSCManagerW(nullptr, nullptr,
                                                                  SC_MANAGER_CONNECT)),
                              {}, name, isPlainService);
    }

    std::wstring RecordKey() const { return FormatText(host::ProcessInfoKeyFormat, name.c_str()); }

    void WriteRecord(const wchar_t* value, DWORD data) {
        RegKey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, RecordKey().c_str(), 0, nullptr, 0,
                                    KEY_SET_VALUE, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(::RegSetValueExW(key.get(), value, 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&data), sizeof(data)),
                  ERROR_SUCCESS);
    }

    void DeleteRecordValue(const wchar_t* value) {
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, RecordKey().c_str(), value);
    }

    static void ExpectInfo(const HostProcessInfo& info, uint32_t state, uint32_t pid) {
        EXPECT_EQ(info.state, state);
        EXPECT_EQ(info.pid, pid);
    }

    HostProductInstallation product;
    std::wstring name;
};

TEST(ProcessStateWord, WordsOfTheStates) {
    const wchar_t* const words[] = {L"", L"Running", L"", L"Scheduled", L"Failed",
                                    L"Frozen", L"Job Running", L""};
    for (uint32_t state = 0; state < 8; ++state) EXPECT_EQ(ProcessStateWord(state), words[state]);
    EXPECT_EQ(ProcessStateWord(0xFFFFFFFF), L"");
}

TEST_F(HostProcessTest, TheRecordedChildIsTheMonitoredProcess) {
    HostProductService service(product.ExePath(), name);
    ASSERT_TRUE(service.Start());
    const DWORD program = service.RecordedPid();
    ASSERT_NE(program, 0u);
    ASSERT_NE(program, service.Pid());

    ServiceControl control = Control();
    ASSERT_EQ(control.openError, 0u);
    EXPECT_EQ(GetProcessPid(control), static_cast<int32_t>(program));
    ExpectInfo(GetHostProcessInfo(control), 1, program);
    Handle opened = OpenMonitoredProcess(control);
    ASSERT_TRUE(opened);
    EXPECT_EQ(::GetProcessId(opened.get()), program);
    PROCESS_MEMORY_COUNTERS counters{};  // opened for memory reads
    EXPECT_TRUE(::GetProcessMemoryInfo(opened.get(), &counters, sizeof(counters)));

    // Every state number is passed on as recorded; the id stays verified.
    for (DWORD state : {3u, 4u, 5u, 6u, 0u, 2u, 77u}) {
        WriteRecord(host::ValueProcessState, state);
        ExpectInfo(GetHostProcessInfo(control), state, program);
    }
    // Missing values: the state defaults to 2, the id to none.
    DeleteRecordValue(host::ValueProcessState);
    ExpectInfo(GetHostProcessInfo(control), 2, program);
    WriteRecord(host::ValueProcessState, 3);
    DeleteRecordValue(host::ValueProcessId);
    EXPECT_EQ(GetProcessPid(control), -1);
    ExpectInfo(GetHostProcessInfo(control), 3, 0);
    EXPECT_FALSE(OpenMonitoredProcess(control));
    WriteRecord(host::ValueProcessId, 0);
    EXPECT_EQ(GetProcessPid(control), -1);
    ExpectInfo(GetHostProcessInfo(control), 3, 0);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, RecordKey().c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, RecordKey().c_str());
    EXPECT_EQ(GetProcessPid(control), -1);
    ExpectInfo(GetHostProcessInfo(control), 2, 0);

    // The same service handled as a plain one: its own process, no record read.
    WriteRecord(host::ValueProcessId, program);
    ServiceControl plain = Control(1);
    EXPECT_EQ(GetProcessPid(plain), static_cast<int32_t>(service.Pid()));
    ExpectInfo(GetHostProcessInfo(plain), 0, 0);
    Handle serviceProcess = OpenMonitoredProcess(plain);
    ASSERT_TRUE(serviceProcess);
    EXPECT_EQ(::GetProcessId(serviceProcess.get()), service.Pid());
}

TEST_F(HostProcessTest, IdsThatAreNoChildOfTheServiceProcessAreRejected) {
    Set(hostproduct::KeyRecordPid, hostproduct::RecordSelf);
    HostProductService service(product.ExePath(), name);
    ASSERT_TRUE(service.Start());
    ASSERT_EQ(service.RecordedPid(), service.Pid());
    ServiceControl control = Control();
    // The service's own process.
    EXPECT_EQ(GetProcessPid(control), -1);
    ExpectInfo(GetHostProcessInfo(control), 2, 0);
    EXPECT_FALSE(OpenMonitoredProcess(control));
    // A live process of somebody else (this test), and an id no process has.
    for (DWORD pid : {DWORD{::GetCurrentProcessId()}, DWORD{0xFFFFFFF0u}}) {
        WriteRecord(host::ValueProcessId, pid);
        WriteRecord(host::ValueProcessState, 1);
        EXPECT_EQ(GetProcessPid(control), -1) << pid;
        ExpectInfo(GetHostProcessInfo(control), 2, 0);
    }
}

TEST_F(HostProcessTest, AProgramThatEndedIsNoLongerMonitored) {
    Set(hostproduct::KeyChildExitMs, L"200");
    Set(hostproduct::KeyOnChildExit, hostproduct::OnExitIgnore);  // the record still says 1
    HostProductService service(product.ExePath(), name);
    ASSERT_TRUE(service.Start());
    const DWORD program = service.RecordedPid();
    Handle process(::OpenProcess(SYNCHRONIZE, FALSE, program));
    ASSERT_TRUE(process);
    ASSERT_EQ(::WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    process.reset();
    ASSERT_EQ(service.RecordedState(), 1u);

    ServiceControl control = Control();
    EXPECT_EQ(GetProcessPid(control), -1);
    ExpectInfo(GetHostProcessInfo(control), 2, 0);
    EXPECT_FALSE(OpenMonitoredProcess(control));
}

TEST_F(HostProcessTest, AStoppedServiceHasNoMonitoredProcess) {
    Set(hostproduct::KeyKeepRecordOnStop, L"1");
    HostProductService service(product.ExePath(), name);
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.StopFromOutside());
    // A record left behind that names a live process: the stopped service is no parent.
    WriteRecord(host::ValueProcessId, ::GetCurrentProcessId());
    WriteRecord(host::ValueProcessState, 1);
    ServiceControl control = Control();
    EXPECT_EQ(GetProcessPid(control), -1);
    ExpectInfo(GetHostProcessInfo(control), 2, 0);
}

}  // namespace
