// Reading the offset record back and the day's statistics: what a record in any state gives, and
// the rate of a made-up clock found again from its record.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/message_boxes.h"
#include "tests/support/offset_records.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_records.h"
#include "timecode/offset_reading.h"
#include "timecode/offset_record.h"
#include "timecode/offset_statistics.h"

namespace zrq {
namespace {

using testing::at;
using testing::everyPeriod;
using testing::generatedRecord;
using testing::PlannedAttempt;
using testing::TempDir;

constexpr const char* kHeader = "time,received,offset_ms,step_ms,result\n";
constexpr const char* kMade = "2026-12-07 12:00:31.025,2026-12-07 12:00:31.000,-114.8,115.0,ok\n";
constexpr const char* kRefused =
    "2026-12-07 12:01:31.010,2026-12-07 12:01:31.000,-125.0,0.0,refused:Operation not "
    "permitted\n";

// An attempt in a few words: "12:00:31.025 -114.8 115.0 ok"; "-" for an empty offset.
std::string describe(const RecordedAttempt& a) {
    char text[96];
    const auto& t = a.time;
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.milliseconds);
    std::string d(text);
    d += a.offsetMs ? " " + decimalText(*a.offsetMs, 1, false) : " -";
    d += " " + decimalText(a.stepMs, 1, false) + (a.made ? " ok" : " refused");
    return d;
}

std::vector<std::string> describeAll(const RecordedDay& day) {
    std::vector<std::string> out;
    for (const auto& a : day.attempts) out.push_back(describe(a));
    return out;
}

TEST(OffsetReading, EveryLineIsAnAttemptOrCountedAsSkipped) {
    const std::string made = "2026-12-07 12:00:31.025 -114.8 115.0 ok";
    const std::string refused = "2026-12-07 12:01:31.010 -125.0 0.0 refused";
    struct Case {
        const char* legend;
        std::string text;
        std::vector<std::string> attempts;
        int skipped;
    };
    const std::vector<Case> cases = {
        {"a good record", std::string(kHeader) + kMade + kRefused, {made, refused}, 0},
        {"an empty file", "", {}, 0},
        {"the header alone", kHeader, {}, 0},
        {"no header", std::string(kMade) + kRefused, {made, refused}, 0},
        {"refused, the frame named no real moment: no offset, a received day 0",
         std::string(kHeader) + "2026-12-07 12:02:31.004,2024-05-00 12:02:31.000,,0.0,refused:no "
                                "such date\n",
         {"2026-12-07 12:02:31.004 - 0.0 refused"},
         0},
        {"last line cut in its result",
         std::string(kHeader) + kMade + "2026-12-07 12:01:31.010,2026-12-07 12:01:31.000,-1",
         {made},
         1},
        {"last line cut in its time", std::string(kHeader) + kMade + "2026-12-07 12:0", {made}, 1},
        {"last line complete but for its line end",
         std::string(kHeader) + kMade +
             "2026-12-07 12:02:31.001,2026-12-07 12:02:31.000,0.4,-0.4,ok",
         {made, "2026-12-07 12:02:31.001 0.4 -0.4 ok"},
         0},
        {"hand-edited: a note, a word for a number, a bad date, an extra field",
         std::string(kHeader) + "# checked by hand\n" + kMade +
             "2026-12-07 12:03:31.010,2026-12-07 12:03:31.000,about 3,0.0,ok\n"
             "2026-12-32 12:04:31.010,2026-12-07 12:04:31.000,3.0,-3.0,ok\n"
             "2026-12-07 12:05:31.010,2026-12-07 12:05:31.000,3.0,-3.0,ok,again\n"
             "2026-12-07 12:06:31.010,2026-12-07 12:06:31.000,inf,0.0,ok\n"
             "2026-12-07 12:07:31.010,2026-12-07 12:07:31.000,1e3,0.0,ok\n" +
             kRefused,
         {made, refused},
         6},
        {"hand-edited: saved with CR LF, times without milliseconds, a plus sign",
         std::string("time,received,offset_ms,step_ms,result\r\n") +
             "2026-12-07 12:00:31,2026-12-07 12:00:31,+2.5,-2.5,ok\r\n\r\n",
         {"2026-12-07 12:00:31.000 2.5 -2.5 ok"},
         0},
        {"an unknown result",
         std::string(kHeader) + kMade +
             "2026-12-07 12:01:31.010,2026-12-07 "
             "12:01:31.000,1.0,0.0,maybe\n",
         {made},
         1},
        {"bytes that are no text",
         std::string(kHeader) + std::string("\0\xff\xfe,,,,\n", 8) + kMade,
         {made},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        const RecordedDay day = parseOffsetRecord(c.text);
        EXPECT_EQ(describeAll(day), c.attempts);
        EXPECT_EQ(day.skippedLines, c.skipped);
    }
}

TEST(OffsetReading, ReadsWhatTheRecordWrites) {
    TempDir dir;
    RecordingMessageBoxes boxes;
    OffsetRecord record(boxes, dir.path());
    CorrectionAttempt made{.time = at(2026, 12, 7, 23, 59, 31, 25),
                           .received = at(2026, 12, 7, 23, 59, 31),
                           .offsetUs = 1249,
                           .stepUs = -1249};
    CorrectionAttempt refused{.time = at(2026, 12, 7, 23, 59, 59, 999),
                              .received = at(2026, 12, 7, 23, 59, 59),
                              .offsetUs = std::nullopt,
                              .refusal = "no such date, \"as sent\""};
    record.write(made);
    record.write(refused);

    const auto day = readOffsetRecord(offsetRecordPath(dir.path(), "261207"));
    ASSERT_TRUE(day);
    EXPECT_EQ(describeAll(*day),
              (std::vector<std::string>{"2026-12-07 23:59:31.025 1.2 -1.2 ok",
                                        "2026-12-07 23:59:59.999 - 0.0 refused"}));
    EXPECT_EQ(day->skippedLines, 0);
    EXPECT_EQ(day->attempts[1].msOfDay, 86399999);
    EXPECT_EQ(day->attempts[1].instantMs - day->attempts[0].instantMs, 28974);
}

TEST(OffsetReading, FilesAndDaysOfADirectory) {
    TempDir dir;
    for (const char* name : {"261207O.csv", "261130O.csv", "261207S.txt", "261301O.csv",
                             "26120O.csv", "x61207O.csv", "261208O.csv.bak"}) {
        std::ofstream(dir / name) << kHeader;
    }
    std::filesystem::create_directory(dir / "261209O.csv");  // listed, but no record to read
    EXPECT_EQ(offsetRecordDays(dir.path()),
              (std::vector<std::string>{"261130", "261207", "261209"}));
    EXPECT_TRUE(readOffsetRecord(offsetRecordPath(dir.path(), "261207")));
    EXPECT_FALSE(readOffsetRecord(offsetRecordPath(dir.path(), "261209")));
    EXPECT_FALSE(readOffsetRecord(offsetRecordPath(dir.path(), "261210")));  // missing
    EXPECT_TRUE(offsetRecordDays(dir / "none").empty());

    LocalTimeRecord date;
    EXPECT_TRUE(parseRecordDay("240229", &date));
    EXPECT_EQ(recordDayOf(date), "240229");
    EXPECT_FALSE(parseRecordDay("250229", &date));
}

// One day of attempts from 00:00 on, through their statistics.
OffsetStatistics statisticsOf(const std::string& text) {
    return offsetStatistics(parseOffsetRecord(text).attempts);
}

TEST(OffsetStatistics, CountsOffsetsAndTheRateOfTheClock) {
    // Hand-made: a clock 10 ppm fast, right at 00:00, 6 ms ahead 10 minutes later, still off
    // after a refused correction, 12 ms ahead at the next made one 20 minutes after the last.
    const std::string handMade =
        std::string(kHeader) +
        "2026-12-07 00:00:00.000,2026-12-07 00:00:00.000,0.0,0.0,ok\n"
        "2026-12-07 00:10:00.000,2026-12-07 00:10:00.000,6.0,-6.0,ok\n"
        "2026-12-07 00:20:00.000,2026-12-07 00:20:00.000,6.0,0.0,refused:Operation not permitted\n"
        "2026-12-07 00:30:00.000,2026-12-07 00:30:00.000,12.0,-12.0,ok\n";
    std::vector<PlannedAttempt> points;  // a daily schedule's uneven times, with refusals
    for (double hour : {0.5, 3.0, 3.25, 7.0, 8.0, 12.5, 13.0, 18.0, 22.0, 23.9}) {
        points.push_back({hour * 3600 + 0.017, hour == 8.0 || hour == 18.0});
    }
    struct Case {
        const char* legend;
        std::string text;
        int made, refused;
        double ratePpm;  // NAN: no rate
        int pairs;
        const char* summary;  // empty: not checked
    };
    const std::vector<Case> cases = {
        {"hand-made", handMade, 3, 1, 10.0, 2,
         "corrections: 3 made, 1 refused\noffset: median 6.0 ms, max 12.0 ms\n"
         "drift: +10.0 ppm (+0.86 s/day)\n"},
        {"every minute, 20 ppm fast", generatedRecord(everyPeriod(31, 86399, 60), 20.0), 1440, 0,
         20.0, 1439,
         "corrections: 1440 made, 0 refused\noffset: median 1.2 ms, max 1.3 ms\n"
         "drift: +20.0 ppm (+1.73 s/day)\n"},
        {"every minute, 17.3 ppm slow, every tenth refused",
         generatedRecord(everyPeriod(31, 86399, 60, 10), -17.3), 1296, 144, -17.3, 1295, ""},
        {"every hour, 3.5 ppm fast", generatedRecord(everyPeriod(1831, 86399, 3600), 3.5), 24, 0,
         3.5, 23, ""},
        {"daily points, 150 ppm slow", generatedRecord(points, -150), 8, 2, -150, 7, ""},
        {"one correction only: no rate", std::string(kHeader) + kMade + kRefused, 1, 1, NAN, 0,
         "corrections: 1 made, 1 refused\noffset: median 119.9 ms, max 125.0 ms\ndrift: none\n"},
        {"nothing", "", 0, 0, NAN, 0,
         "corrections: 0 made, 0 refused\noffset: none\ndrift: none\n"},
        {"time that goes back gives no pair",
         std::string(kHeader) + "2026-12-07 10:00:00.000,2026-12-07 10:00:00.000,0.0,0.0,ok\n" +
             "2026-12-07 09:00:00.000,2026-12-07 09:00:00.000,5.0,-5.0,ok\n",
         2, 0, NAN, 0, ""},
        {"a rate that rounds to nothing has no sign",
         std::string(kHeader) + "2026-12-07 00:00:00.000,2026-12-07 00:00:00.000,0.0,0.0,ok\n" +
             "2026-12-08 00:00:00.000,2026-12-08 00:00:00.000,-0.1,0.1,ok\n",
         2, 0, -0.0011574, 1,
         "corrections: 2 made, 0 refused\noffset: median 0.1 ms, max 0.1 ms\n"
         "drift: +0.0 ppm (+0.00 s/day)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        const OffsetStatistics s = statisticsOf(c.text);
        EXPECT_EQ(s.made, c.made);
        EXPECT_EQ(s.refused, c.refused);
        EXPECT_EQ(s.ratePairs, c.pairs);
        if (std::isnan(c.ratePpm)) {
            EXPECT_FALSE(s.ratePpm);
        } else {
            ASSERT_TRUE(s.ratePpm);
            EXPECT_NEAR(*s.ratePpm, c.ratePpm, 0.1);
        }
        if (*c.summary != '\0') {
            EXPECT_EQ(summaryText(s), c.summary);
        }
    }
}

}  // namespace
}  // namespace zrq
