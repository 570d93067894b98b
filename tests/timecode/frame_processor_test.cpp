// Frame processing end to end: chunks of bytes go through the frame search into the processing;
// the effects checked are clock sets, bytes on the serial line, monitor lines and log files.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/journal.h"
#include "base/message_boxes.h"
#include "tests/support/bytes.h"
#include "tests/support/counting_new.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_library.h"
#include "tests/support/file_helpers.h"
#include "tests/support/quiet_serial.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/recording_journal.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_records.h"
#include "timecode/frame_processor.h"
#include "timecode/frame_search.h"

namespace zrq {
namespace {

using testing::at;
using testing::bcd;
using testing::Bytes;
using testing::concat;
using testing::QuietSerial;
using testing::ScopedTimeZone;
using testing::TempDir;
using testing::utcUs;

constexpr int kPort = 1;
constexpr Bytes::value_type kAck1 = 0x55, kAck2 = 0xAA;

// A TVZ_CODE frame: AA 00, year within the century, month, day, one byte not interpreted, hour,
// minute, second, all BCD. A date byte of 0 means absent.
Bytes tvz(int yy, int month, int day, int hour, int minute, int second) {
    return {0xAA, 0x00, bcd(yy), bcd(month), bcd(day), 0x03, bcd(hour), bcd(minute), bcd(second)};
}
Bytes tvzAt(int hour, int minute, int second) { return tvz(24, 5, 1, hour, minute, second); }

LocalTimeRecord mayFirst(int hour, int minute, int second, int ms = 0) {
    return at(2024, 5, 1, hour, minute, second, ms);
}

class RecordingMonitor final : public MonitorLines {
public:
    void appendLine(const GbkText& line) override { lines.push_back(line.toUtf8()); }
    std::vector<std::string> lines;  // UTF-8
};

// Everything the processing touches, with the clock at 2024-05-01 12:00:31.000 and every
// minute's second 31 as the correction moment, jumps above 3 s.
class Processing : public ::testing::Test {
protected:
    Processing()
        : log(clock, boxes, dir.path(), &journal),
          offsets(boxes, dir.path()),
          chrony(dir.path()),
          processor(context()) {
        serial.sio_open(kPort);
        line.Port = kPort;
        settings.CodeFormat = TVZ_CODE;
        settings.CorrectionMode = CorrectionMode::EveryMinute;
        settings.CorrectionSecond = 31;
        settings.JumpThresholdSec = 3;
        status.JumpLogEnabled = false;
        clock.setNow(mayFirst(12, 0, 31));
    }

    FrameProcessorContext context() {
        return {clock, serial, line, settings, status, monitor, log, &offsets, &chrony};
    }

    void feed(const Bytes& chunk) {
        handleReceivedChunk(ring, indices, chunk.data(), static_cast<int>(chunk.size()),
                            settings.CodeFormat, processor);
    }

    // The texts of one kind's entries in the log file of 2024-05-01, as UTF-8.
    std::vector<std::string> logTexts(int kind) const {
        const std::string path = dir.path() + "/" + EventLog::fileName(kind, mayFirst(0, 0, 0));
        std::ifstream in(path, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        std::vector<std::string> texts;
        const std::string marker = " ------";
        for (size_t pos = bytes.find(marker); pos != std::string::npos;) {
            const size_t begin = pos + marker.size();
            const size_t next = bytes.find("\r\n", begin);
            texts.push_back(GbkText::fromBytes(bytes.substr(begin, next - begin)).toUtf8());
            pos = next == std::string::npos ? next : bytes.find(marker, next);
        }
        return texts;
    }

    std::vector<Bytes> acks() const { return serial.writes(kPort); }

    void clearLogs() const {
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            std::filesystem::remove(entry.path());
    }

    // Feeds one frame per listed time with the PC clock right on it; returns the times set.
    std::vector<LocalTimeRecord> runFrames(const std::vector<LocalTimeRecord>& times) {
        std::vector<LocalTimeRecord> set;
        for (const LocalTimeRecord& t : times) {
            clock.setNow(t);
            const size_t before = clock.sets().size();
            feed(tvz(t.year % 100, t.month, t.day, t.hour, t.minute, t.second));
            if (clock.sets().size() > before) set.push_back(clock.sets().back());
        }
        return set;
    }

    FakeClock clock;
    FakeSerialLibrary serial;
    LineSettings line;
    ClockSettings settings;
    StatusState status;
    RecordingMonitor monitor;
    RecordingMessageBoxes boxes;
    TempDir dir;
    RecordingJournal journal;
    EventLog log;
    OffsetRecord offsets;
    ChronySampleSender chrony;
    FrameProcessor processor;
    RingStorage ring{};
    RingIndices indices{};
};

// --- Lines ---------------------------------------------------------------------------------

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), {}};
}

TEST_F(Processing, FrameAndAcknowledgementLinesFollowTheFlags) {
    const std::string frameLine = "【2024-05-01 12:00:31】  AA 00 24 05 01 03 12 00 31";
    const std::string hex = " AA 00 24 05 01 03 12 00 31";
    const std::string ack = "12:00:31[SENDING:] 55 AA ";
    struct Case {
        bool monitorActive, commLog;
        std::vector<std::string> monitorLines, commLogTexts;
    };
    const Case cases[] = {
        {false, false, {}, {}},
        {true, false, {frameLine, ack}, {}},
        // With only the log on, the monitor's list still collects the frame line, not the ack.
        {false, true, {frameLine}, {hex, ack}},
        {true, true, {frameLine, ack}, {hex, ack}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "monitor " << c.monitorActive << " log " << c.commLog);
        monitor.lines.clear();
        clearLogs();
        status.MonitorActive = c.monitorActive;
        status.CommLogEnabled = c.commLog;
        clock.setNow(mayFirst(12, 0, 31));
        feed(tvzAt(12, 0, 31));
        EXPECT_EQ(monitor.lines, c.monitorLines);
        EXPECT_EQ(logTexts(kCommunicationLog), c.commLogTexts);
        EXPECT_EQ(acks().size(), 1u);
        serial.clearWrites(kPort);
    }
    EXPECT_TRUE(logTexts(kJumpLog).empty());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Processing, DumpReadsAcrossTheRingsWrap) {
    status.MonitorActive = true;
    ring[998] = 0x01;
    ring[999] = 0xAB;
    ring[0] = 0x0C;
    ring[1] = 0xFF;
    processor.frameDump(ring, 998, 4);
    ASSERT_EQ(monitor.lines.size(), 1u);
    EXPECT_EQ(monitor.lines[0], "【2024-05-01 12:00:31】  01 AB 0C FF");
}

