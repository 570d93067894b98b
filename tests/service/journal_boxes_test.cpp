// The service's boxes: the same texts as lines on standard error and in the journal, or, when
// standard error is the journal's own stream, once, with the line's priority in front.
#include "service/journal_boxes.h"
#include "service/bus_boxes.h"
#include "tests/support/recording_journal.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

namespace zrq {
namespace {

std::string text(std::FILE* f) {
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
    return s;
}

TEST(JournalBoxes, EachBoxIsOneLineOnStandardErrorAndOneJournalEntry) {
    unsetenv("JOURNAL_STREAM");
    std::FILE* err = std::tmpfile();
    RecordingJournal journal;
    JournalBoxes boxes(&journal, err);
    boxes.error(gbk("串口打开失败！原因是串口不存在或者串口已被其他程序占用！"));
    boxes.warning(gbk("File access error"));
    boxes.plainWithCaption(gbk("警告"), gbk("Horivo程序已经在运行！"));
    boxes.generalError("No space left on device");
    EXPECT_EQ(text(err),
              "zrqd: 错误: 串口打开失败！原因是串口不存在或者串口已被其他程序占用！\n"
              "zrqd: Warning: File access error\n"
              "zrqd: 警告: Horivo程序已经在运行！\n"
              "zrqd: ZRQ: No space left on device\n");
    EXPECT_EQ(journal.entries, (std::vector<std::string>{
                                   "错误: 串口打开失败！原因是串口不存在或者串口已被其他程序占用！",
                                   "Warning: File access error", "警告: Horivo程序已经在运行！",
                                   "ZRQ: No space left on device"}));
    std::fclose(err);
}

// A settings change over the bus reports what its switches said: every box while collecting, in
// order, and nothing said before; each still reaches the journal.
TEST(JournalBoxes, ABusChangeCollectsTheBoxesItsSwitchesShow) {
    unsetenv("JOURNAL_STREAM");
    std::FILE* err = std::tmpfile();
    RecordingJournal journal;
    JournalBoxes journalBoxes(&journal, err);
    BusBoxes boxes(journalBoxes);
    boxes.plain(gbk("before"));
    boxes.collectFailures(true);
    EXPECT_EQ(boxes.failures(), "");
    boxes.plain(gbk("所改端口不能打开！系统采用原来端口！"));
    boxes.error(gbk("设置端口参数失败！"));
    boxes.generalError("No space left on device");
    EXPECT_EQ(boxes.failures(),
              "所改端口不能打开！系统采用原来端口！\n设置端口参数失败！\nNo space left on device");
    boxes.collectFailures(false);
    boxes.warning(gbk("File access error"));
    EXPECT_EQ(boxes.failures(), "");
    EXPECT_EQ(journal.entries.size(), 5u);
    std::fclose(err);
}

TEST(JournalBoxes, UnderSystemdTheLineCarriesItsPriorityAndIsNotSentTwice) {
    std::FILE* err = std::tmpfile();
    struct stat info {};
    ASSERT_EQ(fstat(fileno(err), &info), 0);
    const std::string stream =
        std::to_string(info.st_dev) + ":" + std::to_string(static_cast<unsigned long>(info.st_ino));
    setenv("JOURNAL_STREAM", stream.c_str(), 1);
    RecordingJournal journal;
    JournalBoxes boxes(&journal, err);
    EXPECT_TRUE(boxes.errIsJournal());
    boxes.error(gbk("DTR设置失败！"));
    boxes.notice("COM1 已打开");
    EXPECT_EQ(text(err), "<3>错误: DTR设置失败！\n<5>COM1 已打开\n");
    EXPECT_TRUE(journal.entries.empty());

    setenv("JOURNAL_STREAM", "1:2", 1);  // another stream: not ours
    EXPECT_FALSE(JournalBoxes(&journal, err).errIsJournal());
    unsetenv("JOURNAL_STREAM");
    std::fclose(err);
}

}  // namespace
}  // namespace zrq
