// The clock engine as a shell drives it: start-up, a frame handed off from the receiver thread, a
// correction on request, a port switch, the port retried after a failed open, a line that hangs
// up and comes back, and shutdown.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/timerfd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "store/config_file.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_library.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/temp_dir.h"
#include "timecode/clock_core.h"

namespace zrq {
namespace {

using Kind = RecordingMessageBoxes::Kind;
using testing::TempDir;

constexpr int kPort = 1;  // the port of the default settings
// A TVZ_CODE frame of 2024-05-01 12:00:<second>, the fake clock's start day.
std::vector<uint8_t> frameAt(uint8_t bcdSecond) {
    return {0xAA, 0x00, 0x24, 0x05, 0x01, 0x03, 0x12, 0x00, bcdSecond};
}

// What the shell hears, on the test's thread.
struct Events final : CoreObserver {
    void timeShown(const std::string& ascii) override { times.push_back(ascii); }
    void lampChanged(Lamp lamp) override { lamps.push_back(lamp); }
    void startMarks() override { ++marked; }
    void portOpened(int port) override { opened.push_back(port); }
    void notice(const std::string& utf8) override { notices.push_back(utf8); }
    void monitorLine(const GbkText& line) override { monitorLines.push_back(line.toUtf8()); }
    void frameAccepted(const DecodedTimeCode& code) override {
        frameSeconds.push_back(code.second);
    }
    void correctionAttempted(const CorrectionAttempt& attempt) override {
        attempts.push_back(attempt.refusal ? attempt.refusal : "set");
    }

    std::vector<std::string> times;
    std::vector<Lamp> lamps;
    int marked = 0;
    std::vector<int> opened;
    std::vector<std::string> notices;
    std::vector<std::string> monitorLines;
    std::vector<int> frameSeconds;
    std::vector<std::string> attempts;
};

// The menu's port entries as the switches mark them.
struct PortMarks final : SwitchMarks {
    void setPortItemChecked(int tag, bool checked) override {
        if (checked) checkedPort = tag;
    }
    int checkedPort = 0;
};

// The engine with the fakes, and a hand-off as the service makes it: the receiver thread posts
// the chunk and waits; the test's thread, playing the shell's loop, serves it.
class Engine : public ::testing::Test {
protected:
    explicit Engine(bool retryClosedPort = false)
        : core(CoreContext{.clock = clock,
                           .serial = serial,
                           .boxes = boxes,
                           .workDir = dir.path(),
                           .postHandOff = [this](const ReceivedChunk& chunk) { post(chunk); },
                           .runPostedCalls = [this] { serve(); },
                           .marks = &marks,
                           .retryClosedPort = retryClosedPort},
               events) {}