// --- Jump detection --------------------------------------------------------------------------

TEST_F(Processing, JumpIsADifferenceStrictlyAboveTheThreshold) {
    settings.CorrectionMode = CorrectionMode{};  // no schedule: comparison only
    status.JumpLogEnabled = true;
    struct Case {
        LocalTimeRecord pc;
        uint8_t threshold;
        bool jump;
    };
    const Case cases[] = {
        {mayFirst(12, 0, 35), 4, false},  // 4 s apart, threshold 4
        {mayFirst(12, 0, 35), 3, true},   // one second more than the threshold
        {mayFirst(12, 0, 27), 3, true},   // PC behind
        {mayFirst(12, 0, 28), 3, false},
        {mayFirst(12, 0, 31, 999), 0, false},  // milliseconds are not compared
        {mayFirst(13, 0, 31), 255, true},
    };
    size_t expectedEntries = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.pc.hour << ":" << c.pc.minute << ":" << c.pc.second
                                          << " threshold " << int(c.threshold));
        settings.JumpThresholdSec = c.threshold;
        clock.setNow(c.pc);
        status.JumpDetected = !c.jump;
        feed(tvzAt(12, 0, 31));
        EXPECT_EQ(status.JumpDetected, c.jump);
        expectedEntries += c.jump ? 1 : 0;
        EXPECT_EQ(logTexts(kJumpLog).size(), expectedEntries);
    }
    EXPECT_TRUE(clock.sets().empty());
}

TEST_F(Processing, JumpLogTextsAreExact) {
    settings.CorrectionMode = CorrectionMode{};
    status.JumpLogEnabled = true;
    clock.setNow(mayFirst(12, 0, 35));
    feed(tvzAt(12, 0, 31));
    clock.setNow(mayFirst(12, 0, 32));
    feed(tvz(24, 5, 2, 12, 0, 32));  // a day ahead
    EXPECT_EQ(logTexts(kJumpLog),
              (std::vector<std::string>{
                  "跳动发生！接收时间信息是：12:0:31  当前机器时间是：12:0:35  跳动设置是：3秒",
                  "跳动发生！接收日期信息是：2024-5-2  当前机器日期是：2024-5-1  跳动设置是：3秒",
              }));
    EXPECT_TRUE(status.JumpDetected);
}

TEST_F(Processing, EveryAcceptedFrameResetsTheSilenceCount) {
    settings.CorrectionMode = CorrectionMode{};
    for (const Bytes& frame : {tvzAt(12, 0, 31), tvzAt(25, 0, 0), tvz(24, 13, 1, 12, 0, 31)}) {
        status.SilentSeconds = 7;
        feed(frame);
        EXPECT_EQ(status.SilentSeconds, 0);
    }
}

// --- Schedules -------------------------------------------------------------------------------

