#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

#include "cmdline/cmdline_parser.h"
#include "common/error.h"
#include "hostproduct/host_product_info.h"
#include "hostproduct/host_services.h"
#include "support/host_product.h"
#include "process/read_channels.h"
#include "process/child_process.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"

using namespace tendro;
using tendro::test::HostProductInstallation;
namespace hp = hostproduct;

namespace {

using Names = std::vector<std::wstring>;

class HostServices : public ::testing::Test {
protected:
    void SetUp() override { test::RemoveHostProductRecords(); }
    void TearDown() override { test::RemoveHostProductRecords(); }

    // Detects the installed stand-in and lists its services as the start-up does.
    Names List() {
        EXPECT_TRUE(DetectHostProduct());
        CmdLineParser settings;
        settings.LoadCVServices();
        return Names(settings.hostServices.begin(), settings.hostServices.end());
    }

    // The system error the listing raises (code 0 when there is none); nothing is listed then.
    std::system_error ListingError(DWORD waitLimitMs = HostListWaitLimitMs) {
        EXPECT_TRUE(DetectHostProduct());
        ServiceList names;
        try {
            ListHostServices(names, waitLimitMs);
        } catch (const std::system_error& e) {
            EXPECT_TRUE(names.empty());
            return e;
        }
        return SystemError(0, "");
    }
};

}  // namespace

TEST_F(HostServices, EveryLineEndingAndAMissingFinalBreak) {
    HostProductInstallation product;
    product.SetServices({L"alpha", L"beta", L"gamma", L"delta"});
    for (const wchar_t* lineEnd : {hp::LineEndCrLf, hp::LineEndLf, hp::LineEndCr, hp::LineEndMixed}) {
        for (const wchar_t* finalBreak : {L"1", L"0"}) {
            product.Config().Set(hp::KeyListLineEnd, lineEnd);
            product.Config().Set(hp::KeyListFinalBreak, finalBreak);
            product.SaveConfig();
            EXPECT_EQ(List(), (Names{L"alpha", L"beta", L"gamma", L"delta"}))
                << "line end " << lineEnd << ", final break " << finalBreak;
        }
    }
}

TEST_F(HostServices, BlankLinesTrailingBlanksRepeatsAndNonAscii) {
    HostProductInstallation product;
    product.SetServices({L"", L"alpha ", L"", L" ", L"beta", L"alpha ", L"\u00e9t\u00e9 \u65e5\u672c", L""});
    product.Configure(hp::KeyListLineEnd, hp::LineEndLf);
    EXPECT_EQ(List(), (Names{L"alpha ", L" ", L"beta", L"alpha ", L"\u00e9t\u00e9 \u65e5\u672c"}));
}

TEST_F(HostServices, LongListingAcrossManyReads) {
    HostProductInstallation product;
    Names names;
    for (int i = 0; i < 400; ++i) names.push_back(L"\u00fcsvc-" + std::to_wstring(i));  // 2-byte letters
    product.SetServices(names);
    EXPECT_EQ(List(), names);
}

TEST_F(HostServices, NothingOnStandardOutputListsNothing) {
    HostProductInstallation product;
    product.SetServices({L"alpha", L"beta"});
    product.Configure(hp::KeyListBehaviour, hp::ListSilent);
    EXPECT_EQ(List(), Names{});
    product.Configure(hp::KeyListBehaviour, hp::ListStderrOnly);
    EXPECT_EQ(List(), Names{});
    // Much on standard error cannot block the listing.
    product.Configure(hp::KeyListBehaviour, hp::ListFloodStderr);
    EXPECT_EQ(List(), (Names{L"alpha", L"beta"}));
}

