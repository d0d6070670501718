// --log-file: rotation by size, whole lines only (in-process with a byte limit of a few lines),
// readers that share delete and one that does not, and tendro.exe writing the console's lines
// to the file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "common/text.h"
#include "logfile/log_file.h"
#include "support/monitor_helpers.h"
#include "support/run_tendro.h"
#include "support/system_text.h"
#include "support/temp_folder.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace {

// The lines of a log file: UTF-8 without a byte-order mark, every line ending in CR LF.
std::vector<std::string> FileLines(const std::string& bytes) {
    EXPECT_NE(bytes.rfind("\xEF\xBB\xBF", 0), 0u) << "byte-order mark";
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "a line without its end: " << bytes.substr(start);
        if (end == std::string::npos) break;
        lines.push_back(bytes.substr(start, end - start));
        EXPECT_EQ(lines.back().find_first_of("\r\n"), std::string::npos) << lines.back();
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> FileLinesOf(const std::wstring& path) {
    auto bytes = ReadWhole(path);
    EXPECT_TRUE(bytes) << ToNarrow(path);
    return bytes ? FileLines(*bytes) : std::vector<std::string>();
}

// Line n: 20 bytes with its CR LF.
std::string Numbered(int n) { return ToNarrow(FormatText(L"line %04d xxxxxxxx", n)); }
void WriteNumbered(LogFile& log, int from, int to) {
    for (int n = from; n <= to; ++n) log.WriteLine(LogInit, L"", ToWide(Numbered(n)) + L"\n");
}
std::vector<std::string> NumberedRange(int from, int to) {
    std::vector<std::string> lines;
    for (int n = from; n <= to; ++n) lines.push_back(Numbered(n));
    return lines;
}

std::unique_ptr<LogFile> OpenLog(const std::wstring& path, uint64_t maxBytes, uint32_t keep) {
    DWORD error = 0;
    auto log = LogFile::Open({path, maxBytes, keep, false}, error);
    EXPECT_TRUE(log) << error;
    return log;
}

class LogFileTest : public LoggingTest {
protected:
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
             {120, 1, 13, {{L"t.log", {13, 13}}, {L"t.log.1", {7, 12}}}},  // 120 is reached, not passed
             {100, 0, 12, {{L"t.log", {11, 12}}}},
             {10, 3, 5, {{L"t.log", {5, 5}}, {L"t.log.1", {4, 4}}, {L"t.log.2", {3, 3}}, {L"t.log.3", {2, 2}}}},
         }) {
        SCOPED_TRACE(::testing::Message() << k.maxBytes << " bytes, keep " << k.keep);
        {
            auto log = OpenLog(path, k.maxBytes, k.keep);
            ASSERT_TRUE(log);
            WriteNumbered(*log, 1, k.lines);
        }
        std::set<std::wstring> names;
        for (const auto& [name, range] : k.files) {
            names.insert(name);
            EXPECT_EQ(FileLinesOf(folder.File(name)), NumberedRange(range.first, range.second))
                << ToNarrow(name);
        }
        EXPECT_EQ(folder.Names(), names);
        for (const auto& name : folder.Names()) ::DeleteFileW(folder.File(name).c_str());
    }

    // UTF-8, a text's own line breaks as CR LF, standard error's lines kept, the usage not;
    // an existing file is appended to.
    auto log = OpenLog(path, 1 << 20, 1);
    log->WriteLine(LogError, L"", L"Err!: caf\u00e9\n\tmore\n");
    log->WriteText(STD_OUTPUT_HANDLE, L"usage\n");
    log->WriteText(STD_ERROR_HANDLE, L"[system:5] denied\n");
    log = OpenLog(path, 1 << 20, 1);
    WriteNumbered(*log, 1, 1);
    EXPECT_EQ(FileLinesOf(path), (std::vector<std::string>{"Err!: caf\xC3\xA9", "\tmore",
                                                           "[system:5] denied", Numbered(1)}));
}