TEST_F(Processing, SchedulesPickTheirMoments) {
    std::vector<LocalTimeRecord> everySecondOfThreeMinutes;
    for (int s = 0; s < 180; ++s) everySecondOfThreeMinutes.push_back(mayFirst(11, s / 60, s % 60));
    std::vector<LocalTimeRecord> second31OfEveryMinute;
    for (int m = 0; m < 150; ++m) {
        second31OfEveryMinute.push_back(mayFirst(11 + m / 60, m % 60, 31));
    }

    struct Case {
        const char* name;
        uint8_t mode, minute, second;
        std::vector<double> points;
        int pointCount;
        const std::vector<LocalTimeRecord>& frames;
        std::vector<LocalTimeRecord> expectedSets;
    };
    const Case cases[] = {
        {"every minute at 31",
         1,
         0,
         31,
         {},
         0,
         everySecondOfThreeMinutes,
         {mayFirst(11, 0, 31), mayFirst(11, 1, 31), mayFirst(11, 2, 31)}},
        {"every hour at 0:31",
         2,
         0,
         31,
         {},
         0,
         second31OfEveryMinute,
         {mayFirst(11, 0, 31), mayFirst(12, 0, 31), mayFirst(13, 0, 31)}},
        {"daily points, milliseconds ignored",
         3,
         0,
         0,
         {timeOfDayValue(11, 2, 31, 500), timeOfDayValue(11, 0, 5, 0)},
         2,
         everySecondOfThreeMinutes,
         {mayFirst(11, 0, 5), mayFirst(11, 2, 31)}},
        {"daily points beyond the count are not used",
         3,
         0,
         0,
         {timeOfDayValue(11, 0, 5, 0), timeOfDayValue(11, 1, 5, 0)},
         1,
         everySecondOfThreeMinutes,
         {mayFirst(11, 0, 5)}},
        {"no daily points: never",
         3,
         0,
         0,
         {timeOfDayValue(11, 0, 5, 0)},
         0,
         everySecondOfThreeMinutes,
         {}},
        {"unknown mode: never", 7, 0, 31, {}, 0, everySecondOfThreeMinutes, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settings.CorrectionMode = CorrectionMode{c.mode};
        settings.CorrectionMinute = c.minute;
        settings.CorrectionSecond = c.second;
        settings.DailyPoints = {};
        for (size_t i = 0; i < c.points.size(); ++i) settings.DailyPoints[i] = c.points[i];
        settings.DailyPointCount = static_cast<uint8_t>(c.pointCount);
        serial.clearWrites(kPort);
        EXPECT_EQ(runFrames(c.frames), c.expectedSets);
        EXPECT_EQ(acks().size(), c.expectedSets.size());
    }
}

TEST_F(Processing, DailyPointWalkStopsAtTheLastSlot) {
    settings.CorrectionMode = CorrectionMode::DailyPoints;
    settings.DailyPointCount = 255;  // a corrupt count: only the 25 slots are ever read
    settings.DailyPoints.fill(timeOfDayValue(6, 0, 0, 0));
    settings.DailyPoints[kDailyPointSlots - 1] = timeOfDayValue(12, 0, 31, 0);
    feed(tvzAt(12, 0, 31));
    EXPECT_EQ(clock.sets().size(), 1u);  // the 25th slot is walked
    // What lies past the slots (small numbers, read as midnight) is never taken for a point.
    clock.setNow(mayFirst(0, 0, 0));
    feed(tvzAt(0, 0, 0));
    EXPECT_EQ(clock.sets().size(), 1u);
}

// --- Correction ------------------------------------------------------------------------------

TEST_F(Processing, JumpNoCorrectSuppressesOnlyScheduledCorrectionsAfterAJump) {
    settings.JumpNoCorrect = 1;
    struct Case {
        const char* name;
        LocalTimeRecord pc;
        bool requested;
        bool expectSet;
    };
    const Case cases[] = {
        {"within the threshold", mayFirst(12, 0, 33), false, true},
        {"beyond the threshold", mayFirst(12, 0, 36), false, false},
        {"beyond the threshold with a pending request", mayFirst(12, 0, 36), true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t sets = clock.sets().size();
        serial.clearWrites(kPort);
        clock.setNow(c.pc);
        status.CorrectNowRequested = c.requested;
        feed(tvzAt(12, 0, 30));  // a step beyond the threshold needs a frame to follow
        feed(tvzAt(12, 0, 31));
        EXPECT_EQ(clock.sets().size() - sets, c.expectSet ? 1u : 0u);
        EXPECT_EQ(acks().size(), c.expectSet ? 1u : 0u);
        EXPECT_EQ(status.JumpDetected, !c.expectSet);
        EXPECT_FALSE(status.CorrectNowRequested);
    }
}

TEST_F(Processing, MidnightIsAJumpOfAlmostADayButARequestStillCorrects) {
    settings.JumpNoCorrect = 1;
    settings.CorrectionSecond = 0;
    clock.setNow(mayFirst(23, 59, 59));
    feed(tvz(24, 5, 2, 0, 0, 0));
    EXPECT_TRUE(status.JumpDetected);
    EXPECT_TRUE(clock.sets().empty());

    status.CorrectNowRequested = true;
    clock.setNow(mayFirst(23, 59, 59));
    feed(tvz(24, 5, 2, 0, 0, 0));
    ASSERT_EQ(clock.sets().size(), 1u);
    EXPECT_EQ(clock.sets()[0], at(2024, 5, 2, 0, 0, 0));  // the frame's date

    status.CorrectNowRequested = true;
    clock.setNow(mayFirst(23, 59, 59));
    feed(tvz(0, 0, 0, 0, 0, 0));  // no date: the day nearest the PC's reading
    ASSERT_EQ(clock.sets().size(), 2u);
    EXPECT_EQ(clock.sets()[1], at(2024, 5, 2, 0, 0, 0));
    EXPECT_FALSE(status.CorrectNowRequested);
    EXPECT_FALSE(status.JumpDetected);
}

// A device that sends no date, with the PC 1.5 s ahead across midnight: the frame's 23:59:59
// is the day before the PC's date, never a whole day on; the same for a PC behind.
TEST_F(Processing, AFrameWithoutADateTakesTheDayNearestThePc) {
    settings.CorrectionMode = CorrectionMode{};
    const struct {
        const char* name;
        LocalTimeRecord pc;
        Bytes frame;
        LocalTimeRecord expected;
    } cases[] = {
        {"PC ahead past midnight", at(2024, 5, 2, 0, 0, 0, 500), tvz(0, 0, 0, 23, 59, 59),
         mayFirst(23, 59, 59)},
        {"PC behind before midnight", mayFirst(23, 59, 59, 500), tvz(0, 0, 0, 0, 0, 1),
         at(2024, 5, 2, 0, 0, 1)},
        {"PC behind before the new year", at(2024, 12, 31, 23, 59, 59), tvz(0, 0, 0, 0, 0, 0),
         at(2025, 1, 1, 0, 0, 0)},
        {"midday, the PC's own day", mayFirst(12, 0, 31, 500), tvz(0, 0, 0, 12, 0, 30),
         mayFirst(12, 0, 30)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clock.setNow(c.pc);
        status.CorrectNowRequested = true;
        feed(c.frame);
        ASSERT_FALSE(clock.sets().empty());
        EXPECT_EQ(clock.sets().back(), c.expected);
    }
    EXPECT_EQ(clock.sets().size(), std::size(cases));
}

// A frame that names no time is no attempt: the request waits for one that does, and nothing
// is recorded meanwhile. A date out of range drops it.
TEST_F(Processing, OutOfRangeTimeKeepsTheRequestAndOutOfRangeDateDropsIt) {
    settings.CorrectionMode = CorrectionMode{};
    status.CorrectNowRequested = true;
    for (const Bytes& frame : {tvzAt(25, 0, 31), tvzAt(12, 60, 31), tvzAt(12, 0, 60)}) {
        feed(frame);
        EXPECT_TRUE(clock.sets().empty());
        EXPECT_TRUE(status.CorrectNowRequested);
        EXPECT_TRUE(status.JumpDetected);
    }
    EXPECT_EQ(fileText(dir / "240501O.csv"), "");

    feed(tvz(24, 13, 1, 12, 0, 31));
    EXPECT_TRUE(clock.sets().empty());
    EXPECT_FALSE(status.CorrectNowRequested);
    EXPECT_TRUE(status.JumpDetected);

    status.CorrectNowRequested = true;
    feed(tvz(24, 5, 32, 12, 0, 31));
    EXPECT_FALSE(status.CorrectNowRequested);

    status.CorrectNowRequested = true;
    feed(tvzAt(12, 0, 31));
    EXPECT_EQ(clock.sets().size(), 1u);
    EXPECT_FALSE(status.CorrectNowRequested);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Processing, SetsTheReceivedSecondPlusFineTunePlusTimeSpent) {
    settings.FineTuneMs = 135;
    clock.setNow(mayFirst(12, 0, 30, 900));  // the PC's milliseconds play no part
    // The chunk's two readings are taken at once; the handler then needs 20 ms.
    clock.beforeRead = [](FakeClock& c) {
        if (c.readCount() == 2) c.advanceMs(20);
    };
    feed(tvzAt(12, 0, 31));
    ASSERT_EQ(clock.sets().size(), 1u);
    EXPECT_EQ(clock.sets()[0], mayFirst(12, 0, 31, 155));
    EXPECT_EQ(clock.sets()[0].dayOfWeek, 3);  // Wednesday
    EXPECT_EQ(acks(), (std::vector<Bytes>{{kAck1, kAck2}}));
    EXPECT_EQ(processor.pcClockReading(), mayFirst(12, 0, 31, 155));
}

// The target is an instant to the microsecond, not a record rounded to whole milliseconds.
TEST_F(Processing, SetsTheClockToTheMicrosecond) {
    settings.FineTuneMs = 135;
    // Bytes seen at 31.020250, the handler's reading 4.35 ms later.
    processor.takeArrivalStamp(clock.preciseAt(mayFirst(12, 0, 31, 20), 250));
    clock.setNowUs(utcUs(2024, 5, 1, 12, 0, 31, 24) + 600);
    feed(tvzAt(12, 0, 31));
    EXPECT_EQ(clock.setInstants(), (std::vector<int64_t>{utcUs(2024, 5, 1, 12, 0, 31, 139) + 350}));
    EXPECT_EQ(processor.pcClockReading(), mayFirst(12, 0, 31, 139));
}

TEST_F(Processing, TimeSpentCarriesIntoTheDate) {
    settings.FineTuneMs = 999;
    settings.CorrectionMode = CorrectionMode{};
    status.CorrectNowRequested = true;
    clock.setNow(at(2024, 12, 31, 23, 59, 59));
    clock.beforeRead = [](FakeClock& c) {
        if (c.readCount() == 2) c.advanceMs(2);
    };
    feed(tvz(24, 12, 31, 23, 59, 59));
    ASSERT_EQ(clock.sets().size(), 1u);
    EXPECT_EQ(clock.sets()[0], at(2025, 1, 1, 0, 0, 0, 1));
}

// The far end of chrony.sock, as chronyd's SOCK driver binds it.
class SampleSocket {
public:
    explicit SampleSocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~SampleSocket() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    bool bound() const { return bound_; }
    // The datagrams waiting, each as bytes.
    std::vector<Bytes> take() {
        std::vector<Bytes> got;
        uint8_t buffer[256];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) >= 0;) {
            got.emplace_back(buffer, buffer + n);
        }
        return got;
    }

private:
    std::string path_;
    int fd_;
    bool bound_;
};

// A stall: the program stopped from :29.5 to :32.9, so :30, :31 and :32 come in one read. :30 and
// :31 waited in the line and are compared only; the correction due at :31 waits for the newest,
// :32, which sets the right time, not one 1.9 s behind. What the stall did is shown.
TEST_F(Processing, NoFrameOfAReadWithSeveralCorrects) {
    status.MonitorActive = true;
    status.CommLogEnabled = true;
    SampleSocket samples(dir / "chrony.sock");
    ASSERT_TRUE(samples.bound());
    clock.setNow(mayFirst(12, 0, 32, 900));
    feed(concat({tvzAt(12, 0, 30), tvzAt(12, 0, 31), tvzAt(12, 0, 32)}));

    // The newest frame waited too: a program paused for a while stamps the read when it runs.
    EXPECT_TRUE(clock.sets().empty());
    EXPECT_TRUE(acks().empty());
    const std::vector<std::string> stallLines{
        "12:00:32[STALE FRAME:] 12:00:30 waited in the line; not used to correct",
        "12:00:32[STALE FRAME:] 12:00:31 waited in the line; the correction waits for a fresh "
        "frame",
        "12:00:32[STALE FRAME:] 12:00:32 waited in the line; the correction waits for a fresh "
        "frame"};
    std::vector<std::string> shown;
    for (const std::string& l : monitor.lines) {
        if (l.find("[STALE FRAME:]") != std::string::npos) shown.push_back(l);
    }
    EXPECT_EQ(shown, stallLines);
    const auto comm = logTexts(kCommunicationLog);
    EXPECT_EQ(std::count(comm.begin(), comm.end(), stallLines[1]), 1);
    // A frame that waited says nothing true about the offset at the read's stamp.
    EXPECT_TRUE(samples.take().empty());

    // A read with one frame again: the correction held is made from it, nothing is stale.
    monitor.lines.clear();
    clock.setNow(mayFirst(12, 0, 33));
    feed(tvzAt(12, 0, 33));
    EXPECT_EQ(clock.sets(), (std::vector<LocalTimeRecord>{mayFirst(12, 0, 33)}));
    EXPECT_EQ(acks().size(), 1u);
    for (const std::string& l : monitor.lines) {
        EXPECT_EQ(l.find("[STALE FRAME:]"), std::string::npos) << l;
    }
    EXPECT_EQ(samples.take().size(), 1u);
}

// A correction asked for while a jump is shown moves the clock only on a frame that follows the
// one before it by one second: a damaged frame, or one sound frame naming another year, never
// moves it. The monitor says why the step waits; the request stays until the step is made.
TEST_F(Processing, AStepBeyondTheThresholdWaitsForAConfirmingFrame) {
    status.MonitorActive = true;
    settings.CorrectionMode = CorrectionMode{};
    clock.setNow(mayFirst(12, 0, 41));  // 10 s ahead of the device
    feed(tvzAt(12, 0, 30));
    EXPECT_TRUE(status.JumpDetected);
    status.CorrectNowRequested = true;

    monitor.lines.clear();
    feed(Bytes{0xAA, 0x00, 0x24, 0x05, 0x01, 0x03, 0x12, 0x00, 0x1A});  // second 1A, "20"
    EXPECT_EQ(monitor.lines.back(),
              "12:00:41[DAMAGED FRAME:] a BCD digit above 9; not compared, not used");
    feed(tvz(99, 5, 1, 12, 0, 32));  // sound BCD, year 2099
    EXPECT_EQ(monitor.lines.back(),
              "12:00:41[STEP WAITS:] +2366755191.000000 s waits for the next frame to confirm "
              "this one");
    feed(tvzAt(12, 0, 33));  // follows a frame of another year
    EXPECT_TRUE(clock.sets().empty());
    EXPECT_TRUE(acks().empty());
    EXPECT_TRUE(status.CorrectNowRequested);
    EXPECT_EQ(fileText(dir / "240501O.csv"), "");  // waiting is no attempt

    feed(tvzAt(12, 0, 34));
    EXPECT_EQ(clock.sets(), (std::vector<LocalTimeRecord>{mayFirst(12, 0, 34)}));
    EXPECT_FALSE(status.CorrectNowRequested);
    EXPECT_FALSE(status.JumpDetected);
}

// A damaged frame is shown as received and nothing else: no comparison, no jump, no correction
// at its moment; a sound frame after it is compared as usual.
TEST_F(Processing, ADamagedFrameIsNeitherComparedNorUsed) {
    status.JumpLogEnabled = true;
    status.JumpDetected = false;
    status.SilentSeconds = 5;
    clock.setNow(mayFirst(12, 0, 31));
    feed(Bytes{0xAA, 0x00, 0x24, 0x05, 0x01, 0x03, 0x12, 0x0F, 0x31});  // minute 0F
    EXPECT_TRUE(clock.sets().empty());
    EXPECT_FALSE(status.JumpDetected);
    EXPECT_EQ(status.SilentSeconds, 0);  // the line is alive
    EXPECT_TRUE(logTexts(kJumpLog).empty());
    feed(tvzAt(12, 0, 31));
    EXPECT_EQ(clock.sets().size(), 1u);
}

TEST_F(Processing, RefusedSetSendsNothingUsesTheRequestUpAndIsRecorded) {
    status.MonitorActive = true;
    status.CommLogEnabled = true;
    status.JumpLogEnabled = true;
    clock.setNow(mayFirst(12, 0, 40));
    feed(tvzAt(12, 0, 30));  // the frame before, which a step of 10 s needs
    monitor.lines.clear();
    clearLogs();
    journal.entries.clear();
    status.CorrectNowRequested = true;
    clock.refuseSetsWith(EPERM);
    clock.setNow(mayFirst(12, 0, 41));
    feed(tvzAt(12, 0, 31));

    EXPECT_EQ(clock.sets().size(), 1u);  // tried once
    EXPECT_TRUE(acks().empty());
    EXPECT_FALSE(status.CorrectNowRequested);  // one attempt: the request is used up
    EXPECT_TRUE(status.JumpDetected);
    const std::string failed = "12:00:41[SETTIME FAILED:] Operation not permitted";
    EXPECT_EQ(monitor.lines, (std::vector<std::string>{
                                 "【2024-05-01 12:00:41】  AA 00 24 05 01 03 12 00 31", failed}));
    EXPECT_EQ(logTexts(kCommunicationLog),
              (std::vector<std::string>{" AA 00 24 05 01 03 12 00 31", failed}));
    const auto jumpLog = logTexts(kJumpLog);
    ASSERT_EQ(jumpLog.size(), 2u);
    EXPECT_EQ(jumpLog[1], "校时失败！系统拒绝设置时间：Operation not permitted");
    EXPECT_EQ(journal.entries, std::vector<std::string>{jumpLog[1]});  // the refusals' beginning

    // Later frames make no further attempt.
    for (int second : {32, 33}) {
        clock.setNow(mayFirst(12, 0, second + 10));
        feed(tvzAt(12, 0, second));
    }
    EXPECT_EQ(clock.sets().size(), 1u);

    // A correction made ends the refusals; with every log off a new refusal still reaches the
    // journal, and only it.
    clock.refuseSetsWith(0);
    clock.setNow(mayFirst(12, 0, 31));
    feed(tvzAt(12, 0, 31));
    EXPECT_EQ(journal.entries.back(), "校时恢复：此前连续 1 次校时被拒绝");
    serial.clearWrites(kPort);
    clock.refuseSetsWith(EPERM);
    status.CorrectNowRequested = true;
    status.MonitorActive = status.CommLogEnabled = status.JumpLogEnabled = false;
    journal.entries.clear();
    clock.setNow(mayFirst(12, 0, 32));
    feed(tvzAt(12, 0, 31));
    EXPECT_EQ(journal.entries,
              (std::vector<std::string>{"校时失败！系统拒绝设置时间：Operation not permitted"}));

    // The bar shows the refusal, in Chinese for the common causes, until a set succeeds, even
    // with every line switched off.
    status.MonitorActive = status.CommLogEnabled = status.JumpLogEnabled = false;
    const struct {
        int error;
        const char* reason;
    } reasons[] = {
        {EPERM,
         "本程序没有设置时钟的权限（CAP_SYS_TIME）。请用 sudo setcap cap_sys_time+ep "
         "加程序文件路径授予此权限，或以 root 运行。"},
        {EINVAL, "时间无效，系统不接受。"},
        {EIO, "Input/output error"},
    };
    for (const auto& row : reasons) {
        clock.refuseSetsWith(row.error);
        clock.setNow(mayFirst(12, 0, 31));
        feed(tvzAt(12, 0, 31));
        EXPECT_TRUE(status.SetRefused);
        EXPECT_EQ(status.SetRefusedMessage.toUtf8(),
                  std::string("校时失败！系统拒绝设置时间：") + row.reason);
    }

    // Without a jump the flag stays clear; the next accepted set acknowledges as usual.
    clock.refuseSetsWith(0);
    clock.setNow(mayFirst(12, 0, 31));
    feed(tvzAt(12, 0, 31));
    EXPECT_EQ(acks().size(), 1u);
    EXPECT_FALSE(status.CorrectNowRequested);
    EXPECT_FALSE(status.SetRefused);
}

TEST_F(Processing, DateThatCannotBeSetIsSkippedAndReceptionGoesOn) {
    settings.CodeFormat = ST_CODE;
    settings.CorrectionMode = CorrectionMode{};
    // ST_CODE: AA, two bytes not read, century, year, month, day, one byte, hour, minute, second,
    // end byte 03.
    auto st = [](uint8_t century, uint8_t yy, uint8_t month, uint8_t day) {
        return Bytes{0xAA, 0x00, 0x00, century, yy, month, day, 0x00, 0x12, 0x00, 0x31, 0x03};
    };
    struct Case {
        const char* name;
        Bytes frame;
        std::vector<LocalTimeRecord> expectedSets;
    };
    const Case cases[] = {
        {"30 February", st(0x20, 0x24, 0x02, 0x30), {}},
        {"31 April", st(0x20, 0x24, 0x04, 0x31), {}},
        {"29 February of a common year", st(0x20, 0x23, 0x02, 0x29), {}},
        {"29 February of a leap year", st(0x20, 0x24, 0x02, 0x29), {at(2024, 2, 29, 12, 0, 31)}},
        {"year 1500", st(0x15, 0x00, 0x05, 0x01), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = clock.sets().size();
        serial.clearWrites(kPort);
        clock.setNow(at(2024, 2, 29, 12, 0, 31));
        status.CorrectNowRequested = true;
        status.JumpDetected = false;
        feed(c.frame);
        EXPECT_EQ(std::vector<LocalTimeRecord>(clock.sets().begin() + before, clock.sets().end()),
                  c.expectedSets);
        EXPECT_EQ(acks().size(), c.expectedSets.size());
        EXPECT_FALSE(status.CorrectNowRequested);  // made or refused, one attempt
        EXPECT_EQ(status.JumpDetected, c.expectedSets.empty());
    }
    // Reception goes on: a good frame after a bad one still corrects.
    clock.setNow(mayFirst(12, 0, 31));
    status.CorrectNowRequested = true;
    feed(st(0x20, 0x24, 0x02, 0x30));
    status.CorrectNowRequested = true;
    feed(st(0x20, 0x24, 0x05, 0x01));
    EXPECT_EQ(clock.sets().back(), mayFirst(12, 0, 31));
    EXPECT_FALSE(status.CorrectNowRequested);
}

// --- Offset record and chrony samples --------------------------------------------------------

TEST_F(Processing, OffsetRecordHasALinePerAttemptMadeOrRefused) {
    settings.FineTuneMs = 135;
    // Bytes seen at 12:00:31.020250, handled 4.75 ms later: set to 31.000 + 135 + 4.75, a step
    // of 114.75 ms, which the record gives as it gives the offset: rounded to a tenth.
    clock.setNow(mayFirst(12, 0, 31, 25));
    processor.takeArrivalStamp(clock.preciseAt(mayFirst(12, 0, 31, 20), 250));
    feed(tvzAt(12, 0, 31));
    ASSERT_EQ(clock.setInstants().size(), 1u);
    EXPECT_EQ(clock.setInstants()[0] - utcUs(2024, 5, 1, 12, 0, 31, 25), 114'750);

    // Refused by the system; then a request whose frame names no date that exists (a frame that
    // names no time before it is no attempt).
    clock.refuseSetsWith(EPERM);
    clock.setNow(mayFirst(12, 1, 31, 10));  // no stamp: the handler's first reading stands in
    feed(tvzAt(12, 1, 31));
    status.CorrectNowRequested = true;
    feed(tvzAt(25, 0, 31));
    clock.refuseSetsWith(0);
    feed(tvz(24, 2, 30, 12, 1, 31));

    const std::string name = OffsetRecord::fileName(mayFirst(0, 0, 0));
    EXPECT_EQ(name, "240501O.csv");
    EXPECT_EQ(fileText(dir / name),
              "time,received,offset_ms,step_ms,result\n"
              "2024-05-01 12:00:31.025,2024-05-01 12:00:31.000,-114.8,114.8,ok\n"
              "2024-05-01 12:01:31.010,2024-05-01 12:01:31.000,-125.0,0.0,"
              "refused:Operation not permitted\n"
              "2024-05-01 12:01:31.010,2024-02-30 12:01:31.000,,0.0,refused:no such date\n");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Processing, OffsetRecordStartsANewFileAtMidnight) {
    settings.FineTuneMs = 135;
    settings.CorrectionMode = CorrectionMode{};
    status.CorrectNowRequested = true;
    clock.setNow(mayFirst(23, 59, 59, 990));
    feed(tvzAt(23, 59, 59));  // the PC runs 0.855 s ahead; set back to 23:59:59.135
    status.CorrectNowRequested = true;
    clock.setNow(at(2024, 5, 2, 0, 0, 0, 5));
    feed(tvz(24, 5, 2, 0, 0, 0));
    EXPECT_EQ(fileText(dir / "240501O.csv"),
              "time,received,offset_ms,step_ms,result\n"
              "2024-05-01 23:59:59.990,2024-05-01 23:59:59.000,855.0,-855.0,ok\n");
    EXPECT_EQ(fileText(dir / "240502O.csv"),
              "time,received,offset_ms,step_ms,result\n"
              "2024-05-02 00:00:00.005,2024-05-02 00:00:00.000,-130.0,130.0,ok\n");

    // A file that cannot be opened: one warning per attempt, and the correction goes on.
    std::filesystem::remove(dir / "240502O.csv");
    std::filesystem::create_directory(dir / "240502O.csv");
    serial.clearWrites(kPort);
    status.CorrectNowRequested = true;
    feed(tvz(24, 5, 2, 0, 0, 0));
    EXPECT_EQ(acks().size(), 1u);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].kind, RecordingMessageBoxes::Kind::Warning);
    EXPECT_EQ(boxes.shown[0].text, "File access error");

    // A link under the day's name is not followed: the same warning, its target stays as it was.
    std::filesystem::remove(dir / "240502O.csv");
    std::ofstream(dir / "target") << "another user's file";
    std::filesystem::create_symlink(dir / "target", dir / "240502O.csv");
    status.CorrectNowRequested = true;
    feed(tvz(24, 5, 2, 0, 0, 0));
    EXPECT_EQ(acks().size(), 2u);
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].text, "File access error");
    EXPECT_EQ(fileText(dir / "target"), "another user's file");

    // A line cut short is taken back whole, the new file's header with it, without a warning;
    // the next attempt starts the file afresh.
    std::filesystem::remove(dir / "240502O.csv");
    {
        testing::FileSizeLimit limit(20);  // within the header
        status.CorrectNowRequested = true;
        feed(tvz(24, 5, 2, 0, 0, 0));
    }
    EXPECT_EQ(acks().size(), 3u);
    EXPECT_EQ(fileText(dir / "240502O.csv"), "");
    status.CorrectNowRequested = true;
    feed(tvz(24, 5, 2, 0, 0, 0));
    const std::string lines = fileText(dir / "240502O.csv");
    EXPECT_TRUE(lines.starts_with("time,received,offset_ms,step_ms,result\n2024-05-02 00:00:00"))
        << lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2);
    EXPECT_EQ(boxes.shown.size(), 2u);
}