TEST_F(HostServices, InvalidUtf8IsASystemError) {
    HostProductInstallation product;
    product.SetServices({L"alpha"});
    product.Configure(hp::KeyListBehaviour, hp::ListInvalidUtf8);
    std::system_error e = ListingError();
    EXPECT_EQ(e.code(), SystemErrorCode(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(std::string(e.what()).rfind("Host product's service list is not valid UTF-8: ", 0), 0u) << e.what();
}

TEST_F(HostServices, OutputThatNeverEndsRunsOutOfTime) {
    HostProductInstallation product;
    product.SetServices({L"alpha"});
    product.Configure(hp::KeyListBehaviour, hp::ListNeverEnd);
    DWORD start = ::GetTickCount();
    std::system_error e = ListingError(1500);
    EXPECT_LT(::GetTickCount() - start, 15000u);
    EXPECT_EQ(e.code(), SystemErrorCode(ERROR_TIMEOUT));
    EXPECT_EQ(std::string(e.what()).rfind(
                  "Host product's service executable did not finish its service list: ", 0),
              0u)
        << e.what();
}

TEST_F(HostServices, InstallationPathForms) {
    {
        HostProductInstallation::Options options;
        options.folderName = L"CorvantaNoBlank-" + std::to_wstring(::GetCurrentProcessId());
        options.exeName = L"CvSvc.exe";
        HostProductInstallation product(options);
        product.SetServices({L"plain"});
        EXPECT_EQ(List(), Names{L"plain"});
        EXPECT_EQ(QuotedServiceExePath(), product.ExePath());
    }
    HostProductInstallation::Options options;
    options.exeName = L"Corvanta Service.exe";
    HostProductInstallation product(options);
    product.SetServices({L"blanks"});
    EXPECT_EQ(List(), Names{L"blanks"});
    EXPECT_EQ(QuotedServiceExePath(), L"\"" + product.ExePath() + L"\"");
    // A directory ending in a backslash is joined as it is, with a doubled backslash.
    product.SetString(L"InstallationDir", product.Folder() + L"\\");
    EXPECT_EQ(List(), Names{L"blanks"});
    EXPECT_EQ(QuotedServiceExePath(),
              L"\"" + product.Folder() + L"\\\\Corvanta Service.exe\"");
}

TEST_F(HostServices, ExecutableGoneAfterDetection) {
    HostProductInstallation product;
    product.SetServices({L"alpha"});
    ASSERT_TRUE(DetectHostProduct());
    ASSERT_TRUE(::DeleteFileW(product.ExePath().c_str()));
    CmdLineParser settings;
    try {
        settings.LoadCVServices();
        FAIL() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(std::string(e.what()).rfind("Can't create process: ", 0), 0u) << e.what();
    }
    EXPECT_TRUE(settings.hostServices.empty());
}

TEST_F(HostServices, MisbehavingProductAtStartUp) {
    HostProductInstallation product;
    product.SetServices({L"TendroNoSuchHostService"});
    for (const wchar_t* behaviour : {hp::ListSilent, hp::ListStderrOnly, hp::ListFloodStderr}) {
        product.Configure(hp::KeyListBehaviour, behaviour);
        test::RunResult run = test::RunTendro({L"-o", L"-p", L"-s", L"TendroNoSuchService"}, 60000);
        EXPECT_FALSE(run.timedOut) << behaviour;
        EXPECT_TRUE(run.errText.find(L"[system:") == std::wstring::npos) << behaviour << run.errText;
        EXPECT_NE(run.outText.find(L"Corvanta Pro detected"), std::wstring::npos) << behaviour;
    }
    product.Configure(hp::KeyListBehaviour, hp::ListInvalidUtf8);
    test::RunResult run = test::RunTendro({L"-o", L"-p", L"-s", L"TendroNoSuchService"}, 60000);
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_EQ(run.err.size(), 1u) << run.errText;
    EXPECT_EQ(run.err[0], DescribeSystemError(SystemError(ERROR_NO_UNICODE_TRANSLATION,
                                                          "Host product's service list is not valid UTF-8")));
}

namespace {

// Services of the Wine prefix that the test can name (registered, whatever their state).
Names RegisteredServices(const Names& candidates) {
    Names found;
    SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    for (const auto& name : candidates) {
        SC_HANDLE service = ::OpenServiceW(scm, name.c_str(), SERVICE_QUERY_STATUS);
        if (service) found.push_back(name);
        if (service) ::CloseServiceHandle(service);
    }
    if (scm) ::CloseServiceHandle(scm);
    return found;
}

bool Contains(const Names& messages, const std::wstring& text) {
    return std::find(messages.begin(), messages.end(), text) != messages.end();
}

}  // namespace

TEST_F(HostServices, AllServicesLessExactExclusions) {
    Names registered = RegisteredServices({L"PlugPlay", L"RpcSs", L"EventLog", L"MountMgr", L"Spooler"});
    ASSERT_GE(registered.size(), 3u);
    const std::wstring first = registered[0], second = registered[1], third = registered[2];
    HostProductInstallation product;
    product.SetServices({first, second, third});

    // -e compares exactly: the excluded name goes, a name that differs in case excludes nothing.
    std::wstring otherCase = second;
    for (auto& c : otherCase) c = static_cast<wchar_t>(::towupper(c));
    test::RunResult run = test::RunTendro({L"-a", L"-o", L"-p", L"-e", second, L"-e", otherCase + L"X"});
    ASSERT_FALSE(run.timedOut);
    Names messages = test::LogTexts(run.out);
    EXPECT_TRUE(Contains(messages, L"Excluded service: " + second)) << run.outText;
    EXPECT_FALSE(Contains(messages, L"Validating service: " + second)) << run.outText;
    auto firstAt = std::find(messages.begin(), messages.end(), L"Validating service: " + first);
    auto thirdAt = std::find(messages.begin(), messages.end(), L"Validating service: " + third);
    EXPECT_TRUE(firstAt != messages.end() && thirdAt != messages.end() && firstAt < thirdAt) << run.outText;

    // Without -a the listed services join no group.
    run = test::RunTendro({L"-o", L"-p", L"-e", second, L"-s", first});
    messages = test::LogTexts(run.out);
    EXPECT_FALSE(Contains(messages, L"Excluded service: " + second)) << run.outText;
    EXPECT_FALSE(Contains(messages, L"Validating service: " + third)) << run.outText;

    // A listed name with a trailing blank is kept as it is and names no service.
    product.SetServices({first + L" "});
    run = test::RunTendro({L"-a", L"-o", L"-p"});
    messages = test::LogTexts(run.out);
    EXPECT_TRUE(Contains(messages, L"Validating service: " + first + L" ")) << run.outText;
    EXPECT_TRUE(Contains(messages, L"\tCannot connect to service " + first + L" ")) << run.outText;
}

namespace {

// The listing is complete once standard output has ended, also while a helper of the product
// holds its standard error open.
TEST_F(HostServices, StandardOutputEndsTheListing) {
    HostProductInstallation product;
    product.SetServices({L"alpha", L"beta"});
    product.Configure(hp::KeyListBehaviour, hp::ListStderrHeld);
    product.Configure(hp::KeyListHangMs, L"60000");
    EXPECT_TRUE(DetectHostProduct());
    DWORD start = ::GetTickCount();
    ServiceList names;
    ListHostServices(names, 20000);
    EXPECT_LT(::GetTickCount() - start, 15000u);
    EXPECT_EQ(Names(names.begin(), names.end()), (Names{L"alpha", L"beta"}));
}

// Output without end is cut off at the bound with a system error of its own.
TEST_F(HostServices, OutputWithoutEndIsBounded) {
    HostProductInstallation product;
    product.SetServices({L"alpha"});
    product.Configure(hp::KeyListBehaviour, hp::ListEndless);
    std::system_error e = ListingError(20000);
    EXPECT_EQ(e.code(), SystemErrorCode(ERROR_INVALID_DATA));
    EXPECT_EQ(std::string(e.what()).rfind(std::string(HostListTooLargeText) + ": ", 0), 0u)
        << e.what();
}

// The stand-in answers the product's two command lines only, and only once its input ended.
TEST_F(HostServices, StandInIsAsStrictAsTheProduct) {
    HostProductInstallation product;
    product.SetServices({L"alpha"});
    for (const auto& arguments : std::vector<std::vector<std::wstring>>{
             {}, {L"--list", L"x"}, {L"--list", L""}, {L"--export", L"alpha"},
             {L"--export", L"alpha", L"x"}, {L"--export", L"", L""},
             {L"--export", L"alpha", L"", L""}, {L"--bogus"}}) {
        test::RunResult r = test::RunProgram(product.ExePath(), arguments, 20000);
        std::string shown;
        for (const auto& a : arguments) shown += "[" + ToNarrow(a) + "]";
        EXPECT_NE(r.exitCode, 0u) << shown;
        EXPECT_TRUE(r.outText.empty()) << shown;
        EXPECT_FALSE(r.errText.empty()) << shown;
    }
    EXPECT_EQ(test::RunProgram(product.ExePath(), {L"--list"}, 20000).exitCode, 0u);
    EXPECT_EQ(test::RunProgram(product.ExePath(), {L"--export", L"alpha", L""}, 20000).exitCode, 0u);

    // Nothing is written while the input stays open.
    child_process child = launch_child(quote_argument(product.ExePath()) + L" --list");
    std::string output;
    channel out{child.stdout_read.get(),
                [&output](const char* data, uint32_t count) { output.append(data, count); }};
    EXPECT_FALSE(read_channels(&out, 1, 1500));
    EXPECT_TRUE(output.empty());
    child.stdin_write.reset();
    EXPECT_TRUE(read_channels(&out, 1, 20000));
    EXPECT_EQ(output, "alpha\r\n");
}

}  // namespace
