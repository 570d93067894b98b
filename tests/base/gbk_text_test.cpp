// GBK texts: conversion from the UTF-8 source literals, byte for byte, and back for display.
#include <gtest/gtest.h>

#include "base/gbk_text.h"
#include "base/message_boxes.h"
#include "tests/support/recording_boxes.h"

namespace zrq {
namespace {

TEST(GbkText, ConvertsLiteralsToTheirGbkBytes) {
    // 工作正常！ is 10 bytes in GBK: two per character.
    EXPECT_EQ(gbk("工作正常！").bytes(), "\xB9\xA4\xD7\xF7\xD5\xFD\xB3\xA3\xA3\xA1");
    EXPECT_EQ(gbk("未收到标准时间码，请检查通讯连接和设置!").size(), 39u);
    EXPECT_EQ(gbk("标准与本地时间跳跃，如校正请选择菜单立即校时！").size(), 46u);
    EXPECT_EQ(gbk("File access error").bytes(), "File access error");
    EXPECT_EQ(gbk("【").bytes(), "\xA1\xBE");
}

TEST(GbkText, RoundTripsAndConcatenates) {
    GbkText t = gbk("跳动发生！");
    t.appendAscii("12:0:31");
    t += gbk("秒");
    EXPECT_EQ(t.toUtf8(), "跳动发生！12:0:31秒");
    EXPECT_EQ(GbkText::fromBytes(t.bytes()), t);
}

TEST(GbkText, InvalidBytesShowAsReplacementCharacters) {
    EXPECT_EQ(GbkText::fromBytes("A\xFF"
                                 "B")
                  .toUtf8(),
              "A\xEF\xBF\xBD"
              "B");
    EXPECT_EQ(GbkText::fromBytes("A\xB9").toUtf8(), "A\xEF\xBF\xBD");  // cut-off pair
}

TEST(GbkText, TextsWithoutAGbkFormAreRefused) {
    EXPECT_THROW(gbk("\xF0\x9F\x98\x80"), EncodingError);  // an emoji
}

TEST(MessageBoxes, RunGuardedReportsAFailureAndSkipsTheRest) {
    RecordingMessageBoxes boxes;
    bool rest = false;
    runGuarded(boxes, [&] {
        throw FileError("No space left on device");
        rest = true;
    });
    EXPECT_FALSE(rest);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].kind, RecordingMessageBoxes::Kind::GeneralError);
    EXPECT_EQ(boxes.shown[0].text, "No space left on device");
}

}  // namespace
}  // namespace zrq