// Summer time ends in Berlin on 2026-10-25: 02:00-02:59:59 happens twice. In either pass, with
// the PC 1.5 s ahead of a device that sends the same local time, the correction takes the pass
// the PC is in: the clock moves back 1.365 s (135 ms fine adjustment), never an hour, and the
// record's step is what the clock moved.
TEST_F(Processing, TheRepeatedHourSetsTheInstantNearestThePc) {
    ScopedTimeZone berlin("Europe/Berlin");
    clock.setZone(FakeClock::Zone::Process);
    settings.FineTuneMs = 135;
    const struct {
        const char* name;
        int utcHour;  // 02:30 local is 00:30 UTC in summer time (CEST), 01:30 in winter (CET)
    } passes[] = {{"first pass, CEST", 0}, {"second pass, CET", 1}};
    for (const auto& pass : passes) {
        SCOPED_TRACE(pass.name);
        const int64_t before = utcUs(2026, 10, 25, pass.utcHour, 30, 32, 500);
        clock.setNowUs(before);
        ASSERT_EQ(clock.now(), at(2026, 10, 25, 2, 30, 32, 500));
        feed(tvz(26, 10, 25, 2, 30, 31));
        ASSERT_FALSE(clock.setInstants().empty());
        EXPECT_EQ(clock.setInstants().back(), utcUs(2026, 10, 25, pass.utcHour, 30, 31, 135));
        EXPECT_EQ(clock.nowUs() - before, -1'365'000);
        EXPECT_EQ(processor.pcClockReading(), at(2026, 10, 25, 2, 30, 31, 135));
    }
    EXPECT_EQ(acks().size(), 2u);
    EXPECT_EQ(fileText(dir / "261025O.csv"),
              "time,received,offset_ms,step_ms,result\n"
              "2026-10-25 02:30:32.500,2026-10-25 02:30:31.000,1365.0,-1365.0,ok\n"
              "2026-10-25 02:30:32.500,2026-10-25 02:30:31.000,1365.0,-1365.0,ok\n");
}

