// Tests of the termios serial backend over real pseudo-terminals reached through COMn links.
#include "serial/termios_serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "serial/terminal_devices.h"
#include "tests/serial/pty_fixture.h"

namespace zrq {
namespace {

using namespace std::chrono_literals;
using testing::everyByteValue;
using testing::Pty;
using testing::TempDir;

constexpr int kPort = 5;

class TermiosSerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_symlink(pty.slaveName(), dir / "COM5");
        ASSERT_EQ(serial.sio_open(kPort), 0);
    }

    // Reads through the backend until `count` bytes came, recording the largest single read.
    std::vector<uint8_t> readBytes(size_t count, int length = kMaxChunk) {
        std::vector<uint8_t> got;
        uint8_t buffer[1024];
        const auto deadline = std::chrono::steady_clock::now() + Pty::kPatience;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            const int n = serial.sio_read(kPort, buffer, length);
            largestRead = std::max(largestRead, n);
            if (n > 0)
                got.insert(got.end(), buffer, buffer + n);
            else
                std::this_thread::sleep_for(2ms);
        }
        return got;
    }

    struct termios lineSettings() const {
        struct termios settings {};
        ::tcgetattr(pty.slave(), &settings);
        return settings;
    }

    TempDir dir;
    Pty pty;
    TermiosSerial serial{
        PortMapPlaces{dir.path(), dir / "dev", dir / "sys", dir / "sysdev", dir / "consoles"}};
    int largestRead = 0;
};

TEST_F(TermiosSerialTest, BytesPassBothWaysAtTheDeviceRates) {
    const std::vector<uint8_t> frame = {0xAA, 0xAA, 0x00, 0x24, 0x05, 0x01,
                                        0x13, 0x07, 0x42, 0x03, 0x05, 0xA3};
    for (const int code : {kBaudCode4800, kBaudCode9600}) {
        SCOPED_TRACE(code);
        ASSERT_EQ(serial.sio_ioctl(kPort, code, kLineMode8N1), 0);
        EXPECT_EQ(serial.sio_getbaud(kPort), kBaudRates[code]);
        EXPECT_EQ(serial.sio_write(kPort, frame.data(), int(frame.size())), int(frame.size()));
        EXPECT_EQ(pty.receive(frame.size()), frame);
        pty.send({0xAA, 0x00, 0x24, 0x05, 0x01, 0x03, 0x12, 0x00, 0x31});
        EXPECT_EQ(readBytes(9),
                  (std::vector<uint8_t>{0xAA, 0x00, 0x24, 0x05, 0x01, 0x03, 0x12, 0x00, 0x31}));
    }
}

TEST_F(TermiosSerialTest, EveryByteValuePassesUnchangedBothWays) {
    const std::vector<uint8_t> all = everyByteValue();
    ASSERT_EQ(serial.sio_ioctl(kPort, kBaudCode9600, kLineMode8N1), 0);
    serial.sio_SetWriteTimeouts(kPort, 1000);
    EXPECT_EQ(serial.sio_write(kPort, all.data(), int(all.size())), 256);
    EXPECT_EQ(pty.receive(all.size()), all);
    pty.send(all);
    EXPECT_EQ(readBytes(all.size()), all);
}

TEST_F(TermiosSerialTest, OneReadReturnsAtMost255BytesAndAtMostTheLengthAsked) {
    pty.send(std::vector<uint8_t>(600, 0x5A));
    ASSERT_TRUE(pty.waitQueued(600));
    uint8_t buffer[1024];
    EXPECT_EQ(serial.sio_read(kPort, buffer, 1000), kMaxChunk);
    EXPECT_EQ(serial.sio_read(kPort, buffer, 10), 10);
    EXPECT_EQ(readBytes(600 - kMaxChunk - 10, 1000).size(), size_t(600 - kMaxChunk - 10));
    EXPECT_LE(largestRead, kMaxChunk);
    EXPECT_EQ(serial.sio_read(kPort, buffer, kMaxChunk), 0) << "nothing left: 0, not negative";
}

TEST_F(TermiosSerialTest, OpenPutsTheLineIntoRawNonBlockingMode) {
    const struct termios settings = lineSettings();
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    uint8_t buffer[16];
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(serial.sio_read(kPort, buffer, 16), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << "an empty read must not block";
}

TEST_F(TermiosSerialTest, EveryRateCodeAppliesAndReadsBack) {
    for (int code = 0; code < 20; ++code) {
        SCOPED_TRACE(kBaudRates[code]);
        ASSERT_EQ(serial.sio_ioctl(kPort, code, kLineMode8N1), 0);
        EXPECT_EQ(serial.sio_getbaud(kPort), kBaudRates[code]);
    }
    const struct termios settings = lineSettings();
    EXPECT_EQ(settings.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB), 0u);
}