    void post(const ReceivedChunk& chunk) {
        pending.store(&chunk);
        handled.acquire();
    }
    void serve() {
        const ReceivedChunk* chunk = pending.exchange(nullptr);
        if (!chunk) return;
        core.handleReceivedData(*chunk);
        handled.release();
    }
    // Serves hand-offs until `count` chunks were handled; false after 5 s.
    bool serveUntilHandled(long count) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (core.chunksHandled() < count) {
            if (std::chrono::steady_clock::now() > end) return false;
            serve();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Waits up to 5 s for the retry timer to fire; true when it did.
    bool retryFired() const {
        pollfd watched{core.retryDescriptor(), POLLIN, 0};
        return poll(&watched, 1, 5000) == 1;
    }
    // Seconds between retries; 0 when the retry timer is not armed.
    long retryInterval() const {
        itimerspec spec{};
        timerfd_gettime(core.retryDescriptor(), &spec);
        return spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0 ? 0
                                                                       : spec.it_interval.tv_sec;
    }

    FakeClock clock;
    FakeSerialLibrary serial;
    RecordingMessageBoxes boxes;
    TempDir dir;
    Events events;
    PortMarks marks;
    std::atomic<const ReceivedChunk*> pending{nullptr};
    std::binary_semaphore handled{0};
    ClockCore core;
};

TEST_F(Engine, StartsUpWithThePortOpenAndTheReceiverRunning) {
    ASSERT_TRUE(core.start());
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(events.times, std::vector<std::string>{"12:00:00"});
    EXPECT_EQ(events.marked, 1);
    EXPECT_EQ(events.opened, std::vector<int>{kPort});
    EXPECT_TRUE(core.portOpen());
    EXPECT_TRUE(core.receiver().running());
    EXPECT_FALSE(core.receiver().receiverStop());
    // Forced at every start: red until the first good frame, jump log on, nothing observed.
    EXPECT_EQ(core.status().SilentSeconds, 50);
    EXPECT_TRUE(core.status().JumpLogEnabled);
    EXPECT_FALSE(core.status().MonitorActive);

    // The first tick: the PC time frame goes out and the lamp is red, said once.
    core.tick();
    core.tick();
    EXPECT_EQ(serial.writes(kPort).size(), size_t{1});
    EXPECT_EQ(events.lamps, std::vector<Lamp>{Lamp::Red});
}

TEST_F(Engine, HandedOffFrameIsProcessedAndACorrectionOnRequestSetsTheClock) {
    ASSERT_TRUE(core.start());
    serial.queueRead(kPort, frameAt(0x00));
    ASSERT_TRUE(serveUntilHandled(1));
    EXPECT_EQ(events.frameSeconds, std::vector<int>{0});
    EXPECT_EQ(core.status().SilentSeconds, 0);
    EXPECT_TRUE(events.attempts.empty());

    // The device is 2 s ahead; "correct now" sets the clock at the next frame and acknowledges.
    core.correctNow();
    serial.clearWrites(kPort);
    serial.queueRead(kPort, frameAt(0x02));
    ASSERT_TRUE(serveUntilHandled(2));
    ASSERT_EQ(clock.sets().size(), size_t{1});
    EXPECT_EQ(clock.sets().back().second, 2);
    EXPECT_EQ(events.attempts, std::vector<std::string>{"set"});
    EXPECT_FALSE(core.status().CorrectNowRequested);
    EXPECT_EQ(serial.written(kPort), (std::vector<uint8_t>{0x55, 0xAA}));

    // The next second's tick turns the lamp green.
    clock.advanceSeconds(1);
    core.tick();
    ASSERT_FALSE(events.lamps.empty());
    EXPECT_EQ(events.lamps.back(), Lamp::Green);
}

TEST_F(Engine, PortSwitchMovesReceptionMarksTheMenuAndSaves) {
    ASSERT_TRUE(core.start());
    core.switchPort(2);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(core.line().Port.load(), 2);
    EXPECT_TRUE(serial.isOpen(2));
    EXPECT_FALSE(serial.isOpen(kPort));
    EXPECT_EQ(marks.checkedPort, 2);
    const LoadResult stored = loadSettings(dir.path() + "/" + kConfigFileName, StoredSettings{});
    EXPECT_EQ(stored.settings.port, 2);

    serial.queueRead(2, frameAt(0x00));
    ASSERT_TRUE(serveUntilHandled(1));
    EXPECT_EQ(events.frameSeconds, std::vector<int>{0});
}

TEST_F(Engine, StopEndsReceptionForGoodAndHandlesNothingMore) {
    ASSERT_TRUE(core.start());
    core.stop();
    core.stop();
    EXPECT_FALSE(core.receiver().running());
    const std::vector<uint8_t> late = frameAt(0x00);
    RingStorage unused{};
    core.handleReceivedData(ReceivedChunk{late, unused, std::nullopt});
    EXPECT_TRUE(events.frameSeconds.empty());
    EXPECT_EQ(core.chunksHandled(), 0);
}

class RetryingEngine : public Engine {
protected:
    RetryingEngine() : Engine(true) {}
};

// The service's port: a failed open is said once, tried again every 5 s, and reception starts
// when it opens. Without the retry the failure is followed by PortSet, as the bar does.
TEST_F(RetryingEngine, FailedPortIsSaidOnceAndOpenedByALaterRetry) {
    serial.queueResults(SerialCall::Open, kPort,
                        {FakeSerialLibrary::kPortBusy, FakeSerialLibrary::kPortBusy});
    ASSERT_TRUE(core.start());
    ASSERT_EQ(boxes.shown.size(), size_t{1});
    EXPECT_EQ(boxes.shown[0].kind, Kind::Error);
    EXPECT_FALSE(core.portOpen());
    EXPECT_TRUE(events.opened.empty());
    ASSERT_GE(core.retryDescriptor(), 0);

    core.onRetryReadable();  // still busy: nothing said again
    EXPECT_EQ(boxes.shown.size(), size_t{1});
    EXPECT_FALSE(core.portOpen());

    core.onRetryReadable();
    EXPECT_TRUE(core.portOpen());
    EXPECT_EQ(events.opened, std::vector<int>{kPort});
    // Beside the box, the device's reason, said once too.
    ASSERT_EQ(events.notices.size(), size_t{1});
    EXPECT_EQ(events.notices[0], serial.openFailureText(kPort, FakeSerialLibrary::kPortBusy));
    EXPECT_FALSE(core.receiver().receiverStop());
    serial.queueRead(kPort, frameAt(0x00));
    ASSERT_TRUE(serveUntilHandled(1));
}

TEST_F(Engine, FailedPortWithoutRetryIsFollowedByPortSetAndStaysClosed) {
    serial.queueResults(SerialCall::Open, kPort, {FakeSerialLibrary::kPortBusy});
    ASSERT_TRUE(core.start());
    ASSERT_EQ(boxes.shown.size(), size_t{2});  // the open's box, then PortSet's own
    EXPECT_EQ(boxes.shown[0].kind, Kind::Error);
    EXPECT_FALSE(core.portOpen());
    EXPECT_EQ(retryInterval(), 0);
}

// What nobody can use is said at start and on a reload; the reload keeps the running value for
// it, so it is never saved back, and takes the rest.
TEST_F(Engine, UnknownStoredValuesAreSaidAndAReloadKeepsTheRunningOnes) {
    const std::string path = dir.path() + "/" + kConfigFileName;
    ASSERT_TRUE(core.start());
    EXPECT_TRUE(events.notices.empty());
    StoredSettings stored = defaultSettings();
    stored.port = 2;
    stored.clock.CodeFormat = 9;
    savecfg(path, stored);
    const uint8_t runningFormat = core.settings().CodeFormat;

    EXPECT_TRUE(core.reloadSettingsFile());
    ASSERT_EQ(events.notices.size(), size_t{1});
    EXPECT_NE(events.notices[0].find(kConfigFileName), std::string::npos) << events.notices[0];
    EXPECT_EQ(core.line().Port.load(), 2);
    EXPECT_EQ(core.settings().CodeFormat, runningFormat);
    const LoadResult saved = loadSettings(path, StoredSettings{});
    EXPECT_EQ(saved.settings.port, 2);
    EXPECT_EQ(saved.settings.clock.CodeFormat, runningFormat);
}

TEST(EngineStart, SettingsFileShorterThanOneRecordIsSaid) {
    TempDir dir;
    FakeClock clock;
    FakeSerialLibrary serial;
    RecordingMessageBoxes boxes;
    Events events;
    std::FILE* file = std::fopen((dir.path() + "/" + kConfigFileName).c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("abc", file);
    std::fclose(file);
    ClockCore core(CoreContext{.clock = clock,
                               .serial = serial,
                               .boxes = boxes,
                               .workDir = dir.path(),
                               .postHandOff = [](const ReceivedChunk&) {},
                               .runPostedCalls = [] {}},
                   events);
    ASSERT_TRUE(core.start());
    core.stop();
    ASSERT_FALSE(events.notices.empty());
    EXPECT_NE(events.notices[0].find("shorter than one record"), std::string::npos)
        << events.notices[0];
}

// The bar and the service alike: the hung-up line is closed at once and tried every 5 s without
// a box; one notice (and, while observing, one monitor line) each way; frames flow again.
TEST_F(Engine, LostLineIsClosedRetriedQuietlyAndTakenUpAgain) {
    const std::string lost = "COM1: 连接中断，每 5 秒重试";
    const std::string back = "COM1: 连接已恢复";
    ASSERT_TRUE(core.start());
    core.observe(true);
    serial.queueResults(SerialCall::Open, kPort, {FakeSerialLibrary::kPortBusy});
    serial.hangUp(kPort);
    ASSERT_TRUE(retryFired());
    core.onRetryReadable();
    EXPECT_FALSE(core.portOpen());
    EXPECT_TRUE(core.lineAway());
    EXPECT_TRUE(core.receiver().receiverStop());
    EXPECT_EQ(events.notices, std::vector<std::string>{lost});
    EXPECT_EQ(events.monitorLines, std::vector<std::string>{lost});
    EXPECT_EQ(retryInterval(), 5);

    core.onRetryReadable();  // still away
    EXPECT_FALSE(core.portOpen());
    EXPECT_EQ(events.notices.size(), size_t{1});

    core.onRetryReadable();
    EXPECT_TRUE(core.portOpen());
    EXPECT_FALSE(core.lineAway());
    EXPECT_EQ(events.notices, (std::vector<std::string>{lost, back}));
    EXPECT_EQ(events.monitorLines, (std::vector<std::string>{lost, back}));
    EXPECT_EQ(events.opened, std::vector<int>{kPort});  // said once, as the line coming back
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(retryInterval(), 0);
    EXPECT_FALSE(core.receiver().receiverStop());
    serial.queueRead(kPort, frameAt(0x00));
    ASSERT_TRUE(serveUntilHandled(1));
}

// A switch replaces the lost line: the retry stops; a loss told before the switch is not taken
// for the new port.
TEST_F(Engine, SwitchDuringTheLossReplacesTheLostLine) {
    ASSERT_TRUE(core.start());
    serial.hangUp(kPort);
    ASSERT_TRUE(retryFired());
    core.onRetryReadable();
    ASSERT_TRUE(core.lineAway());
    core.switchRate(kBaudCode9600);
    EXPECT_TRUE(core.portOpen());
    EXPECT_FALSE(core.lineAway());
    EXPECT_EQ(retryInterval(), 0);

    serial.hangUp(kPort);
    ASSERT_TRUE(retryFired());
    core.switchPort(2);  // before the loss is taken
    core.onRetryReadable();
    EXPECT_TRUE(serial.isOpen(2));
    EXPECT_FALSE(core.lineAway());
    EXPECT_EQ(events.notices.size(), size_t{1});
    EXPECT_TRUE(boxes.shown.empty());
    serial.queueRead(2, frameAt(0x00));
    ASSERT_TRUE(serveUntilHandled(1));
}

}  // namespace
}  // namespace zrq
