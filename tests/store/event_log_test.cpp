// The daily logs byte for byte: file names, entry layout, day changes and failing files.
#include "store/event_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "base/journal.h"
#include "tests/support/fake_clock.h"
#include "tests/support/file_helpers.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/recording_journal.h"
#include "tests/support/temp_dir.h"

namespace zrq {
namespace {

using namespace std::string_literals;
using testing::FileSizeLimit;
using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

GbkText ascii(const std::string& s) { return GbkText::fromBytes(s); }

class EventLogTest : public ::testing::Test {
protected:
    size_t fileCount() const {
        auto entries = std::filesystem::directory_iterator(dir.path());
        return static_cast<size_t>(std::distance(begin(entries), end(entries)));
    }

    TempDir dir;
    FakeClock clock{{2026, 3, 0, 7, 9, 5, 7, 250}};
    RecordingMessageBoxes boxes;
    EventLog log{clock, boxes, dir.path()};
};

TEST(EventLogFileName, TwoDigitFieldsAndKindLetter) {
    struct Case {
        int kind;
        LocalTimeRecord date;
        const char* name;
    };
    const Case cases[] = {
        {1, {2009, 1, 0, 2}, "090102S.txt"},    {0, {2009, 1, 0, 2}, "090102C.txt"},
        {0, {2026, 3, 0, 7}, "260307C.txt"},    {1, {2026, 12, 0, 7}, "261207S.txt"},
        {-1, {2000, 10, 0, 31}, "001031S.txt"}, {7, {2100, 1, 0, 1}, "000101S.txt"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EventLog::fileName(c.kind, c.date), c.name);
    }
}

TEST_F(EventLogTest, FirstEntryCreatesFileWithBreakHeaderAndTextOnly) {
    log.savelogline(kCommunicationLog, ascii("hello"));
    EXPECT_EQ(readBytes(dir.file("260307C.txt")), "\r\n 2026-03-07 09:05:07 ------hello");
    EXPECT_EQ(fileCount(), 1u);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(EventLogTest, EntriesAppendEachOnItsOwnLine) {
    log.savelogline(kJumpLog, ascii("A"));
    clock.advanceSeconds(61);
    log.savelogline(kJumpLog, ascii("B"));
    EXPECT_EQ(readBytes(dir.file("260307S.txt")),
              "\r\n 2026-03-07 09:05:07 ------A\r\n 2026-03-07 09:06:08 ------B");
}

TEST_F(EventLogTest, JumpAndCommunicationLogsAreSeparateFiles) {
    log.savelogline(kJumpLog, ascii("jump"));
    log.savelogline(kCommunicationLog, ascii("comm"));
    EXPECT_EQ(readBytes(dir.file("260307S.txt")), "\r\n 2026-03-07 09:05:07 ------jump");
    EXPECT_EQ(readBytes(dir.file("260307C.txt")), "\r\n 2026-03-07 09:05:07 ------comm");
}

TEST_F(EventLogTest, EntryAfterMidnightGoesToTheNewDaysFile) {
    clock.setNow({2026, 3, 0, 7, 23, 59, 59, 0});
    log.savelogline(kJumpLog, ascii("old"));
    clock.advanceSeconds(1);
    log.savelogline(kJumpLog, ascii("new"));
    EXPECT_EQ(readBytes(dir.file("260307S.txt")), "\r\n 2026-03-07 23:59:59 ------old");
    EXPECT_EQ(readBytes(dir.file("260308S.txt")), "\r\n 2026-03-08 00:00:00 ------new");
}

TEST_F(EventLogTest, NameComesFromTheFirstReadAndHeaderFromTheSecond) {
    clock.setNow({2026, 3, 0, 7, 23, 59, 59, 998});  // each read steps 1 ms
    clock.beforeRead = [](FakeClock& c) { c.advanceMs(1); };
    log.savelogline(kCommunicationLog, ascii("x"));
    EXPECT_EQ(readBytes(dir.file("260307C.txt")), "\r\n 2026-03-08 00:00:00 ------x");
}

TEST_F(EventLogTest, TextsAreWrittenUnchanged) {
    const GbkText texts[] = {
        ascii(""), ascii("line1\r\nline2\nline3"), gbk("跳动记录：时间差 5 秒"),
        ascii("\x80\xFF\0\xA1"s),  // arbitrary bytes, an embedded zero included
    };
    for (const GbkText& text : texts) {
        std::filesystem::remove(dir.file("260307S.txt"));
        log.savelogline(kJumpLog, text);
        EXPECT_EQ(readBytes(dir.file("260307S.txt")),
                  "\r\n 2026-03-07 09:05:07 ------" + text.bytes());
    }
}

TEST_F(EventLogTest, OnlyTheEventsCopiedGoToTheJournalInUtf8) {
    RecordingJournal journal;
    EventLog logged(clock, boxes, dir.path(), &journal);
    logged.savelogline(kJumpLog, gbk("跳动发生！"));
    logged.savelogline(kCommunicationLog, ascii(" AA 00"));
    logged.copyToJournal(gbk("校时失败！"));
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"校时失败！"}));
    EXPECT_EQ(readBytes(dir.file("260307S.txt")),
              "\r\n 2026-03-07 09:05:07 ------" + gbk("跳动发生！").bytes());

