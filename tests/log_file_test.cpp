// --log-file: rotation by size with whole lines (in-process, a byte limit of a few lines),
// readers that share delete and one that does not, and tendro.exe writing the console's lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "common/text.h"
#include "logfile/log_file.h"
#include "support/run_tendro.h"
#include "support/system_text.h"
#include "support/temp_folder.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::HasSubstr;

namespace {

// Lines from..to, each 20 bytes with its CR LF, as the file must hold them.
std::string Numbered(int from, int to) {
    std::string lines;
    for (int n = from; n <= to; ++n) lines += ToNarrow(FormatText(L"line %04d xxxxxxxx\r\n", n));
    return lines;
}
void WriteNumbered(LogFile& log, int from, int to) {
    for (int n = from; n <= to; ++n)
        log.WriteLine(LogInit, L"", FormatText(L"line %04d xxxxxxxx\n", n));
}

class LogFileTest : public LoggingTest {
protected:
    std::unique_ptr<LogFile> Open(uint64_t maxBytes, uint32_t keep) {
        DWORD error = 0;
        auto log = LogFile::Open({path, maxBytes, keep}, error);
        EXPECT_TRUE(log) << error;
        return log;
    }
    std::string Content(const std::wstring& name) { return ReadWhole(folder.File(name)).value_or("?"); }
    TempFolder folder;
    const std::wstring path = folder.File(L"t.log");
};

}  // namespace

TEST_F(LogFileTest, RotationKeepsWholeLinesInTheExpectedFiles) {
    struct Case {
        uint64_t maxBytes;
        uint32_t keep;
        int lines;
        std::map<std::wstring, std::pair<int, int>> files;  // name: its first and last line
    };
    for (const Case& k : std::vector<Case>{
             {100, 2, 23, {{L"t.log", {21, 23}}, {L"t.log.1", {16, 20}}, {L"t.log.2", {11, 15}}}},
             {120, 1, 13, {{L"t.log", {13, 13}}, {L"t.log.1", {7, 12}}}},  // 120 reached, not passed
             {100, 0, 12, {{L"t.log", {11, 12}}}},
             {10, 2, 5, {{L"t.log", {5, 5}}, {L"t.log.1", {4, 4}}, {L"t.log.2", {3, 3}}}},
         }) {
        WriteNumbered(*Open(k.maxBytes, k.keep), 1, k.lines);
        std::set<std::wstring> names;
        for (const auto& [name, range] : k.files) {
            names.insert(name);
            EXPECT_EQ(Content(name), Numbered(range.first, range.second)) << k.maxBytes;
        }
        EXPECT_EQ(folder.Names(), names) << k.maxBytes;
        for (const auto& name : names) ::DeleteFileW(folder.File(name).c_str());
    }
    // UTF-8 without a byte-order mark, CR LF also inside a text, standard error's lines but not
    // the usage; an existing file is appended to.
    auto log = Open(1 << 20, 1);
    log->WriteLine(LogError, L"", L"Err!: caf\u00e9\n\tmore\n");
    log->WriteText(STD_OUTPUT_HANDLE, L"usage\n");
    log->WriteText(STD_ERROR_HANDLE, L"[system:5] denied\n");
    WriteNumbered(*Open(1 << 20, 1), 1, 1);
    EXPECT_EQ(Content(L"t.log"), "Err!: caf\xC3\xA9\r\n\tmore\r\n[system:5] denied\r\n" + Numbered(1, 1));
}