// Summer time begins in Berlin on 2026-03-29: 02:00-02:59:59 does not happen. A frame naming it
// sets nothing and is shown and recorded as a refused set; the next frame that names a real
// time corrects.
TEST_F(Processing, TheSkippedHourIsRefusedAsNoSuchLocalTime) {
    ScopedTimeZone berlin("Europe/Berlin");
    clock.setZone(FakeClock::Zone::Process);
    status.MonitorActive = true;
    status.CorrectNowRequested = true;
    settings.CorrectionMode = CorrectionMode{};
    clock.setNowUs(utcUs(2026, 3, 29, 1, 0, 0));  // 03:00:00 CEST, the second after 01:59:59 CET
    feed(tvz(26, 3, 29, 2, 59, 59));
    EXPECT_TRUE(clock.setInstants().empty());
    EXPECT_TRUE(acks().empty());
    EXPECT_FALSE(status.CorrectNowRequested);
    EXPECT_TRUE(status.SetRefused);
    EXPECT_EQ(status.SetRefusedMessage.toUtf8(), "校时失败！系统拒绝设置时间：no such local time");
    ASSERT_FALSE(monitor.lines.empty());
    EXPECT_EQ(monitor.lines.back(), "03:00:00[SETTIME FAILED:] no such local time");

    status.CorrectNowRequested = true;
    feed(tvz(26, 3, 29, 3, 0, 0));
    EXPECT_EQ(clock.setInstants(), (std::vector<int64_t>{utcUs(2026, 3, 29, 1, 0, 0)}));
    EXPECT_FALSE(status.CorrectNowRequested);
    EXPECT_FALSE(status.SetRefused);
    EXPECT_EQ(fileText(dir / "260329O.csv"),
              "time,received,offset_ms,step_ms,result\n"
              "2026-03-29 03:00:00.000,2026-03-29 02:59:59.000,,0.0,refused:no such local time\n"
              "2026-03-29 03:00:00.000,2026-03-29 03:00:00.000,0.0,0.0,ok\n");
}