TEST_F(LogFileTest, AReaderThatSharesDeleteDoesNotBlockRotation) {
    auto log = OpenLog(path, 100, 1);
    WriteNumbered(*log, 1, 5);
    {
        // It follows t.log into t.log.1 and then out of the names altogether.
        Handle reader = OpenForReading(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        ASSERT_TRUE(reader);
        WriteNumbered(*log, 6, 11);
        EXPECT_EQ(FileLines(ReadFromStart(reader.get())), NumberedRange(1, 5));
    }
    EXPECT_EQ(FileLinesOf(path), NumberedRange(11, 11));
    EXPECT_EQ(FileLinesOf(path + L".1"), NumberedRange(6, 10));
    EXPECT_EQ(folder.Names(), (std::set<std::wstring>{L"t.log", L"t.log.1"}));
}

TEST_F(LogFileTest, AReaderThatDoesNotShareDeleteLeadsToAppendingAndOneLine) {
    auto log = OpenLog(path, 100, 20);
    LogSinks sinks;  // the line about the rotation goes through the log
    sinks.Add(*log);
    WriteNumbered(*log, 1, 5);
    Handle reader = OpenForReading(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(reader);
    WriteNumbered(*log, 6, 12);
    std::vector<std::string> expected = NumberedRange(1, 6);
    expected.push_back(ToNarrow(L"Can't rotate log file " + path + L": ", CP_UTF8));
    for (const std::string& line : NumberedRange(7, 12)) expected.push_back(line);
    std::vector<std::string> lines = FileLinesOf(path);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_THAT(lines[i], HasSubstr(expected[i])) << i;
    EXPECT_THAT(lines[6], ::testing::StartsWith("Err!: "));
    EXPECT_THAT(lines[6], HasSubstr(ToNarrow(SystemMessage(ERROR_SHARING_VIOLATION))));

    // Once the reader is gone, a later line rotates: nothing is lost.
    reader.reset();
    const int last = 12 + static_cast<int>(LogRotationRetryLines);
    WriteNumbered(*log, 13, last);
    std::vector<std::string> all;
    for (size_t n = folder.Names().size(); n-- > 0;)
        for (const std::string& line : FileLinesOf(n ? path + L"." + std::to_wstring(n) : path))
            all.push_back(line);
    EXPECT_GT(folder.Names().size(), 2u);
    for (const std::string& line : NumberedRange(13, last)) lines.push_back(line);
    EXPECT_EQ(all, lines);
}

// tendro.exe: the file holds exactly the console's lines; a file that cannot be opened refuses
// the run.
TEST(LogFileRun, TheFileGetsTheConsoleLines) {
    TestService a;
    ASSERT_TRUE(a.Start());
    TempFolder folder;
    const std::wstring path = folder.File(L"run.log");
    RunResult r = RunTendro({L"-o", L"-v", L"--log-file=" + path, L"--log-size=1", L"-s", a.Name()});
    EXPECT_EQ(r.exitCode, 0u);
    ASSERT_GT(r.out.size(), 5u);
    std::vector<std::wstring> fileLines;
    for (const std::string& line : FileLinesOf(path)) fileLines.push_back(ToWide(line, CP_UTF8));
    EXPECT_THAT(fileLines, ElementsAreArray(r.out));

    const std::wstring bad = folder.File(L"no\\such\\run.log");
    r = RunTendro({L"-o", L"--log-file=" + bad, L"-s", a.Name()});
    EXPECT_EQ(r.exitCode, 1u);
    ASSERT_EQ(r.out.size(), 1u);
    EXPECT_THAT(r.out[0], HasSubstr(L"Err!: "));
    EXPECT_THAT(r.out[0], HasSubstr(L"Invalid value for option --log-file: \"" + bad +
                                    L"\" (can't open it: " + SystemMessage(ERROR_PATH_NOT_FOUND) +
                                    L")"));
}
