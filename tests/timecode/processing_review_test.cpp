// Frame processing on hostile date fields: years no date-time value can hold are never set, and
// years before the clock's first are recorded as refused sets.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/message_boxes.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_library.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/time_records.h"
#include "timecode/frame_processor.h"
#include "timecode/frame_search.h"

namespace zrq {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

constexpr int kPort = 1;

using testing::at;

// ST_CODE: AA, two bytes not read, BCD century, year, month, day, one byte not read, BCD hour,
// minute, second, end byte 03.
Bytes st(uint8_t century, uint8_t yy, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute,
         uint8_t second) {
    return {0xAA, 0x00, 0x00, century, yy, month, day, 0x00, hour, minute, second, 0x03};
}

class RecordingMonitor final : public MonitorLines {
public:
    void appendLine(const GbkText& line) override { lines.push_back(line.toUtf8()); }
    std::vector<std::string> lines;
};

class LogDir {
public:
    LogDir() {
        char pattern[] = "/tmp/zrq-review-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~LogDir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// An immediate correction is pending and the PC reads 2024-05-01 12:00:31; only ST_CODE frames,
// whose four-digit year can be driven past 9999 by nibbles above 9, are fed.
class HostileYears : public ::testing::Test {
protected:
    HostileYears()
        : log(clock, boxes, dir.path()),
          processor({clock, serial, line, settings, status, monitor, log}) {
        serial.sio_open(kPort);
        line.Port = kPort;
        settings.CodeFormat = ST_CODE;
        settings.JumpThresholdSec = 3;
        status.JumpLogEnabled = false;
    }

    void feed(const Bytes& chunk) {
        handleReceivedChunk(ring, indices, chunk.data(), static_cast<int>(chunk.size()),
                            settings.CodeFormat, processor);
    }

    FakeClock clock;
    FakeSerialLibrary serial;
    LineSettings line;
    ClockSettings settings;
    StatusState status;
    RecordingMonitor monitor;
    RecordingMessageBoxes boxes;
    LogDir dir;
    EventLog log;
    FrameProcessor processor;
    RingStorage ring{};
    RingIndices indices{};
};

// The clock is set to no instant from 2100 on; beyond 9999 a frame names no time at all.
TEST_F(HostileYears, OnlyYearsBefore2100AreSetAndAcknowledged) {
    struct Case {
        const char* name;
        Bytes frame;
        uint16_t fineTuneMs;
        std::vector<LocalTimeRecord> expectedSets;
        bool damaged = false;  // no attempt: the request waits for a sound frame
    };
    const Case cases[] = {
        {"year 2099 is the last one set",
         concat(st(0x20, 0x99, 0x05, 0x01, 0x12, 0x00, 0x30),
                st(0x20, 0x99, 0x05, 0x01, 0x12, 0x00, 0x31)),
         0,
         {at(2099, 5, 1, 12, 0, 31)}},
        {"year 2100 is out of range", st(0x21, 0x00, 0x05, 0x01, 0x12, 0x00, 0x31), 0, {}},
        {"year 9999 is out of range", st(0x99, 0x99, 0x05, 0x01, 0x12, 0x00, 0x31), 0, {}},
        {"century nibble above 9 is damage",
         st(0x9A, 0x00, 0x05, 0x01, 0x12, 0x00, 0x31),
         0,
         {},
         true},
        {"century A0 is damage", st(0xA0, 0x24, 0x05, 0x01, 0x12, 0x00, 0x31), 0, {}, true},
        {"every nibble F is damage", st(0xFF, 0xFF, 0x05, 0x01, 0x12, 0x00, 0x31), 0, {}, true},
        {"fine adjustment carrying into 2100",
         st(0x20, 0x99, 0x12, 0x31, 0x23, 0x59, 0x59),
         999,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clock.setNow(at(2024, 5, 1, 12, 0, 31));
        // Time passes between the readings, so the last case carries past 2099-12-31 23:59:59.999.
        clock.beforeRead = [](FakeClock& fake) { fake.advanceMs(1); };
        settings.FineTuneMs = c.fineTuneMs;
        status.CorrectNowRequested = true;
        const size_t setsBefore = clock.sets().size();
        serial.clearWrites(kPort);

        // Frame by frame, each its own read: a step of 75 years needs the frame before it.
        for (size_t offset = 0; offset < c.frame.size(); offset += 12) {
            feed(Bytes(c.frame.begin() + static_cast<long>(offset),
                       c.frame.begin() + static_cast<long>(offset) + 12));
        }

        const std::vector<LocalTimeRecord> sets(clock.sets().begin() + setsBefore,
                                                clock.sets().end());
        ASSERT_EQ(sets.size(), c.expectedSets.size());
        for (size_t i = 0; i < sets.size(); ++i) {
            EXPECT_EQ(sets[i].year, c.expectedSets[i].year);
            EXPECT_EQ(sets[i].month, c.expectedSets[i].month);
            EXPECT_EQ(sets[i].day, c.expectedSets[i].day);
            EXPECT_EQ(sets[i].hour, c.expectedSets[i].hour);
            EXPECT_EQ(sets[i].second, c.expectedSets[i].second);
        }
        const std::vector<Bytes> expectedAcks(c.expectedSets.size(), Bytes{0x55, 0xAA});
        EXPECT_EQ(serial.writes(kPort), expectedAcks);
        // Made or refused, a request is one attempt; a damaged frame is no attempt.
        EXPECT_EQ(status.CorrectNowRequested, c.damaged);
    }
}

TEST_F(HostileYears, YearsBefore1601AreRecordedAsRefusedSets) {
    clock.setNow(at(2024, 5, 1, 12, 0, 31));
    status.CorrectNowRequested = true;
    status.MonitorActive = true;

    feed(st(0x15, 0x99, 0x05, 0x01, 0x12, 0x00, 0x31));  // 1599-05-01

    EXPECT_TRUE(clock.sets().empty());
    EXPECT_TRUE(serial.writes(kPort).empty()) << "the device must not hear of a correction";
    EXPECT_FALSE(status.CorrectNowRequested);    // the attempt was made
    ASSERT_EQ(monitor.lines.size(), size_t{2});  // the frame dump, then the refusal
    EXPECT_EQ(monitor.lines[1], "12:00:31[SETTIME FAILED:] Invalid argument");
}

}  // namespace
}  // namespace zrq