// A year byte 19 names 2019: a pending request is refused there at once (no confirming frame
// could make it settable), without reaching the clock, and shown like any refused set; a good
// frame then corrects.
TEST_F(Processing, AnInstantOutsideTheSettableYearsIsRefusedAsOutOfRange) {
    status.MonitorActive = true;
    status.CorrectNowRequested = true;
    settings.CorrectionMode = CorrectionMode{};
    feed(tvz(19, 5, 1, 12, 0, 31));
    EXPECT_TRUE(clock.setInstants().empty());
    EXPECT_TRUE(acks().empty());
    EXPECT_FALSE(status.CorrectNowRequested);
    EXPECT_TRUE(status.SetRefused);
    EXPECT_EQ(status.SetRefusedMessage.toUtf8(), "校时失败！系统拒绝设置时间：time out of range");
    ASSERT_FALSE(monitor.lines.empty());
    EXPECT_EQ(monitor.lines.back(), "12:00:31[SETTIME FAILED:] time out of range");
    const std::string record = fileText(dir / "240501O.csv");
    EXPECT_NE(record.find("\n2024-05-01 12:00:31.000,2019-05-01 12:00:31.000,"), std::string::npos)
        << record;
    EXPECT_NE(record.find(",0.0,refused:time out of range\n"), std::string::npos) << record;

    status.CorrectNowRequested = true;
    feed(tvzAt(12, 0, 31));
    EXPECT_EQ(clock.sets(), (std::vector<LocalTimeRecord>{mayFirst(12, 0, 31)}));
    EXPECT_EQ(acks().size(), 1u);
    EXPECT_FALSE(status.CorrectNowRequested);
    EXPECT_FALSE(status.SetRefused);
}

