#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "cmdline/cmdline_parser.h"
#include "log/log.h"

using namespace tendro;

namespace {

// Owns a writable argv for the parser (argv[argc] is null).
struct Args {
    std::vector<std::wstring> text;
    std::vector<wchar_t*> argv;
    explicit Args(std::vector<std::wstring> arguments) : text(std::move(arguments)) {
        text.insert(text.begin(), L"tendro.exe");
        for (auto& t : text) argv.push_back(t.data());
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(text.size()); }
};

const LocalMachineNames kLocal{L"localhost", L"127.0.0.1", L"MYBOX"};

CmdLineParser& Parse(CmdLineParser& p, Args& a) {
    p.ParseCommandLine(a.argv.data(), a.argc(), kLocal);
    return p;
}

std::vector<std::wstring> List(const ServiceList& l) { return {l.begin(), l.end()}; }

}  // namespace

TEST(ParseCommandLine, Defaults) {
    CmdLineParser p;
    EXPECT_EQ(p.flags, 0u);
    EXPECT_EQ(p.cpuThreshold, -1);
    EXPECT_EQ(p.frequency, 30);
    EXPECT_EQ(p.ignoreIntervals, 0);
    EXPECT_EQ(p.memoryThreshold, -1);
}

TEST(ParseCommandLine, EverySwitchSetsItsBit) {
    CmdLineParser p;
    Args a({L"-a", L"-h", L"-j", L"-o", L"-p", L"-q", L"-v", L"-r", L"-k", L"-d", L"-g", L"-x"});
    Parse(p, a);
    EXPECT_EQ(p.flags, 0x7FFu);
}

TEST(ParseCommandLine, ValueIsAlwaysTheNextArgumentAndIsExaminedToo) {
    CmdLineParser p;
    Args a({L"-s", L"-v", L"-e", L"/a"});
    Parse(p, a);
    EXPECT_EQ(List(p.specifiedServices), (std::vector<std::wstring>{L"-v"}));
    EXPECT_EQ(List(p.excludedServices), (std::vector<std::wstring>{L"/a"}));
    EXPECT_TRUE(p.Has(CmdLineParser::VerboseMode));
    EXPECT_TRUE(p.Has(CmdLineParser::MonitorAll));
}

TEST(ParseCommandLine, LetterCaseSlashAndLongForms) {
    CmdLineParser p;
    Args a({L"/S", L"one", L"-S", L"two", L"-verbose", L"-", L"/", L"-1", L"x"});
    Parse(p, a);
    EXPECT_EQ(List(p.specifiedServices), (std::vector<std::wstring>{L"one", L"two"}));
    EXPECT_EQ(p.flags, static_cast<uint32_t>(CmdLineParser::VerboseMode));
}

TEST(ParseCommandLine, ValueNeverTakenFromTheOptionItself) {
    CmdLineParser p;
    Args a({L"-f5", L"-s", L"svc"});
    Parse(p, a);
    EXPECT_EQ(p.frequency, 30);
    EXPECT_EQ(List(p.specifiedServices), (std::vector<std::wstring>{L"svc"}));
}

TEST(ParseCommandLine, Numbers) {
    struct Case {
        std::vector<std::wstring> args;
        int32_t cpu;
    } cases[] = {
        {{L"-c", L"abc"}, -1},          {{L"-c", L"-1"}, -1},
        {{L"-c", L"150"}, 150},         {{L"-c", L"20", L"-c", L"30"}, 30},
        {{L"-c", L"50x"}, 50},          {{L"-c", L"  +7"}, 7},
        {{L"-c", L""}, -1},             {{L"-c", L"20", L"-c", L""}, 20},
        {{L"-c", L"2147483647"}, 2147483647},
        {{L"-c", L"-2147483648"}, INT32_MIN},
        {{L"-c", L"2147483648"}, -1},   {{L"-c", L"20", L"-c", L"99999999999999999999"}, 20},
        {{L"-c"}, -1},
    };
    for (auto& c : cases) {
        CmdLineParser p;
        Args a(c.args);
        Parse(p, a);
        EXPECT_EQ(p.cpuThreshold, c.cpu) << a.text.back();
    }
    CmdLineParser p;
    Args a({L"-m", L"0", L"-f", L"-5", L"-i", L"3"});
    Parse(p, a);
    EXPECT_EQ(p.memoryThreshold, 0);
    EXPECT_EQ(p.frequency, -5);
    EXPECT_EQ(p.ignoreIntervals, 3);
}