TEST_F(LogFileTest, AReaderThatSharesDeleteDoesNotBlockRotation) {
    auto log = Open(100, 1);
    WriteNumbered(*log, 1, 5);
    // It follows t.log into t.log.1 and then out of the names altogether.
    Handle reader = OpenForReading(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    WriteNumbered(*log, 6, 11);
    EXPECT_EQ(ReadFromStart(reader.get()), Numbered(1, 5));
    reader.reset();
    EXPECT_EQ(Content(L"t.log") + Content(L"t.log.1"), Numbered(11, 11) + Numbered(6, 10));
    EXPECT_EQ(folder.Names(), (std::set<std::wstring>{L"t.log", L"t.log.1"}));
}

TEST_F(LogFileTest, AReaderThatDoesNotShareDeleteLeadsToAppendingAndOneLine) {
    auto log = Open(100, 20);
    LogSinks sinks;  // the line about the rotation goes through the log
    sinks.Add(*log);
    WriteNumbered(*log, 1, 5);
    Handle reader = OpenForReading(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    WriteNumbered(*log, 6, 12);  // line 6 tries, the next tries wait
    const std::string content = Content(L"t.log");
    const std::string note = ToNarrow(L"Can't rotate log file " + path + L": " +
                                      SystemMessage(ERROR_SHARING_VIOLATION), CP_UTF8);
    size_t at = content.find(note);
    ASSERT_NE(at, std::string::npos) << content;
    size_t noteEnd = content.find("\r\n", at) + 2;
    size_t noteStart = content.rfind("\r\n", at) + 2;
    EXPECT_EQ(content.substr(0, noteStart) + content.substr(noteEnd), Numbered(1, 12));
    EXPECT_THAT(content.substr(noteStart), ::testing::StartsWith("Err!: "));

    // Once the reader is gone, a later line rotates: nothing is lost.
    reader.reset();
    const int last = 12 + static_cast<int>(LogRotationRetryLines);
    WriteNumbered(*log, 13, last);
    std::string all;
    for (size_t n = folder.Names().size() - 1; n > 0; --n) all += Content(L"t.log." + std::to_wstring(n));
    EXPECT_GT(folder.Names().size(), 2u);
    EXPECT_EQ(all + Content(L"t.log"), content + Numbered(13, last));
}

// A reader that does not share delete, on PATH or on a rotated file: every try fails, and
// every file keeps its name and its lines, however often it is tried.
TEST_F(LogFileTest, AFailedRotationLosesNoFile) {
    for (const wchar_t* held : {L"t.log", L"t.log.2", L"t.log.3"}) {
        WriteNumbered(*Open(100, 3), 1, 20);  // t.log.3 ... t.log: lines 1-5, 6-10, 11-15, 16-20
        std::map<std::wstring, std::string> before;
        for (const std::wstring& name : folder.Names()) before[name] = Content(name);
        auto log = Open(100, 3);
        Handle reader = OpenForReading(folder.File(held), FILE_SHARE_READ | FILE_SHARE_WRITE);
        WriteNumbered(*log, 21, 21 + 3 * static_cast<int>(LogRotationRetryLines));  // 4 tries
        ASSERT_EQ(folder.Names().size(), 4u) << ToNarrow(held);
        for (const auto& [name, content] : before)
            EXPECT_EQ(Content(name).substr(0, name == L"t.log" ? content.size() : std::string::npos), content);
        reader.reset();
        log.reset();
        for (const auto& name : folder.Names()) ::DeleteFileW(folder.File(name).c_str());
    }
}

// A service's file without --log-file: %ProgramData%\Tendro\NAME.log, its folder made at open.
TEST(LogFileOf, AServiceWithoutTheOptionGetsTheDefaultPath) {
    const std::wstring name = UniqueServiceName(L"logdefault"), path = DefaultLogFilePath(name);
    EXPECT_THAT(ToNarrow(path), ::testing::EndsWith(ToNarrow(L"\\Tendro\\" + name + L".log")));
    const std::wstring folder = path.substr(0, path.rfind(L'\\'));
    ::RemoveDirectoryW(folder.c_str());  // when nothing else is in it
    std::wstring refusal;
    EXPECT_TRUE(OpenLogFileOf(LongOptions(), name, refusal) && ReadWhole(path)) << ToNarrow(refusal);
    ::DeleteFileW(path.c_str());
    ::RemoveDirectoryW(folder.c_str());
}

// tendro.exe: the file holds the console's lines byte for byte, in UTF-8.
TEST(LogFileRun, TheFileGetsTheConsoleLines) {
    TestService a;
    ASSERT_TRUE(a.Start());
    TempFolder folder;
    RunResult r = RunTendro({L"-o", L"-v", L"--log-file=" + folder.File(L"run.log"), L"-s", a.Name()});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_GT(r.out.size(), 5u);
    EXPECT_EQ(ReadWhole(folder.File(L"run.log")), ToNarrow(r.outText, CP_UTF8));
}