Bytes sampleBytes(int64_t seconds, int64_t us, double offset) {
    ChronySockSample sample{};
    sample.tv.tv_sec = seconds;
    sample.tv.tv_usec = us;
    sample.offset = offset;
    sample.magic = 0x534f434b;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&sample);
    return Bytes(bytes, bytes + sizeof sample);
}

TEST_F(Processing, ChronyGetsASampleOfEveryValidFrameTakenBeforeItsCorrection) {
    SampleSocket socket(dir / "chrony.sock");
    ASSERT_TRUE(socket.bound());
    settings.FineTuneMs = 135;
    // The PC runs 10 s ahead: the device's time at arrival, 12:00:31.135, is 9.885250 s behind
    // the stamp's 12:00:41.020250 (system time 1714564841.020250). This frame is also a
    // correction moment.
    clock.setNow(mayFirst(12, 0, 40, 30));
    feed(tvzAt(12, 0, 30));  // the frame before, which a step of 10 s needs
    socket.take();
    status.CorrectNowRequested = true;
    clock.setNow(mayFirst(12, 0, 41, 30));
    processor.takeArrivalStamp(clock.preciseAt(mayFirst(12, 0, 41, 20), 250));
    feed(tvzAt(12, 0, 31));
    ASSERT_EQ(clock.sets().size(), 1u);
    EXPECT_EQ(socket.take(), (std::vector<Bytes>{sampleBytes(1'714'564'841, 20'250, -9.88525)}));

    // No sample from a frame that names no moment, nor from one of a year no clock is set to.
    feed(tvzAt(12, 0, 61));
    feed(tvz(24, 2, 30, 12, 0, 32));
    feed(Bytes{0xAA, 0x00, 0xFF, bcd(5), bcd(1), 0x03, bcd(12), bcd(0), bcd(33)});  // 2165
    EXPECT_TRUE(socket.take().empty());
}