    // The journal copy does not depend on the files.
    writeBytes(dir.file("plain"), "");
    EventLog blocked(clock, boxes, dir.file("plain/logs"), &journal);
    blocked.copyToJournal(ascii("no file at all"));
    EXPECT_EQ(journal.entries.back(), "no file at all");
}

TEST_F(EventLogTest, UnopenableFileWarnsOncePerKindAndWritesNothing) {
    writeBytes(dir.file("plain"), "");
    EventLog blocked(clock, boxes, dir.file("plain/logs"));  // a path through a regular file
    for (int i = 0; i < 4; ++i) blocked.savelogline(i % 2, ascii("lost"));
    ASSERT_EQ(boxes.shown.size(), 2u);
    for (const auto& shown : boxes.shown) {
        EXPECT_EQ(shown.kind, RecordingMessageBoxes::Kind::Warning);
        EXPECT_EQ(shown.caption, "Warning");
        EXPECT_EQ(shown.text, "File access error");
    }
    EXPECT_EQ(readBytes(dir.file("plain")), "");

    // A link under the day's name is not followed, to a file or to a name that does not exist.
    boxes.shown.clear();
    writeBytes(dir.file("target"), "another user's file");
    ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("260307S.txt").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("new").c_str(), dir.file("260307C.txt").c_str()), 0);
    log.savelogline(kJumpLog, ascii("lost"));
    log.savelogline(kCommunicationLog, ascii("lost"));
    EXPECT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(readBytes(dir.file("target")), "another user's file");
    EXPECT_FALSE(std::filesystem::exists(dir.file("new")));
}

// Each way a write fails is said once in the journal with the file and the system's reason, while
// the same file keeps failing so; only a file that cannot be opened shows the warning, once. When
// writing works again, the journal says how many entries were lost.
TEST_F(EventLogTest, WriteFailuresAreSaidOncePerChangeOfStateWithTheFileAndTheReason) {
    struct Case {
        const char* legend;
        std::function<void(const std::string& path)> breakFile;
        const char* reason;
        size_t boxes;
    };
    const Case cases[] = {
        {"a full disk",
         [](const std::string& path) {
             ASSERT_EQ(::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 7)), 0);  // /dev/full
         },
         "cannot write to ", 0},
        {"a directory in the file's place",
         [](const std::string& path) { std::filesystem::create_directory(path); }, "cannot open ",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        TempDir where;
        RecordingMessageBoxes shown;
        RecordingJournal journal;
        EventLog journaled{clock, shown, where.path(), &journal};
        const std::string path = where / "260307C.txt";
        c.breakFile(path);
        for (int i = 0; i < 3; ++i) journaled.savelogline(kCommunicationLog, ascii("lost"));
        ASSERT_EQ(journal.entries.size(), 1u);
        EXPECT_NE(journal.entries[0].find(std::string(c.reason) + path), std::string::npos)
            << journal.entries[0];
        const std::string reason = c.boxes ? "Is a directory" : "No space left on device";
        EXPECT_NE(journal.entries[0].find(reason), std::string::npos) << journal.entries[0];
        EXPECT_EQ(shown.shown.size(), c.boxes);

        std::filesystem::remove(path);
        journaled.savelogline(kCommunicationLog, ascii("kept"));
        ASSERT_EQ(journal.entries.size(), 2u);
        EXPECT_NE(journal.entries[1].find(path + " is written again; 3 entries were lost"),
                  std::string::npos)
            << journal.entries[1];
        journaled.savelogline(kCommunicationLog, ascii("kept"));
        EXPECT_EQ(journal.entries.size(), 2u);
    }
}