TEST(ParseCommandLine, RestartFromFailureNeedsAFollowingArgument) {
    CmdLineParser last;
    Args a1({L"-s", L"x", L"-g"});
    Parse(last, a1);
    EXPECT_FALSE(last.Has(CmdLineParser::RestartFromFailure));
    CmdLineParser followed;
    Args a2({L"-g", L"-v"});
    Parse(followed, a2);
    EXPECT_TRUE(followed.Has(CmdLineParser::RestartFromFailure));
    EXPECT_TRUE(followed.Has(CmdLineParser::VerboseMode));
}

TEST(ParseCommandLine, EmptyArgumentIsAPresentValue) {
    CmdLineParser p;
    Args a({L"-s", L"", L"-e"});
    Parse(p, a);
    EXPECT_EQ(List(p.specifiedServices), (std::vector<std::wstring>{L""}));
    EXPECT_TRUE(p.excludedServices.empty());
}

TEST(ReadCredentials, WellFormedValuesAreRecordedAndMasked) {
    CmdLineParser p;
    Args a({L"-l", L"srv=bob:p:w@d=x@corp", L"-l", L"=me:pw@dom", L"-l", L"MyBox=u:x@y"});
    Parse(p, a);
    EXPECT_EQ(p.logonUsers[L"SRV"], L"bob@corp");
    EXPECT_EQ(p.passwords[L"srv"], L"p:w@d=x");
    EXPECT_EQ(a.text[2], L"srv=bob:*******@corp");
    // The empty machine and the computer's own names mean the local machine; the later wins.
    EXPECT_EQ(p.logonUsers[L""], L"u@y");
    EXPECT_EQ(p.passwords[L""], L"x");
    EXPECT_EQ(a.text[4], L"=me:**@dom");
    EXPECT_EQ(p.logonUsers.size(), 2u);

    p.ErasePasswords();
    EXPECT_TRUE(p.passwords.empty());
    EXPECT_EQ(p.logonUsers.size(), 2u);
}

TEST(ReadCredentials, WrongFormsAreIgnored) {
    for (std::wstring value : {L"srv=bob@corp", L"srv=bob:pw", L"srv bob:pw@corp", L"srv=:pw@corp",
                               L"srv=bob:pw@", L"nothing", L"srv=bob:pw@co rp"}) {
        CmdLineParser p;
        Args a({L"-l", value});
        Parse(p, a);
        EXPECT_TRUE(p.logonUsers.empty()) << value;
        EXPECT_TRUE(p.passwords.empty()) << value;
        EXPECT_EQ(a.text[2], value);
    }
}

TEST(ReadCredentials, VeryLongValueDoesNotCrash) {
    CmdLineParser p;
    std::wstring longPassword(30000, L'p');
    Args a({L"-l", L"srv=bob:" + longPassword + L"@corp"});
    Parse(p, a);
    EXPECT_EQ(p.passwords[L"srv"], longPassword);
    EXPECT_EQ(a.text[2], L"srv=bob:" + std::wstring(30000, L'*') + L"@corp");
}

TEST(MaskCommandLine, MasksThePasswordAtItsPlaceInTheRawLine) {
    std::wstring raw = LR"("C:\x y\tendro.exe" -l "srv=bob:a b\"c@corp" -s a\\b -l srv=u:pw@d)";
    std::vector<std::wstring> original = {L"C:\\x y\\tendro.exe", L"-l", L"srv=bob:a b\"c@corp",
                                          L"-s", L"a\\\\b", L"-l", L"srv=u:pw@d"};
    std::vector<std::wstring> parsed = original;
    parsed[2] = L"srv=bob:*****@corp";
    parsed[6] = L"srv=u:**@d";
    EXPECT_EQ(MaskCommandLine(raw, original, parsed),
              LR"("C:\x y\tendro.exe" -l "srv=bob:***\**@corp" -s a\\b -l srv=u:**@d)");
}

TEST(MaskCommandLine, UnmatchedLineFallsBackToTheMaskedArguments) {
    std::vector<std::wstring> original = {L"t.exe", L"-l", L"s=u:pw@d"};
    std::vector<std::wstring> parsed = {L"t.exe", L"-l", L"s=u:**@d"};
    std::wstring shown = MaskCommandLine(L"t.exe -l something-else", original, parsed);
    EXPECT_EQ(shown.find(L"pw"), std::wstring::npos);
    EXPECT_EQ(shown, L"t.exe -l s=u:**@d");
}

TEST(UsageText, FiftyThreeLinesWithOnePercentSignFormat) {
    std::wstring text = UsageText();
    size_t lines = 0;
    for (wchar_t c : text) lines += (c == L'\n');
    EXPECT_EQ(lines, 53u);
    EXPECT_EQ(text.back(), L'\n');
    EXPECT_NE(text.find(L"\\\\server\\service\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"is 50%% across"), std::wstring::npos);
}