TEST_F(Processing, ChronySamplesPauseFiveSecondsAfterARefusal) {
    settings.CorrectionMode = CorrectionMode{};
    auto frameAt = [&](int second) {
        clock.setNow(mayFirst(12, 0, second));
        feed(tvzAt(12, 0, second));
    };
    frameAt(10);  // no socket yet: refused, silently
    SampleSocket socket(dir / "chrony.sock");
    ASSERT_TRUE(socket.bound());
    frameAt(11);
    frameAt(14);
    EXPECT_TRUE(socket.take().empty()) << "within 5 s of the refusal";
    frameAt(15);
    frameAt(16);
    EXPECT_EQ(socket.take().size(), 2u);
    EXPECT_TRUE(boxes.shown.empty());
}

// --- Allocation ------------------------------------------------------------------------------

// A clock and a serial line that keep only the latest call, so that counting allocations sees
// the processing alone.
class QuietClock final : public LocalClock {
public:
    LocalTimeRecord current = mayFirst(12, 0, 31);
    int setCount = 0;
    LocalTimeRecord now() override { return current; }

protected:
    int applyInstant(int64_t systemUs, std::optional<int64_t>) override {
        current = localTimeAt(systemUs);
        ++setCount;
        return 0;
    }
};

TEST_F(Processing, FramesAllocateNothingWithTheLinesOff) {
    QuietClock quietClock;
    QuietSerial quietSerial;
    status.JumpLogEnabled = true;  // no jump, so nothing is logged
    FrameProcessor quiet({quietClock, quietSerial, line, settings, status, monitor, log});
    const Bytes plain = tvzAt(12, 0, 30);
    const Bytes moment = tvzAt(12, 0, 31);

    testing::AllocationCount allocations;
    quietClock.current = mayFirst(12, 0, 30);
    handleReceivedChunk(ring, indices, plain.data(), 9, TVZ_CODE, quiet);
    quietClock.current = mayFirst(12, 0, 31);
    handleReceivedChunk(ring, indices, moment.data(), 9, TVZ_CODE, quiet);
    allocations.stop();

    EXPECT_EQ(allocations.count(), 0);
    EXPECT_EQ(quietClock.setCount, 1);
    EXPECT_EQ(quietSerial.writeCount, 1);
}

}  // namespace
}  // namespace zrq

namespace zrq {
namespace {

// A record file that keeps failing (a full disk: a /dev/full node in its place) is said once in
// the journal with its path and reason, without a box; the recovery says how many lines were lost.
TEST(OffsetRecordFailures, AFullDiskIsSaidOnceAndTheRecoveryCountsTheLostLines) {
    testing::TempDir dir;
    RecordingMessageBoxes boxes;
    RecordingJournal journal;
    OffsetRecord record(boxes, dir.path(), &journal);
    CorrectionAttempt attempt{};
    attempt.time = {2024, 5, 0, 2, 0, 0, 0, 0};
    attempt.received = attempt.time;
    const std::string path = dir / "240502O.csv";
    ASSERT_EQ(::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 7)), 0);
    for (int i = 0; i < 5; ++i) record.write(attempt);
    ASSERT_EQ(journal.entries.size(), 1u);
    EXPECT_EQ(journal.entries[0],
              "File access error: cannot write to " + path +
                  ": No space left on device; its entries are lost until it can be written again");
    EXPECT_TRUE(boxes.shown.empty());
    std::filesystem::remove(path);
    record.write(attempt);
    ASSERT_EQ(journal.entries.size(), 2u);
    EXPECT_EQ(journal.entries[1],
              path + " is written again; 5 entries were lost while writing failed");
}

}  // namespace
}  // namespace zrq
