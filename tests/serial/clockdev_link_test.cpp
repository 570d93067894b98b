// The serial backend and the receiver against the simulated device on a real pseudo-terminal:
// the device's frames, however they are split or padded with noise, come out of the frame
// search decoded, and what the program writes reaches the device byte for byte.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "serial/receiver.h"
#include "serial/termios_serial.h"
#include "tests/tools/clockdev_process.h"
#include "timecode/frame_search.h"

namespace zrq {
namespace {

using testing::ClockdevProcess;
using testing::TempDir;

constexpr int kPort = 1;
// 2024-05-01 12:00:30.500 UTC: the device's first frame names 12:00:31.
constexpr int64_t kHalfPastThirty = 1714564830LL * 1'000'000'000 + 500'000'000;
constexpr int kFramesWanted = 2;
constexpr auto kFrameTimeout = std::chrono::seconds(6);
// A search that reports the same frame again and again must not fill the memory.
constexpr size_t kMaxRecorded = 100;

// Collects what the frame search reports, from the receiver's thread.
class RecordingSink final : public FrameSink {
public:
    void beginChunk() override {}
    void frameDump(const RingStorage&, uint16_t, int) override {}
    void processFrame(const DecodedTimeCode& code, uint16_t) override {
        std::lock_guard lock(mutex);
        if (frames.size() < kMaxRecorded) frames.push_back(code);
        arrived.notify_all();
    }
    bool waitForFrames(size_t count) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, kFrameTimeout, [&] { return frames.size() >= count; });
    }
    std::vector<DecodedTimeCode> framesSoFar() {
        std::lock_guard lock(mutex);
        return frames;
    }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<DecodedTimeCode> frames;
};

// The device on COM1 of a temporary working directory, the backend that opens it, and a
// receiver whose hand-off runs the frame search at once (there is no user-interface thread).
class DeviceLink : public ::testing::Test {
protected:
    void start(int codeFormat, const std::vector<std::string>& deviceArgs) {
        const std::string clockFile = dir.file("clock");
        testing::writeClockOffset(clockFile, testing::offsetForNow(kHalfPastThirty));
        std::vector<std::string> args{"--link", dir.file("COM1"), "--clock-file", clockFile};
        args.insert(args.end(), deviceArgs.begin(), deviceArgs.end());
        device = std::make_unique<ClockdevProcess>(args);
        ASSERT_TRUE(device->started());
        serial = std::make_unique<TermiosSerial>(PortMapPlaces{dir.path()});
        ASSERT_EQ(serial->sio_open(kPort), 0);
        ASSERT_EQ(serial->sio_ioctl(kPort, kBaudCode4800, kLineMode8N1), 0);
        receiver = std::make_unique<Tcomm>(
            *serial, clock, port, [this, codeFormat](const ReceivedChunk& chunk) {
                handleReceivedChunk(chunk.ring, indices, chunk.bytes.data(),
                                    static_cast<int>(chunk.bytes.size()), codeFormat, sink);
            });
        receiver->start();
    }
    void TearDown() override {
        if (receiver) {
            receiver->requestTermination();
            receiver->join();
        }
        if (serial) serial->sio_close(kPort);
    }

    // Two consecutive frames of 2024-05-01 from 12:00:31 on (later if the machine is slow).
    void expectConsecutiveFramesOfMayDay(const std::vector<DecodedTimeCode>& frames) {
        ASSERT_GE(frames.size(), 2u);
        for (const DecodedTimeCode& code : frames) {
            EXPECT_EQ(code.year, 2024);
            EXPECT_EQ(code.month, 5);
            EXPECT_EQ(code.day, 1);
            EXPECT_EQ(code.hour, 12);
            EXPECT_EQ(code.minute, 0);
            EXPECT_GE(code.second, 31);
            EXPECT_LE(code.second, 38);
        }
        EXPECT_EQ(frames[1].second, frames[0].second + 1);
    }

    TempDir dir;
    std::unique_ptr<ClockdevProcess> device;
    std::unique_ptr<TermiosSerial> serial;
    SystemClock clock;  // read only, for the receiver's arrival stamps
    std::atomic<int32_t> port{kPort};
    RingIndices indices;
    RecordingSink sink;
    std::unique_ptr<Tcomm> receiver;
};

struct LinkCase {
    const char* legend;
    int codeFormat;
    std::vector<std::string> deviceArgs;
};

class FramesThroughTheLine : public DeviceLink, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(FramesThroughTheLine, AreFoundAndDecoded) {
    start(GetParam().codeFormat, GetParam().deviceArgs);
    ASSERT_TRUE(sink.waitForFrames(kFramesWanted))
        << "frames decoded: " << sink.framesSoFar().size();
    expectConsecutiveFramesOfMayDay(sink.framesSoFar());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FramesThroughTheLine,
    ::testing::Values(
        LinkCase{"tvz", TVZ_CODE, {"--format", "TVZ_CODE"}},
        LinkCase{"eb", EB_CODE, {"--format", "EB_CODE"}},
        LinkCase{"st", ST_CODE, {"--format", "ST_CODE"}},
        LinkCase{"tvz_split", TVZ_CODE, {"--format", "TVZ_CODE", "--split", "1,4,8"}},
        LinkCase{"eb_split", EB_CODE, {"--format", "EB_CODE", "--split", "2,3,12"}},
        LinkCase{"st_split", ST_CODE, {"--format", "ST_CODE", "--split", "1,11"}},
        LinkCase{"tvz_noise", TVZ_CODE, {"--format", "TVZ_CODE", "--noise", "40", "--seed", "3"}},
        LinkCase{"eb_noise", EB_CODE, {"--format", "EB_CODE", "--noise", "40", "--seed", "4"}},
        LinkCase{"st_noise", ST_CODE, {"--format", "ST_CODE", "--noise", "40", "--seed", "5"}}),
    [](const auto& info) { return std::string(info.param.legend); });

TEST_F(DeviceLink, AbsentDateArrivesAsZeroFields) {
    start(TVZ_CODE, {"--no-date"});
    ASSERT_TRUE(sink.waitForFrames(1));
    const DecodedTimeCode code = sink.framesSoFar()[0];
    EXPECT_EQ(code.year, 0);
    EXPECT_EQ(code.month, 0);
    EXPECT_EQ(code.day, 0);
    EXPECT_EQ(code.hour, 12);
}

TEST_F(DeviceLink, WhatTheProgramWritesReachesTheDevice) {
    start(TVZ_CODE, {"--listen-only"});
    ASSERT_TRUE(device->waitFor("open", 2000));
    const uint8_t pcTime[] = {0xAA, 0xAA, 0x00, 0x24, 0x05, 0x01,
                              0x13, 0x07, 0x42, 0x03, 0x05, 0xA3};
    const uint8_t ack[] = {0x55, 0xAA};
    EXPECT_EQ(serial->sio_write(kPort, pcTime, sizeof pcTime), 12);
    EXPECT_EQ(serial->sio_write(kPort, ack, sizeof ack), 2);
    const auto frame = device->waitFor("pctime", 2000);
    ASSERT_TRUE(frame);
    EXPECT_EQ(testing::fieldOf(*frame, "date"), "2024-05-01");
    EXPECT_EQ(testing::fieldOf(*frame, "time"), "13:07:42.305");
    EXPECT_TRUE(device->waitFor("ack", 2000));
    serial->sio_close(kPort);
    EXPECT_TRUE(device->waitFor("hangup", 2000));
}

}  // namespace
}  // namespace zrq
