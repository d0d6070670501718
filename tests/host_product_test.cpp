#include <gtest/gtest.h>

#include <ctime>
#include <limits>
#include <string>

#include "common/error.h"
#include "common/registry.h"
#include "hostproduct/contract.h"
#include "hostproduct/host_product_info.h"
#include "log/log.h"
#include "support/host_product.h"
#include "support/run_tendro.h"

using namespace tendro;
using tendro::test::HostProductInstallation;
using tendro::test::ScratchKey;

namespace {

constexpr int64_t Latest = std::numeric_limits<int64_t>::max();

int64_t LocalSeconds(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return ::_mktime64(&t);
}

HostProductInstallation::Options Named(const std::wstring& registryName) {
    HostProductInstallation::Options options;
    options.registryName = registryName;
    return options;
}

// Every test starts without any installation record.
class HostProduct : public ::testing::Test {
protected:
    void SetUp() override { test::RemoveHostProductRecords(); }
    void TearDown() override { test::RemoveHostProductRecords(); }
};

template <typename F>
std::system_error Raised(F&& f) {
    try {
        f();
    } catch (const std::system_error& e) {
        return e;
    }
    ADD_FAILURE() << "no system error raised";
    return SystemError(0, "");
}

}  // namespace

TEST_F(HostProduct, AbsentUnderBothNames) {
    EXPECT_FALSE(DetectHostProduct());
    EXPECT_EQ(HostProductInfo.registryName, host::RegistryNameOem);  // the last attempt's record
    std::system_error result = LoadHostProductInfo(host::RegistryName);
    EXPECT_EQ(result.code().value(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::string(result.what()).rfind("Can't open Corvanta Pro's registry key", 0), 0u);
}

TEST_F(HostProduct, CompleteRecordWithDefaults) {
    HostProductInstallation product;
    product.SetString(host::ValueHelpFile, L"C:\\help.chm");
    product.SetDword(host::ValueTurnOffInSessionCommands, 7);
    ASSERT_TRUE(DetectHostProduct());
    const auto& info = HostProductInfo;
    EXPECT_EQ(info.registryName, host::RegistryName);
    EXPECT_EQ(info.installationDir, product.Folder());
    EXPECT_EQ(info.serviceExe, L"Corvanta.exe");
    EXPECT_EQ(info.productName, L"Corvanta Pro");
    EXPECT_EQ(info.productShortName, L"Corvanta");
    EXPECT_EQ(info.helpFile, L"C:\\help.chm");
    EXPECT_EQ(info.supportUrl, host::SupportUrl);
    EXPECT_EQ(info.initiallyConfigured, 0);
    EXPECT_EQ(info.lastConfigured, Latest);
    EXPECT_EQ(info.turnOffSession0Switch, 0u);
    EXPECT_EQ(info.turnOffInSessionCommands, 7u);
    EXPECT_EQ(info.turnOffOnboardingCues, 0u);
}

TEST_F(HostProduct, OemRecordAloneOrBehindABrokenFirstRecord) {
    HostProductInstallation::Options oemOptions = Named(host::RegistryNameOem);
    oemOptions.exeName = L"Oem Service.exe";
    oemOptions.productName = L"Corvanta Pro OEM Edition";
    HostProductInstallation oem(oemOptions);
    ASSERT_TRUE(DetectHostProduct());
    EXPECT_EQ(HostProductInfo.registryName, host::RegistryNameOem);
    EXPECT_EQ(HostProductInfo.serviceExe, L"Oem Service.exe");
    EXPECT_EQ(HostProductInfo.productName, L"Corvanta Pro OEM Edition");

    // The first record names an executable that is not there.
    HostProductInstallation::Options brokenOptions;
    brokenOptions.installExe = false;
    brokenOptions.productName = L"Broken";
    HostProductInstallation broken(brokenOptions);
    EXPECT_EQ(LoadHostProductInfo(host::RegistryName).code().value(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(DetectHostProduct());
    EXPECT_EQ(HostProductInfo.registryName, host::RegistryNameOem);
    EXPECT_EQ(HostProductInfo.productName, L"Corvanta Pro OEM Edition");
    EXPECT_EQ(HostProductInfo.installationDir, oem.Folder());
}

TEST_F(HostProduct, ServiceExeAbsentMeansTheDefaultName) {
    HostProductInstallation::Options options;
    options.recordServiceExe = false;
    {
        HostProductInstallation product(options);  // installed as Corvanta.exe
        ASSERT_TRUE(DetectHostProduct());
        EXPECT_EQ(HostProductInfo.serviceExe, L"Corvanta.exe");
    }
    options.exeName = L"Other.exe";
    HostProductInstallation product(options);
    product.SetString(host::ValueProductShortName, L"Acme");
    std::system_error result = LoadHostProductInfo(host::RegistryName);
    EXPECT_EQ(result.code().value(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::string(result.what()).rfind("Acme service executable not found", 0), 0u) << result.what();
    EXPECT_FALSE(DetectHostProduct());
}

TEST_F(HostProduct, ConfigurationDates) {
    HostProductInstallation product;
    product.SetString(host::ValueLastConfigured, L"03-07-2024 14:05:09");
    product.SetQword(host::ValueInitiallyConfigured, 1234567890123ULL);
    ASSERT_TRUE(DetectHostProduct());
    EXPECT_EQ(HostProductInfo.lastConfigured, LocalSeconds(2024, 3, 7, 14, 5, 9));
    EXPECT_EQ(HostProductInfo.initiallyConfigured, 1234567890123LL);

    product.SetString(host::ValueLastConfigured, L"2024-03-07 14:05:09");  // year first
    product.SetString(host::ValueInitiallyConfigured, L"not a date");
    ASSERT_TRUE(DetectHostProduct());
    EXPECT_EQ(HostProductInfo.lastConfigured, Latest);
    EXPECT_EQ(HostProductInfo.initiallyConfigured, 0);

    product.SetQword(host::ValueLastConfigured, 42);
    product.SetDword(host::ValueInitiallyConfigured, 99);  // neither text nor 8-byte number
    ASSERT_TRUE(DetectHostProduct());
    EXPECT_EQ(HostProductInfo.lastConfigured, 42);
    EXPECT_EQ(HostProductInfo.initiallyConfigured, 0);
}

TEST_F(HostProduct, UnreadableValuesRaise) {
    HostProductInstallation product;
    product.DeleteValue(host::ValueInstallationDir);
    std::system_error e = Raised([] { DetectHostProduct(); });
    EXPECT_EQ(e.code(), SystemErrorCode(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(std::string(e.what()).rfind("Mandatory registry value InstallationDir not found: ", 0), 0u)
        << e.what();

    product.SetString(host::ValueInstallationDir, product.Folder());
    product.SetQword(host::ValueTurnOffSession0Switch, 1);
    e = Raised([] { DetectHostProduct(); });
    EXPECT_EQ(e.code().value(), ERROR_MORE_DATA);
    EXPECT_EQ(std::string(e.what()).rfind("Mandatory registry value TurnOffSession0Switch not found: ", 0), 0u)
        << e.what();
}

TEST_F(HostProduct, DetectedLineAndRaisedErrorAtStartUp) {
    HostProductInstallation::Options options;
    options.productName = L"Corvanta Pro Stand-in";
    HostProductInstallation product(options);
    test::RunResult run = test::RunTendro({L"-o", L"-s", L"TendroNoSuchService"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_NE(run.outText.find(L": Corvanta Pro Stand-in detected\r\n"), std::wstring::npos) << run.outText;

    run = test::RunTendro({L"-q", L"-o", L"-s", L"TendroNoSuchService"});
    EXPECT_EQ(run.outText.find(L"detected"), std::wstring::npos) << run.outText;

    product.DeleteValue(host::ValueInstallationDir);
    run = test::RunTendro({L"-o", L"-s", L"TendroNoSuchService"});
    EXPECT_EQ(run.exitCode, 1u);
    std::wstring expected = DescribeSystemError(
        SystemError(ERROR_FILE_NOT_FOUND, "Mandatory registry value InstallationDir not found"));
    ASSERT_EQ(run.err.size(), 1u) << run.errText;
    EXPECT_EQ(run.err[0], expected);
}

TEST(RegistryReaders, Strings) {
    ScratchKey key;
    key.SetString(L"text", L"hello");
    key.SetBinary(L"unterminated", std::string("a\0b\0c\0", 6));
    key.SetBinary(L"empty", std::string(), REG_SZ);
    key.SetBinary(L"one byte", std::string("x", 1), REG_SZ);
    key.SetDword(L"number", 0x00420041);  // the type is not looked at: "AB"
    std::wstring out = L"old";

    EXPECT_TRUE(ReadRegString(key.get(), L"text", out, false, L"default"));
    EXPECT_EQ(out, L"hello");
    EXPECT_TRUE(ReadRegString(key.get(), L"unterminated", out, true, nullptr));
    EXPECT_EQ(out, L"abc");
    EXPECT_TRUE(ReadRegString(key.get(), L"empty", out, true, nullptr));
    EXPECT_EQ(out, L"");
    out = L"old";
    EXPECT_TRUE(ReadRegString(key.get(), L"one byte", out, true, nullptr));
    EXPECT_EQ(out, L"");
    EXPECT_TRUE(ReadRegString(key.get(), L"number", out, false, nullptr));
    EXPECT_EQ(out, L"AB");

    EXPECT_FALSE(ReadRegString(key.get(), L"absent", out, false, L"default"));
    EXPECT_EQ(out, L"default");
    EXPECT_FALSE(ReadRegString(key.get(), L"absent", out, false, nullptr));
    EXPECT_EQ(out, L"");
    std::system_error e = Raised([&] { ReadRegString(key.get(), L"absent", out, true, nullptr); });
    EXPECT_EQ(e.code().value(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::string(e.what()).rfind("Mandatory registry value absent not found", 0), 0u);
}

TEST(RegistryReaders, NumbersAndTimes) {
    ScratchKey key;
    key.SetDword(L"dword", 17);
    key.SetQword(L"qword", 5);
    key.SetString(L"date", L"12-31-1999 23:59:58");
    key.SetString(L"short day", L"3-7-2024 04:05:09");
    key.SetString(L"bad month", L"13-01-2024 00:00:00");
    key.SetBinary(L"binary", std::string(8, '\1'));

    uint32_t number = 9;
    EXPECT_TRUE(ReadRegDword(key.get(), L"dword", number));
    EXPECT_EQ(number, 17u);
    EXPECT_FALSE(ReadRegDword(key.get(), L"absent", number));
    EXPECT_EQ(number, 0u);
    std::system_error e = Raised([&] { ReadRegDword(key.get(), L"qword", number); });
    EXPECT_EQ(e.code().value(), ERROR_MORE_DATA);
    EXPECT_EQ(std::string(e.what()).rfind("Mandatory registry value qword not found", 0), 0u);

    int64_t time = -5;
    ReadRegTime(key.get(), L"absent", time);
    EXPECT_EQ(time, -5);
    ReadRegTime(key.get(), L"date", time);
    EXPECT_EQ(time, LocalSeconds(1999, 12, 31, 23, 59, 58));
    ReadRegTime(key.get(), L"short day", time);
    EXPECT_EQ(time, LocalSeconds(2024, 3, 7, 4, 5, 9));
    time = -5;
    ReadRegTime(key.get(), L"bad month", time);
    EXPECT_EQ(time, -5);
    ReadRegTime(key.get(), L"binary", time);  // neither text nor 8-byte number
    EXPECT_EQ(time, -5);
    ReadRegTime(key.get(), L"qword", time);
    EXPECT_EQ(time, 5);
}
