// The journal's state-change rule: a jump and a run of refused corrections each give one entry
// when they begin and one when they end, however many frames they last.
#include "timecode/journal_changes.h"

#include <gtest/gtest.h>

#include "base/journal.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/recording_journal.h"
#include "tests/support/temp_dir.h"

namespace zrq {
namespace {

class JournalChangesTest : public ::testing::Test {
protected:
    testing::TempDir dir;
    FakeClock clock{{2026, 3, 0, 7, 9, 5, 7, 250}};
    RecordingMessageBoxes boxes;
    RecordingJournal journal;
    EventLog log{clock, boxes, dir.path(), &journal};
    JournalChanges changes{log};

    // One frame of a jump, with its entries as the handler gives them.
    void jumpFrame(std::initializer_list<const char*> entries) {
        for (const char* entry : entries) changes.jumpEntry(gbk(entry));
        changes.frameCompared(true);
    }
};

TEST_F(JournalChangesTest, ManyJumpFramesGiveTwoEntries) {
    changes.frameCompared(false);  // calm frames before the jump give nothing
    jumpFrame({"跳动发生！接收时间信息是：12:0:41", "跳动发生！接收日期信息是：2026-3-8"});
    for (int i = 0; i < 9'999; ++i) jumpFrame({"跳动发生！接收时间信息是：12:0:42"});
    changes.frameCompared(false);
    changes.frameCompared(false);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"跳动发生！接收时间信息是：12:0:41",
                                                         "跳动结束：持续 10000 帧"}));

    // The next jump is journaled again.
    jumpFrame({"跳动发生！接收时间信息是：13:0:0"});
    changes.frameCompared(false);
    ASSERT_EQ(journal.entries.size(), 4u);
    EXPECT_EQ(journal.entries[3], "跳动结束：持续 1 帧");
}

TEST_F(JournalChangesTest, AJumpWithTheLogOffIsNotJournaledUntilAnEntryComes) {
    for (int i = 0; i < 5; ++i) jumpFrame({});  // the jump log is off: no entries
    changes.frameCompared(false);
    EXPECT_TRUE(journal.entries.empty());

    // Switched on while a jump goes on: its next entry begins it; the count is the whole jump's.
    jumpFrame({});
    jumpFrame({"跳动发生！"});
    changes.frameCompared(false);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"跳动发生！", "跳动结束：持续 2 帧"}));
}

TEST_F(JournalChangesTest, RefusalsGiveOneEntryAtTheirBeginningAndOneWhenASetIsMade) {
    changes.setMade();  // nothing was refused
    int textsMade = 0;
    for (int i = 0; i < 60; ++i) {
        changes.setRefused([&] {
            ++textsMade;
            return gbk("校时失败！系统拒绝设置时间：time out of range");
        });
    }
    EXPECT_EQ(textsMade, 1);
    changes.setMade();
    changes.setMade();
    EXPECT_EQ(journal.entries,
              (std::vector<std::string>{"校时失败！系统拒绝设置时间：time out of range",
                                        "校时恢复：此前连续 60 次校时被拒绝"}));
}

TEST_F(JournalChangesTest, TheDailyLogGetsNothingFromTheRule) {
    jumpFrame({"跳动发生！"});
    changes.setRefused([] { return gbk("校时失败！"); });
    changes.frameCompared(false);
    changes.setMade();
    EXPECT_EQ(journal.entries.size(), 4u);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace
}  // namespace zrq
