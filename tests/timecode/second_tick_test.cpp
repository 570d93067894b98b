// The per-second tick: the PC time frame's bytes, one update per new second of the clock, the
// date label once per day and the status lamp.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/timerfd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/date_time_value.h"
#include "tests/support/counting_new.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_library.h"
#include "tests/support/quiet_serial.h"
#include "tests/support/time_records.h"
#include "timecode/second_tick.h"
#include "timecode/tick_timer.h"

namespace zrq {
namespace {

using testing::at;
using testing::QuietSerial;
using Bytes = std::vector<uint8_t>;
constexpr int kPort = 3;

class RecordingBar final : public BarView {
public:
    void setTimeText(const std::string& ascii) override { times.push_back(ascii); }
    void setDateText(const GbkText& text) override { dates.push_back(text.toUtf8()); }
    void setLamp(Lamp lamp) override { lamps.push_back(lamp); }
    std::vector<std::string> times, dates;  // UTF-8
    std::vector<Lamp> lamps;
};

TEST(PcTimeFrame, BytesAreBcdWithMillisecondsAsFourDigits) {
    struct Case {
        LocalTimeRecord time;
        Bytes expected;
    };
    const Case cases[] = {
        {at(2024, 5, 1, 13, 7, 42, 305),
         {0xAA, 0xAA, 0x00, 0x24, 0x05, 0x01, 0x13, 0x07, 0x42, 0x03, 0x05, 0xA3}},
        {at(2000, 12, 31, 23, 59, 59, 0),
         {0xAA, 0xAA, 0x00, 0x00, 0x12, 0x31, 0x23, 0x59, 0x59, 0x00, 0x00, 0xA3}},
        {at(2099, 1, 9, 0, 0, 0, 7),
         {0xAA, 0xAA, 0x00, 0x99, 0x01, 0x09, 0x00, 0x00, 0x00, 0x00, 0x07, 0xA3}},
        {at(2024, 5, 1, 9, 5, 7, 99),
         {0xAA, 0xAA, 0x00, 0x24, 0x05, 0x01, 0x09, 0x05, 0x07, 0x00, 0x99, 0xA3}},
        {at(2024, 5, 1, 9, 5, 7, 100),
         {0xAA, 0xAA, 0x00, 0x24, 0x05, 0x01, 0x09, 0x05, 0x07, 0x01, 0x00, 0xA3}},
        {at(2024, 5, 1, 9, 5, 7, 999),
         {0xAA, 0xAA, 0x00, 0x24, 0x05, 0x01, 0x09, 0x05, 0x07, 0x09, 0x99, 0xA3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.time.year << " ms " << c.time.milliseconds);
        const PcTimeFrame frame = buildPcTimeFrame(c.time, c.time);
        EXPECT_EQ(Bytes(frame.begin(), frame.end()), c.expected);
    }
}

TEST(PcTimeFrame, TimeAndDateComeFromTheirOwnReadings) {
    const PcTimeFrame frame =
        buildPcTimeFrame(at(2024, 5, 1, 23, 59, 59, 998), at(2024, 5, 2, 0, 0, 0, 1));
    EXPECT_EQ(Bytes(frame.begin(), frame.end()),
              (Bytes{0xAA, 0xAA, 0x00, 0x24, 0x05, 0x02, 0x23, 0x59, 0x59, 0x09, 0x98, 0xA3}));
}

TEST(Lamp, FirstStateThatHoldsWins) {
    const struct {
        bool noSignal, setRefused, jumpDetected;
        Lamp expected;
    } table[] = {
        {true, true, true, Lamp::Red},      {true, false, false, Lamp::Red},
        {false, true, true, Lamp::Yellow},  {false, true, false, Lamp::Yellow},
        {false, false, true, Lamp::Yellow}, {false, false, false, Lamp::Green},
    };
    for (const auto& row : table) {
        EXPECT_EQ(chooseLamp(row.noSignal, row.setRefused, row.jumpDetected), row.expected)
            << row.noSignal << row.setRefused << row.jumpDetected;
    }
    EXPECT_EQ(lampMessage(Lamp::Red).toUtf8(), "未收到标准时间码，请检查通讯连接和设置!");
    EXPECT_EQ(lampMessage(Lamp::Red).size(), 39u);
    EXPECT_EQ(lampMessage(Lamp::Yellow).toUtf8(), "标准与本地时间跳跃，如校正请选择菜单立即校时！");
    EXPECT_EQ(lampMessage(Lamp::Yellow).size(), 46u);
    EXPECT_EQ(lampMessage(Lamp::Green).toUtf8(), "工作正常！");
    EXPECT_EQ(lampMessage(Lamp::Green).size(), 10u);
    EXPECT_EQ(&noSignalMessage(), &lampMessage(Lamp::Red));
    const LampRgb green = lampRgb(Lamp::Green);
    EXPECT_EQ((std::vector<int>{green.r, green.g, green.b}), (std::vector<int>{0, 128, 0}));
    const LampRgb yellow = lampRgb(Lamp::Yellow);
    EXPECT_EQ((std::vector<int>{yellow.r, yellow.g, yellow.b}), (std::vector<int>{255, 255, 0}));
    const LampRgb red = lampRgb(Lamp::Red);
    EXPECT_EQ((std::vector<int>{red.r, red.g, red.b}), (std::vector<int>{255, 0, 0}));
}

// The tick as start-up leaves it, with the clock at 2024-05-01 13:07:42.305 (a Wednesday).
class Tick : public ::testing::Test {
protected:
    Tick() : tick(clock, serial, line, status, bar) {
        serial.sio_open(kPort);
        line.Port = kPort;
        clock.setNow(at(2024, 5, 1, 13, 7, 42, 305));
        status.StatusMessage = noSignalMessage();
        tick.reset();
    }

    std::vector<Bytes> frames() const { return serial.writes(kPort); }

    // Timer events every 2 ms for `ms` milliseconds.
    void runFor(int ms) {
        for (int t = 0; t < ms; t += 2) {
            clock.advanceMs(2);
            tick.onTimer();
        }
    }

    FakeClock clock;
    FakeSerialLibrary serial;
    LineSettings line;
    StatusState status;
    RecordingBar bar;
    SecondTick tick;
};

TEST_F(Tick, FirstEventDoesTheFullUpdateAndShowsRed) {
    tick.onTimer();
    EXPECT_EQ(bar.times, (std::vector<std::string>{"13:07:42"}));
    EXPECT_EQ(frames(), (std::vector<Bytes>{{0xAA, 0xAA, 0x00, 0x24, 0x05, 0x01, 0x13, 0x07, 0x42,
                                             0x03, 0x05, 0xA3}}));
    EXPECT_EQ(bar.dates, (std::vector<std::string>{"2024-05-01 星期三 "}));
    EXPECT_EQ(bar.lamps, (std::vector<Lamp>{Lamp::Red}));
    EXPECT_EQ(status.SilentSeconds, 51);
    EXPECT_TRUE(status.NoSignal);
    EXPECT_EQ(status.StatusMessage, noSignalMessage());
}

TEST_F(Tick, FrameTimeIsTheFirstReadingAndTheDateALaterOne) {
    clock.setNow(at(2024, 5, 1, 23, 59, 59, 998));
    clock.beforeRead = [](FakeClock& c) { c.advanceMs(1); };  // 1 ms per reading
    tick.onTimer();
    // Readings: 23:59:59.999 (frame time), 00:00:00.000 (bar), 00:00:00.001 (frame date).
    EXPECT_EQ(frames(), (std::vector<Bytes>{{0xAA, 0xAA, 0x00, 0x24, 0x05, 0x02, 0x23, 0x59, 0x59,
                                             0x09, 0x99, 0xA3}}));
    EXPECT_EQ(bar.times, (std::vector<std::string>{"0:00:00"}));
    EXPECT_EQ(bar.dates, (std::vector<std::string>{"2024-05-02 星期四 "}));
}

TEST_F(Tick, EventsWithinOneSecondDoNothingAfterOneClockReading) {
    tick.onTimer();
    const int reads = clock.readCount();
    const size_t calls = serial.calls().size();
    // From .305 to .999 of the same second.
    for (int ms = 305; ms < 998; ms += 2) {
        clock.advanceMs(2);
        tick.onTimer();
    }
    EXPECT_EQ(clock.readCount() - reads, (998 - 305) / 2 + 1);
    EXPECT_EQ(serial.calls().size(), calls);
    EXPECT_EQ(bar.times.size(), 1u);
    EXPECT_EQ(status.SilentSeconds, 51);
}

TEST_F(Tick, ExactlyOneFramePerSecondWhileTheClockRuns) {
    clock.setNow(at(2024, 5, 1, 13, 7, 42, 0));
    tick.onTimer();
    runFor(10'000);
    ASSERT_EQ(frames().size(), 11u);
    for (size_t i = 0; i < frames().size(); ++i) {
        EXPECT_EQ(frames()[i][8], 0x42 + (i < 8 ? i : i + 6)) << i;  // BCD 42..49, 50..52
        // The event that notices the second runs 2 ms or less into it.
        EXPECT_LE(frames()[i][10], i == 0 ? 0x00 : 0x02) << i;
    }
    EXPECT_EQ(bar.times.back(), "13:07:52");
    EXPECT_EQ(status.SilentSeconds, 61);
}

TEST_F(Tick, StepToAnotherSecondCountsOnce) {
    tick.onTimer();
    for (int seconds : {-32, 3600 + 5}) {
        SCOPED_TRACE(seconds);
        const int32_t silent = status.SilentSeconds;
        const size_t sent = frames().size();
        clock.advanceSeconds(seconds);
        tick.onTimer();
        tick.onTimer();
        EXPECT_EQ(status.SilentSeconds, silent + 1);
        EXPECT_EQ(frames().size(), sent + 1);
    }
    EXPECT_EQ(bar.times, (std::vector<std::string>{"13:07:42", "13:07:10", "14:07:15"}));
    EXPECT_EQ(frames().back()[6], 0x14);
    EXPECT_EQ(frames().back()[8], 0x15);
}

TEST_F(Tick, StepByWholeMinutesWaitsForTheSecondsToChange) {
    tick.onTimer();
    clock.advanceSeconds(120);  // 13:09:42.305
    tick.onTimer();
    clock.advanceSeconds(-3600);  // 12:09:42.305
    tick.onTimer();
    EXPECT_EQ(frames().size(), 1u);
    EXPECT_EQ(bar.times.size(), 1u);
    clock.advanceMs(700);  // 12:09:43.005
    tick.onTimer();
    EXPECT_EQ(bar.times, (std::vector<std::string>{"13:07:42", "12:09:43"}));
    EXPECT_EQ(frames().size(), 2u);
}

TEST_F(Tick, LampTurnsRedAtTheSixthNewSecondAfterTheLastGoodFrame) {
    tick.onTimer();
    status.SilentSeconds = 0;  // a good frame, no jump
    status.JumpDetected = false;
    std::vector<Lamp> expected{Lamp::Red};
    for (int s = 1; s <= 5; ++s) expected.push_back(Lamp::Green);
    for (int s = 6; s <= 8; ++s) expected.push_back(Lamp::Red);
    for (int s = 1; s <= 8; ++s) {
        clock.advanceSeconds(1);
        tick.onTimer();
    }
    EXPECT_EQ(bar.lamps, expected);
    EXPECT_EQ(status.StatusMessage, lampMessage(Lamp::Red));
}

TEST_F(Tick, NoSignalWinsOverAJumpAndIsRecomputedEverySecond) {
    tick.onTimer();
    status.JumpDetected = true;
    status.SilentSeconds = 0;
    clock.advanceSeconds(1);
    tick.onTimer();
    EXPECT_EQ(bar.lamps.back(), Lamp::Yellow);
    EXPECT_EQ(status.StatusMessage.toUtf8(), "标准与本地时间跳跃，如校正请选择菜单立即校时！");

    status.NoSignal = true;  // a port switch between two seconds
    clock.advanceSeconds(1);
    tick.onTimer();
    EXPECT_FALSE(status.NoSignal);
    EXPECT_EQ(bar.lamps.back(), Lamp::Yellow);

    status.SilentSeconds = 5;
    clock.advanceSeconds(1);
    tick.onTimer();
    EXPECT_EQ(bar.lamps.back(), Lamp::Red);
    EXPECT_EQ(status.StatusMessage, noSignalMessage());

    status.SilentSeconds = 0;
    status.JumpDetected = false;
    clock.advanceSeconds(1);
    tick.onTimer();
    EXPECT_EQ(bar.lamps.back(), Lamp::Green);
    EXPECT_EQ(status.StatusMessage.toUtf8(), "工作正常！");
}

TEST_F(Tick, RefusedSetShowsItsReasonOverAJumpButNotOverNoSignal) {
    tick.onTimer();
    status.SetRefused = true;
    status.SetRefusedMessage = gbk("校时失败！系统拒绝设置时间：reason");
    status.JumpDetected = true;
    for (int32_t silent : {0, 5, 0}) {
        status.SilentSeconds = silent;
        clock.advanceSeconds(1);
        tick.onTimer();
        const bool red = silent == 5;
        EXPECT_EQ(bar.lamps.back(), red ? Lamp::Red : Lamp::Yellow) << silent;
        EXPECT_EQ(status.StatusMessage,
                  red ? noSignalMessage() : gbk("校时失败！系统拒绝设置时间：reason"));
    }
    status.SetRefused = false;  // a set succeeded
    clock.advanceSeconds(1);
    tick.onTimer();
    EXPECT_EQ(status.StatusMessage.toUtf8(), "标准与本地时间跳跃，如校正请选择菜单立即校时！");
}

TEST_F(Tick, DateLabelChangesOncePerDayAndAtStart) {
    clock.setNow(at(2024, 5, 1, 23, 59, 58, 500));
    tick.onTimer();
    runFor(3000);  // through midnight into 2 May
    EXPECT_EQ(bar.dates, (std::vector<std::string>{"2024-05-01 星期三 ", "2024-05-02 星期四 "}));
    EXPECT_EQ(bar.times.size(), 4u);

    tick.reset();  // start-up again on the same day
    clock.advanceSeconds(1);
    tick.onTimer();
    EXPECT_EQ(bar.dates.back(), "2024-05-02 星期四 ");
    EXPECT_EQ(bar.dates.size(), 3u);

    // A century on, year % 100, month and day are the same: the label is left as it is.
    clock.setNow(at(2124, 5, 2, 10, 0, 0));
    tick.onTimer();
    EXPECT_EQ(bar.dates.size(), 3u);
    clock.setNow(at(2024, 5, 3, 10, 0, 1));
    tick.onTimer();
    EXPECT_EQ(bar.dates.back(), "2024-05-03 星期五 ");
}

TEST_F(Tick, FrameIsWrittenWhateverThePortsState) {
    serial.sio_close(kPort);
    tick.onTimer();
    const auto calls = serial.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().text(), "sio_write 3 12");
    EXPECT_LT(calls.back().result, 0);
    EXPECT_EQ(bar.lamps.size(), 1u);  // the tick went on
}

TEST_F(Tick, SilenceCountStopsAtItsLimit) {
    status.SilentSeconds = INT32_MAX - 1;
    tick.onTimer();
    clock.advanceSeconds(1);
    tick.onTimer();
    EXPECT_EQ(status.SilentSeconds, INT32_MAX);
    EXPECT_TRUE(status.NoSignal);
}

// A bar that keeps nothing, so that counting allocations sees the tick alone.
class QuietBar final : public BarView {
public:
    int updates = 0;
    void setTimeText(const std::string&) override { ++updates; }
    void setDateText(const GbkText&) override {}
    void setLamp(Lamp) override {}
};

TEST(TickAllocation, NewSecondsOfTheSameDayAllocateNothing) {
    FakeClock clock(at(2024, 5, 1, 13, 7, 42, 305));
    QuietSerial serial;
    QuietBar bar;
    LineSettings line;
    StatusState status;
    status.StatusMessage = noSignalMessage();
    SecondTick tick(clock, serial, line, status, bar);
    tick.reset();
    status.JumpDetected = true;
    status.SilentSeconds = 2;
    tick.onTimer();  // date label and the longest message: the one-off costs

    testing::AllocationCount allocations;
    for (int event = 0; event < 2000; ++event) {  // 4 s of events, lamp yellow, green, red
        if (event == 500) status.JumpDetected = false;
        clock.advanceMs(2);
        tick.onTimer();
    }
    allocations.stop();

    EXPECT_EQ(allocations.count(), 0);
    EXPECT_EQ(serial.writeCount, 5);
    EXPECT_EQ(bar.updates, 5);
}

// --- The tick's timer: woken from the clock interface's reading, so a fake clock moves it.

constexpr int64_t kMarginNs = 20'000;  // the wake-up lands this far into the new second
constexpr int kPatienceMs = 5000;

bool readableWithin(const TickTimer& timer, int ms) {
    pollfd watched{timer.descriptor(), POLLIN, 0};
    return ::poll(&watched, 1, ms) == 1 && (watched.revents & POLLIN);
}

TEST(TickTimer, WakeUpIsTheRestOfTheReadingsSecond) {
    const struct {
        uint16_t ms, us;
        int64_t expectedNs;
    } table[] = {
        {305, 0, 695'000'000}, {999, 999, 1'000}, {0, 0, 1'000'000'000}, {0, 1, 999'999'000}};
    for (const auto& row : table) {
        PreciseTime reading;
        reading.local = at(2024, 5, 1, 13, 7, 42, row.ms);
        reading.microseconds = row.us;
        EXPECT_EQ(nsToNextSecond(reading), row.expectedNs + kMarginNs) << row.ms << "." << row.us;
    }
}

TEST(TickTimer, DueAtOnceWhenMadeThenArmedFromTheFakeClock) {
    FakeClock clock(at(2024, 5, 1, 13, 7, 42, 305));
    TickTimer timer(clock);
    ASSERT_TRUE(timer.ok());
    ASSERT_TRUE(readableWithin(timer, kPatienceMs)) << "the first tick must come at once";
    EXPECT_TRUE(timer.onReadable());
    EXPECT_FALSE(readableWithin(timer, 0));
    EXPECT_FALSE(timer.onReadable()) << "nothing fired: no tick";
    const int64_t left = timer.remainingNs();
    EXPECT_GT(left, 0);
    EXPECT_LE(left, 695'000'000 + kMarginNs);

    // The fake clock's reading alone decides: 10 ms before its next second.
    clock.setNow(at(2024, 5, 1, 13, 7, 42, 990));
    timer.armForNextSecond();
    EXPECT_LE(timer.remainingNs(), 10'000'000 + kMarginNs);
    ASSERT_TRUE(readableWithin(timer, kPatienceMs));
    EXPECT_TRUE(timer.onReadable());
    EXPECT_EQ(timer.stepsNoticed(), 0);
}

// A set by the program that moves the clock into another second is a new second at once, and
// the next wake-up follows the new clock.
TEST_F(Tick, ReArmedAfterASetTheNewSecondIsTickedAtOnce) {
    TickTimer timer(clock);
    ASSERT_TRUE(readableWithin(timer, kPatienceMs));
    ASSERT_TRUE(timer.onReadable());
    tick.onTimer();
    ASSERT_FALSE(readableWithin(timer, 0));  // 695 ms to go on the fake clock's reading

    ASSERT_EQ(clock.setInstant(*clock.instantOf(at(2024, 5, 1, 13, 8, 0, 900), 0)), 0);
    timer.rearmNow();
    ASSERT_TRUE(readableWithin(timer, kPatienceMs));
    ASSERT_TRUE(timer.onReadable());
    tick.onTimer();
    EXPECT_EQ(bar.times, (std::vector<std::string>{"13:07:42", "13:08:00"}));
    EXPECT_EQ(frames().size(), 2u);
    EXPECT_LE(timer.remainingNs(), 100'000'000 + kMarginNs) << "armed from the new reading";

    // A set within the same second: looked at once, nothing shown twice.
    ASSERT_EQ(clock.setInstant(*clock.instantOf(at(2024, 5, 1, 13, 8, 0, 950), 0)), 0);
    timer.rearmNow();
    ASSERT_TRUE(readableWithin(timer, kPatienceMs));
    ASSERT_TRUE(timer.onReadable());
    tick.onTimer();
    EXPECT_EQ(frames().size(), 2u);
}

// What /proc tells of one timerfd: its clock and the flags it was last armed with.
struct TimerInfo {
    int clockId = -1;
    int flags = -1;
};

std::vector<TimerInfo> timersWatchedBy(int epoll) {
    std::vector<TimerInfo> timers;
    std::ifstream set("/proc/self/fdinfo/" + std::to_string(epoll));
    for (std::string line; std::getline(set, line);) {
        std::istringstream words(line);
        std::string key;
        int descriptor = -1;
        if (!(words >> key >> descriptor) || key != "tfd:") continue;
        TimerInfo info;
        std::ifstream timer("/proc/self/fdinfo/" + std::to_string(descriptor));
        for (std::string field; std::getline(timer, field);) {
            if (field.rfind("clockid:", 0) == 0) info.clockId = std::stoi(field.substr(8));
            if (field.rfind("settime flags:", 0) == 0)
                info.flags = std::stoi(field.substr(14), nullptr, 8);
        }
        timers.push_back(info);
    }
    return timers;
}

// A step of the clock by anything else cancels the far-away wall-clock timer, which makes the
// descriptor readable. Setting the machine's clock to see it happen is out of bounds for a test;
// what is checked is that the notice is armed so that the kernel delivers it, and stays so
// after the ticks.
TEST(TickTimer, StepNoticeIsAWallClockTimerCancelledOnSet) {
    FakeClock clock(at(2024, 5, 1, 13, 7, 42, 999));
    TickTimer timer(clock);
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(readableWithin(timer, kPatienceMs));
        ASSERT_TRUE(timer.onReadable());
        const std::vector<TimerInfo> timers = timersWatchedBy(timer.descriptor());
        ASSERT_EQ(timers.size(), 2u);
        int wallClock = 0;
        for (const TimerInfo& info : timers) {
            if (info.clockId == CLOCK_REALTIME) {
                ++wallClock;
                EXPECT_EQ(info.flags, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET);
            } else {
                EXPECT_EQ(info.clockId, CLOCK_MONOTONIC);
                EXPECT_EQ(info.flags, 0) << "the wake-up is relative to the reading";
            }
        }
        EXPECT_EQ(wallClock, 1);
        clock.setNow(at(2024, 5, 1, 13, 7, 43, 999));
        timer.armForNextSecond();
    }
}

}  // namespace
}  // namespace zrq