TEST_F(EventLogTest, AWriteCutShortIsSaidAndTheOtherKindIsNotHeldBack) {
    RecordingJournal journal;
    EventLog journaled{clock, boxes, dir.path(), &journal};
    {
        FileSizeLimit limit(0);  // the file opens, every write fails
        EXPECT_NO_THROW(journaled.savelogline(kCommunicationLog, ascii("lost")));
    }
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(readBytes(dir.file("260307C.txt")), "");
    ASSERT_EQ(journal.entries.size(), 1u);
    EXPECT_NE(journal.entries[0].find("File too large"), std::string::npos) << journal.entries[0];
    journaled.savelogline(kJumpLog, ascii("kept"));
    EXPECT_EQ(readBytes(dir.file("260307S.txt")), "\r\n 2026-03-07 09:05:07 ------kept");
    EXPECT_EQ(journal.entries.size(), 1u);
}

// A day's file at its limit takes one note and then nothing more that day; the next day's file
// starts afresh, and the journal has the count of what was dropped.
TEST_F(EventLogTest, ADayLogAtItsLimitTakesANoteAndDropsTheRestOfTheDay) {
    RecordingJournal journal;
    EventLog journaled{clock, boxes, dir.path(), &journal};
    const std::string path = dir / "260307C.txt";
    writeBytes(path, "");
    ASSERT_EQ(::truncate(path.c_str(), kMaxDailyLogBytes - 20), 0);  // sparse: no disk used
    for (int i = 0; i < 4; ++i) journaled.savelogline(kCommunicationLog, ascii("flood"));
    const auto size = std::filesystem::file_size(path);
    EXPECT_GT(size, kMaxDailyLogBytes - 20);
    const std::string tail = readBytes(path).substr(kMaxDailyLogBytes - 20);
    EXPECT_NE(tail.find("[LOG FULL:]"), std::string::npos);
    EXPECT_EQ(tail.find("flood"), std::string::npos);
    ASSERT_EQ(journal.entries.size(), 1u);
    EXPECT_NE(journal.entries[0].find(path + " reached 24 MB"), std::string::npos);
    journaled.savelogline(kJumpLog, ascii("other kind"));
    EXPECT_EQ(readBytes(dir.file("260307S.txt")), "\r\n 2026-03-07 09:05:07 ------other kind");

    clock.setNow({2026, 3, 0, 8, 0, 0, 1, 0});
    journaled.savelogline(kCommunicationLog, ascii("next day"));
    ASSERT_EQ(journal.entries.size(), 2u);
    EXPECT_NE(journal.entries[1].find(path + ": 4 entries were dropped"), std::string::npos)
        << journal.entries[1];
    EXPECT_EQ(readBytes(dir.file("260308C.txt")), "\r\n 2026-03-08 00:00:01 ------next day");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(EventLogTest, EntryCutShortIsTakenBackOff) {
    log.savelogline(kJumpLog, ascii("A"));
    const std::string before = readBytes(dir.file("260307S.txt"));
    {
        FileSizeLimit limit(before.size() + 10);  // the next entry stops half-way
        log.savelogline(kJumpLog, ascii("a text longer than the room left"));
    }
    EXPECT_EQ(readBytes(dir.file("260307S.txt")), before);
    EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace
}  // namespace zrq