TEST_F(TermiosSerialTest, RefusesRateCodesAndModesItCannotApply) {
    ASSERT_EQ(serial.sio_ioctl(kPort, kBaudCode4800, kLineMode8N1), 0);
    const std::pair<int, int> refused[] = {{20, 3}, {-1, 3}, {12, 3 | 4}, {12, 3 | 8}, {12, 64}};
    for (const auto& [code, mode] : refused) {
        SCOPED_TRACE(::testing::Message() << "code " << code << " mode " << mode);
        const int result = serial.sio_ioctl(kPort, code, mode);
        EXPECT_NE(result & 0xFF, 0) << "callers test only the low 8 bits";
    }
    EXPECT_EQ(serial.sio_getbaud(kPort), 4800) << "a refused call leaves the line as it was";
    // Fewer data bits are taken (a pseudo-terminal forces 8 bits, so only the result shows).
    EXPECT_EQ(serial.sio_ioctl(kPort, kBaudCode9600, 2), 0);
}

TEST_F(TermiosSerialTest, FlowControlMasksMapToRtsCtsAndXonXoff) {
    ASSERT_EQ(serial.sio_flowctrl(kPort, kFlowHardware), 0);
    EXPECT_NE(lineSettings().c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(lineSettings().c_iflag & (IXON | IXOFF), 0u);
    ASSERT_EQ(serial.sio_flowctrl(kPort, kFlowSoftware), 0);
    EXPECT_EQ(lineSettings().c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(lineSettings().c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    ASSERT_EQ(serial.sio_flowctrl(kPort, 0), 0);
    EXPECT_EQ(lineSettings().c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(lineSettings().c_iflag & (IXON | IXOFF), 0u);
    EXPECT_NE(serial.sio_flowctrl(kPort, 16), 0);
}

TEST_F(TermiosSerialTest, ModemLinesOnAPseudoTerminalAreAcceptedAsNoOp) {
    for (const int level : {0, 1}) {
        EXPECT_EQ(serial.sio_DTR(kPort, level), 0);
        EXPECT_EQ(serial.sio_RTS(kPort, level), 0);
    }
}

TEST_F(TermiosSerialTest, FlushDiscardsWhatArrivedAndWasNotRead) {
    pty.send({1, 2, 3, 4});
    ASSERT_TRUE(pty.waitQueued(4));
    serial.sio_flush(kPort, TermiosSerial::kFlushInput);
    uint8_t buffer[8];
    EXPECT_EQ(serial.sio_read(kPort, buffer, 8), 0);
}

TEST_F(TermiosSerialTest, ReaderAndWriterThreadsWorkAtOnce) {
    constexpr size_t kFrames = 400;
    constexpr size_t kFrameBytes = 12;
    serial.sio_SetWriteTimeouts(kPort, 2000);
    std::vector<uint8_t> inbound(kFrames * kFrameBytes), outbound(kFrames * kFrameBytes);
    for (size_t i = 0; i < inbound.size(); ++i) {
        inbound[i] = uint8_t(i * 7);
        outbound[i] = uint8_t(i * 13 + 1);
    }
    std::vector<uint8_t> readBack;
    std::thread reader([&] { readBack = readBytes(inbound.size()); });
    std::atomic<size_t> accepted{0};
    std::thread writer([&] {
        for (size_t frame = 0; frame < kFrames; ++frame)
            accepted +=
                size_t(serial.sio_write(kPort, &outbound[frame * kFrameBytes], kFrameBytes));
    });
    std::thread device([&] { pty.send(inbound); });
    const std::vector<uint8_t> atDevice = pty.receive(outbound.size());
    device.join();
    writer.join();
    reader.join();
    EXPECT_EQ(accepted.load(), outbound.size());
    EXPECT_EQ(atDevice, outbound);
    EXPECT_EQ(readBack, inbound);
}

TEST_F(TermiosSerialTest, WriteGivesUpAfterTheTimeOutWhenNothingIsRead) {
    constexpr int kTimeoutMs = 200;
    serial.sio_SetWriteTimeouts(kPort, kTimeoutMs);
    const std::vector<uint8_t> flood(4 << 20, 0x55);  // far more than a pty buffers
    auto before = std::chrono::steady_clock::now();
    const int written = serial.sio_write(kPort, flood.data(), int(flood.size()));
    auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GT(written, 0);
    EXPECT_LT(written, int(flood.size()));
    EXPECT_GE(took, std::chrono::milliseconds(kTimeoutMs - 20));
    EXPECT_LT(took, std::chrono::milliseconds(kTimeoutMs) + 3s);

    // Full now: a further frame waits for the time-out, writes nothing, and returns.
    before = std::chrono::steady_clock::now();
    EXPECT_EQ(serial.sio_write(kPort, flood.data(), 12), 0);
    took = std::chrono::steady_clock::now() - before;
    EXPECT_GE(took, std::chrono::milliseconds(kTimeoutMs - 20));
    EXPECT_LT(took, std::chrono::milliseconds(kTimeoutMs) + 3s);

    serial.sio_SetWriteTimeouts(kPort, 0);
    before = std::chrono::steady_clock::now();
    EXPECT_EQ(serial.sio_write(kPort, flood.data(), 12), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "time-out 0: no waiting";
}

TEST_F(TermiosSerialTest, AHeldPortDoesNotOpenAgain) {
    std::filesystem::create_symlink(pty.slaveName(), dir / "COM6");
    TermiosSerial other{PortMapPlaces{dir.path(), dir / "dev", dir / "sys"}};
    EXPECT_NE(other.sio_open(kPort) & 0xFF, 0) << "another holder, even for root";
    EXPECT_NE(other.sio_open(6) & 0xFF, 0) << "the same device under another name";
    EXPECT_NE(serial.sio_open(6) & 0xFF, 0) << "a second open from the same library";
    EXPECT_NE(serial.sio_open(kPort) & 0xFF, 0) << "the port already open here";

    const std::vector<uint8_t> ack = {0x55, 0xAA};
    EXPECT_EQ(serial.sio_write(kPort, ack.data(), 2), 2) << "the failed opens left it working";
    EXPECT_EQ(pty.receive(2), ack);

    serial.sio_close(kPort);
    EXPECT_EQ(other.sio_open(6), 0) << "closing gives the port free";
}

TEST_F(TermiosSerialTest, CallsOnAPortThatIsNotOpenHaveNoEffect) {
    serial.sio_close(kPort);
    pty.send({1, 2, 3});
    ASSERT_TRUE(pty.waitQueued(3));
    const uint8_t frame[2] = {0x55, 0xAA};
    for (const int port : {kPort, 1, 0, 255, 256, -1, 100000}) {
        SCOPED_TRACE(port);
        uint8_t buffer[8];
        EXPECT_LT(serial.sio_read(port, buffer, 8), 0);
        EXPECT_LT(serial.sio_write(port, frame, 2), 0);
        EXPECT_NE(serial.sio_ioctl(port, kBaudCode9600, kLineMode8N1), 0);
        EXPECT_NE(serial.sio_flowctrl(port, 0), 0);
        EXPECT_NE(serial.sio_DTR(port, 1), 0);
        EXPECT_NE(serial.sio_RTS(port, 1), 0);
        EXPECT_LE(serial.sio_getbaud(port), 0);
        serial.sio_SetWriteTimeouts(port, 10);
        serial.sio_flush(port, TermiosSerial::kFlushBoth);
        serial.sio_close(port);
    }
    EXPECT_TRUE(pty.receive(1, 100ms).empty()) << "nothing reached the device";
    EXPECT_TRUE(pty.waitQueued(3, 0ms)) << "nothing was read or flushed from the line";
}

TEST_F(TermiosSerialTest, APortWithoutATerminalBehindItDoesNotOpen) {
    std::filesystem::create_directories(dir / "dev");
    {
        std::FILE* file = std::fopen((dir / "COM7").c_str(), "w");
        std::fclose(file);
    }
    std::filesystem::create_directory(dir / "COM8");
    std::filesystem::create_symlink(dir / "missing", dir / "COM9");
    std::filesystem::create_symlink("/dev/null", dir / "COM10");
    for (const int port : {7, 8, 9, 10, 2, 129, 300}) {
        SCOPED_TRACE(port);
        EXPECT_NE(serial.sio_open(port) & 0xFF, 0);
        uint8_t buffer[4];
        EXPECT_LT(serial.sio_read(port, buffer, 4), 0);
    }
}

TEST_F(TermiosSerialTest, TheSystemConsoleFailsLikeAPortThatCannotOpenAndIsNeverOpened) {
    Pty console;
    std::filesystem::create_directories(dir / "dev");
    std::filesystem::create_symlink(console.slaveName(), dir / "dev/ttyS0");  // port 1
    std::filesystem::create_symlink(console.slaveName(), dir / "COM11");
    testing::writeConsoles(dir / "consoles", {&console});
    testing::OpenWatch watch;
    watch.watch(console.slaveName());
    for (const int port : {1, 11}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(serial.sio_open(port), EBUSY);
        uint8_t buffer[4];
        EXPECT_LT(serial.sio_read(port, buffer, 4), 0);
    }
    EXPECT_EQ(watch.opens(), 0);
    const uint8_t byte = 0x42;
    EXPECT_LT(serial.sio_write(1, &byte, 1), 0);
    EXPECT_TRUE(console.receive(1, 100ms).empty()) << "nothing reached the console";

    testing::writeConsoles(dir / "consoles", {});  // no longer the console: it opens
    EXPECT_EQ(serial.sio_open(11), 0);
    EXPECT_EQ(watch.opens(), 1);
}

// Nothing there reads as 0; a closed far end as a hang-up, for good, and writes still return.
TEST_F(TermiosSerialTest, AClosedFarEndIsAHangUpNotSilence) {
    uint8_t buffer[16];
    EXPECT_EQ(serial.sio_read(kPort, buffer, 16), 0);
    pty.closeMaster();
    EXPECT_EQ(serial.sio_read(kPort, buffer, 16), kReadHungUp);
    EXPECT_EQ(serial.sio_read(kPort, buffer, 16), kReadHungUp);
    serial.sio_SetWriteTimeouts(kPort, 100);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_GE(serial.sio_write(kPort, buffer, 12), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
}

// The program end as the master of a pseudo-terminal: once its slave has been opened and closed,
// reads fail with EIO, which is a hang-up too.
TEST_F(TermiosSerialTest, AReadFailingWithEioIsAHangUp) {
    std::filesystem::create_symlink("/dev/ptmx", dir / "COM6");
    ASSERT_EQ(serial.sio_open(6), 0);
    const int master = serial.inputDescriptor(6);
    ASSERT_EQ(::unlockpt(master), 0);
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    uint8_t buffer[16];
    EXPECT_EQ(serial.sio_read(6, buffer, 16), 0);
    ::close(slave);
    errno = 0;
    EXPECT_EQ(::read(master, buffer, 16), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(serial.sio_read(6, buffer, 16), kReadHungUp);
}

// The journal's line for a port that did not open names the device, its link's target and the
// system's reason.
TEST_F(TermiosSerialTest, OpenFailuresNameTheDeviceAndTheReason) {
    EXPECT_EQ(serial.sio_open(kPort), EBUSY);
    const std::string busy = serial.openFailureText(kPort, EBUSY);
    EXPECT_NE(busy.find("COM5 (" + (dir / "COM5") + " -> " + pty.slaveName() + "): "),
              std::string::npos)
        << busy;
    EXPECT_NE(busy.find("another program holds it"), std::string::npos) << busy;
    const std::string denied = serial.openFailureText(kPort, EACCES);
    EXPECT_NE(denied.find("Permission denied"), std::string::npos) << denied;
    EXPECT_EQ(serial.openFailureText(200, ENOENT).rfind("COM200: no device", 0), 0u);
    std::filesystem::create_symlink(dir / "gone", dir / "COM7");
    EXPECT_EQ(serial.sio_open(7), ENOENT);
    EXPECT_EQ(serial.openFailureText(7, ENOENT),
              "COM7 (" + (dir / "COM7") + " -> " + (dir / "gone") + "): No such file or directory");
}

// sysfs as ftdi_sio shows it: the attribute on the tty's device, reached through the COMn link.
TEST_F(TermiosSerialTest, TheAdapterLatencyTimerIsReadFromSysfs) {
    const std::filesystem::path device = std::filesystem::path(dir / "sys") /
                                         std::filesystem::path(pty.slaveName()).filename() /
                                         "device";
    EXPECT_EQ(adapterLatencyTimerMs(kPort, serial.places()), std::nullopt);
    std::filesystem::create_directories(device);
    std::ofstream(device / "latency_timer") << "16\n";
    EXPECT_EQ(adapterLatencyTimerMs(kPort, serial.places()), 16);
    std::ofstream(device / "latency_timer") << "garbage\n";
    EXPECT_EQ(adapterLatencyTimerMs(kPort, serial.places()), std::nullopt);
    EXPECT_EQ(adapterLatencyTimerMs(9, serial.places()), std::nullopt) << "no device";
}

TEST_F(TermiosSerialTest, ATablePortOpensThroughTheDeviceRoot) {
    std::filesystem::create_directories(dir / "dev");
    Pty usb;
    std::filesystem::create_symlink(usb.slaveName(), dir / "dev/ttyUSB1");
    ASSERT_EQ(serial.sio_open(34), 0);
    const uint8_t byte = 0x42;
    EXPECT_EQ(serial.sio_write(34, &byte, 1), 1);
    EXPECT_EQ(usb.receive(1), std::vector<uint8_t>{0x42});
}

}  // namespace
}  // namespace zrq
