// clockdev seen from the program's side of the pseudo-terminal: the frames on the wire, what it
// reports about the bytes written to it, its pieces and noise, its peer handling and its end.
#include <gtest/gtest.h>

#include <pty.h>
#include <termios.h>

#include <filesystem>
#include <sstream>

#include "tests/support/bytes.h"
#include "tests/tools/clockdev_process.h"

namespace zrq::testing {
namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;
// 2024-05-01 12:00:30.500 in the zone CST-8 (UTC+8), a Wednesday.
constexpr int64_t kHalfPastThirty = 1714536030LL * kNsPerSecond + 500'000'000;
const std::string kZone = "TZ=CST-8";
constexpr int kFrameWaitMs = 4000;

// A device started on a fake clock that reads `fakeNowNs` at the start, in the zone CST-8
// unless another (TZ=...) is given.
struct Device {
    Device(const std::vector<std::string>& args, int64_t fakeNowNs = kHalfPastThirty,
           const std::string& zone = kZone)
        : link(dir.file("COM1")), clockFile(dir.file("clock")) {
        writeClockOffset(clockFile, offsetForNow(fakeNowNs));
        std::vector<std::string> all{"--link", link, "--clock-file", clockFile};
        all.insert(all.end(), args.begin(), args.end());
        process = std::make_unique<ClockdevProcess>(all, std::vector<std::string>{zone});
    }
    int open() { return process->openSlave(link); }

    TempDir dir;
    std::string link;
    std::string clockFile;
    std::unique_ptr<ClockdevProcess> process;
};

int decodeSecond(uint8_t byte, bool inBcd) { return inBcd ? (byte >> 4) * 10 + (byte & 15) : byte; }
uint8_t encodeSecond(int second, bool inBcd) {
    return inBcd ? bcd(second) : static_cast<uint8_t>(second);
}

// Expected frame bytes; "SS" stands for the second, which depends on when the frame was sent.
struct FrameCase {
    const char* legend;
    std::vector<std::string> args;
    const char* expected;
    bool bcdSecond;
};

class FramesOnTheWire : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FramesOnTheWire, MatchTheFormatByteForByte) {
    const FrameCase& c = GetParam();
    std::istringstream tokens(c.expected);
    std::vector<std::string> expected;
    for (std::string token; tokens >> token;) expected.push_back(token);
    const size_t secondAt = std::find(expected.begin(), expected.end(), "SS") - expected.begin();
    ASSERT_LT(secondAt, expected.size());

    Device device(c.args);
    ASSERT_TRUE(device.process->started());
    const int fd = device.open();
    ASSERT_GE(fd, 0);
    const std::vector<uint8_t> wire = readBytes(fd, expected.size(), kFrameWaitMs);
    ASSERT_EQ(wire.size(), expected.size()) << hexText(wire);

    // The first frame names 12:00:31, or a little later if the machine is slow.
    const int second = decodeSecond(wire[secondAt], c.bcdSecond);
    EXPECT_GE(second, 31);
    EXPECT_LE(second, 35);
    std::vector<uint8_t> want;
    for (const std::string& token : expected) {
        want.push_back(token == "SS" ? encodeSecond(second, c.bcdSecond)
                                     : static_cast<uint8_t>(std::stoi(token, nullptr, 16)));
    }
    EXPECT_EQ(hexText(wire), hexText(want));

    const auto sent = device.process->waitFor("sent", 1000);
    ASSERT_TRUE(sent);
    EXPECT_EQ(fieldOf(*sent, "bytes"), hexText(wire));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FramesOnTheWire,
    ::testing::Values(
        FrameCase{"tvz", {}, "AA 00 24 05 01 03 12 00 SS", true},
        FrameCase{"eb", {"--format", "EB_CODE"}, "AA AA AA SS 00 0C 03 01 05 18 00 00 00", false},
        FrameCase{"st", {"--format", "ST_CODE"}, "AA 00 00 20 24 05 01 03 12 00 SS 03", true},
        FrameCase{"tvz_no_date", {"--no-date"}, "AA 00 00 00 00 03 12 00 SS", true},
        FrameCase{"eb_no_date",
                  {"--format", "EB_CODE", "--no-date"},
                  "AA AA AA SS 00 0C 03 00 00 00 00 00 00",
                  false},
        FrameCase{"st_no_date",
                  {"--format", "ST_CODE", "--no-date"},
                  "AA 00 00 00 00 00 00 03 12 00 SS 03",
                  true},
        FrameCase{"offset_hour", {"--offset", "3600"}, "AA 00 24 05 01 03 13 00 SS", true},
        FrameCase{"offset_back_a_day", {"--offset", "-86400"}, "AA 00 24 04 30 02 12 00 SS", true},
        FrameCase{"raw_fields",
                  {"--field", "hour=0x25", "--field", "b5=255", "--field", "minute=0x0A"},
                  "AA 00 24 05 01 FF 25 0A SS",
                  true},
        FrameCase{"st_century_zero",
                  {"--format", "ST_CODE", "--field", "century=0"},
                  "AA 00 00 00 24 05 01 03 12 00 SS 03",
                  true},
        FrameCase{"eb_sync_overridden",
                  {"--format", "EB_CODE", "--field", "0=0x55", "--field", "year=200"},
                  "55 AA AA SS 00 0C 03 01 05 C8 00 00 00",
                  false}),
    [](const auto& info) { return std::string(info.param.legend); });

// Milliseconds into the second of the fake clock that reads `offsetNs` ahead of the real one.
int msIntoSecond(int64_t offsetNs) {
    const int64_t fake = realtimeNs() + offsetNs;
    return static_cast<int>((fake % kNsPerSecond) / 1'000'000);
}

TEST(FrameTiming, OneFramePerSecondAtTheDelayAfterTheSecondStarts) {
    const int64_t offset = offsetForNow(kHalfPastThirty);
    TempDir dir;
    const std::string clockFile = dir.file("clock");
    writeClockOffset(clockFile, offset);
    ClockdevProcess device(
        {"--link", dir.file("COM1"), "--clock-file", clockFile, "--delay-ms", "300"}, {kZone});
    ASSERT_TRUE(device.started());
    const int fd = device.openSlave(dir.file("COM1"));
    std::vector<int> seconds;
    for (int frame = 0; frame < 3; ++frame) {
        const std::vector<uint8_t> wire = readBytes(fd, 9, kFrameWaitMs);
        ASSERT_EQ(wire.size(), 9u);
        const int arrivedAt = msIntoSecond(offset);
        EXPECT_GE(arrivedAt, 300) << "frame " << frame;
        EXPECT_LT(arrivedAt, 800) << "frame " << frame;
        seconds.push_back(decodeSecond(wire[8], true));
    }
    EXPECT_EQ(seconds[1], seconds[0] + 1);
    EXPECT_EQ(seconds[2], seconds[1] + 1);
    const auto sent = device.waitFor("sent", 1000);
    ASSERT_TRUE(sent);
    EXPECT_GE(eventTimeMs(*sent) % 1000, 300);
    EXPECT_EQ(fieldOf(*sent, "date"), "2024-05-01");
    EXPECT_EQ(fieldOf(*sent, "fmt"), "TVZ_CODE");
}

TEST(FrameTiming, FollowsAChangedClockFile) {
    Device device({});
    ASSERT_TRUE(device.process->started());
    const int fd = device.open();
    ASSERT_EQ(readBytes(fd, 9, kFrameWaitMs).size(), 9u);
    // Another process moves the shared fake clock on by one hour.
    writeClockOffset(device.clockFile, offsetForNow(kHalfPastThirty + 3600 * kNsPerSecond));
    const std::vector<uint8_t> later = readBytes(fd, 9, kFrameWaitMs);
    ASSERT_EQ(later.size(), 9u);
    EXPECT_EQ(later[6], 0x13) << hexText(later);
}

TEST(SplitFrames, ArriveInThePiecesAsked) {
    Device device({"--split", "2,5", "--split-gap-ms", "80"});
    ASSERT_TRUE(device.process->started());
    const int fd = device.open();
    const std::vector<Chunk> chunks = readChunks(fd, 9, kFrameWaitMs);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(hexText(chunks[0].bytes), "AA 00");
    EXPECT_EQ(hexText(chunks[1].bytes), "24 05 01");
    EXPECT_EQ(chunks[2].bytes.size(), 4u);
    EXPECT_EQ(chunks[2].bytes[0], 0x03);
    EXPECT_GE(chunks[1].atMs - chunks[0].atMs, 50);
    EXPECT_GE(chunks[2].atMs - chunks[1].atMs, 50);
    const auto sent = device.process->waitFor("sent", 1000);
    ASSERT_TRUE(sent);
    EXPECT_EQ(fieldOf(*sent, "pieces"), "3");
}

// The noise a device with `seed` puts after its first frame, as seen on the wire.
std::vector<uint8_t> firstNoise(const std::string& seed, std::string& reported) {
    Device device({"--noise", "6", "--seed", seed});
    if (!device.process->started()) return {};
    const int fd = device.open();
    const std::vector<uint8_t> frame = readBytes(fd, 9, kFrameWaitMs);
    const std::vector<uint8_t> noise = readBytes(fd, 6, 1500);
    const auto line = device.process->waitFor("noise", 1000);
    reported = line ? fieldOf(*line, "bytes") : "";
    return frame.size() == 9 ? noise : std::vector<uint8_t>{};
}

TEST(Noise, ComesBetweenFramesNeverHoldsTheSyncByteAndRepeatsPerSeed) {
    std::string reported;
    const std::vector<uint8_t> noise = firstNoise("7", reported);
    ASSERT_EQ(noise.size(), 6u);
    EXPECT_EQ(reported, hexText(noise));
    for (uint8_t byte : noise) EXPECT_NE(byte, 0xAA);

    std::string again;
    EXPECT_EQ(hexText(firstNoise("7", again)), hexText(noise));
    std::string other;
    EXPECT_NE(hexText(firstNoise("8", other)), hexText(noise));
}

// What clockdev reports, without the fields that depend on the moment of the run.
std::string withoutTimes(std::string line) {
    for (const char* key : {" t=", " skew_ms="}) {
        const size_t at = line.find(key);
        if (at != std::string::npos) line.erase(at, line.find(' ', at + 1) - at);
    }
    return line;
}

struct IncomingCase {
    const char* legend;
    std::vector<std::string> writes;  // hex, written one after another with a short pause
    std::vector<std::string> expected;
};

const IncomingCase kIncoming[] = {
    {"pc time frame",
     {"AA AA 00 24 05 01 13 07 42 03 05 A3"},
     {"pctime date=2024-05-01 time=13:07:42.305 valid=yes "
      "bytes=AA AA 00 24 05 01 13 07 42 03 05 A3"}},
    {"largest milliseconds, year 2000",
     {"AA AA 00 00 01 01 00 00 00 09 99 A3"},
     {"pctime date=2000-01-01 time=00:00:00.999 valid=yes "
      "bytes=AA AA 00 00 01 01 00 00 00 09 99 A3"}},
    {"fields out of range",
     {"AA AA 00 24 13 01 25 07 42 0A 05 A3"},
     {"pctime date=2024-13-01 time=25:07:42.1005 valid=no "
      "bytes=AA AA 00 24 13 01 25 07 42 0A 05 A3"}},
    {"nibble above nine",
     {"AA AA 00 24 05 01 13 1F 42 03 05 A3"},
     {"pctime date=2024-05-01 time=13:25:42.305 valid=no "
      "bytes=AA AA 00 24 05 01 13 1F 42 03 05 A3"}},
    {"acknowledgement", {"55 AA"}, {"ack bytes=55 AA"}},
    {"frame split over three writes",
     {"AA", "AA 00 24 05", "01 13 07 42 03 05 A3"},
     {"pctime date=2024-05-01 time=13:07:42.305 valid=yes "
      "bytes=AA AA 00 24 05 01 13 07 42 03 05 A3"}},
    {"acknowledgement split", {"55", "AA"}, {"ack bytes=55 AA"}},
    {"junk, frame and acknowledgement in one write",
     {"01 02 AA AA 00 24 05 01 13 07 42 03 05 A3 55 AA"},
     {"unknown bytes=01 02",
      "pctime date=2024-05-01 time=13:07:42.305 valid=yes "
      "bytes=AA AA 00 24 05 01 13 07 42 03 05 A3",
      "ack bytes=55 AA"}},
    {"wrong end byte",
     {"AA AA 00 24 05 01 13 07 42 03 05 A4"},
     {"unknown bytes=AA AA 00 24 05 01 13 07 42 03 05 A4"}},
    {"frame that never completes", {"AA AA 00 24"}, {"unknown bytes=AA AA 00 24"}},
    {"two acknowledgements back to back", {"55 AA 55 AA"}, {"ack bytes=55 AA", "ack bytes=55 AA"}},
};

TEST(Incoming, EachEventIsReportedOnItsOwnLine) {
    TempDir dir;
    ClockdevProcess device({"--link", dir.file("COM1"), "--listen-only"});
    ASSERT_TRUE(device.started());
    const int fd = device.openSlave(dir.file("COM1"));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(device.waitFor("open", 2000));
    for (const IncomingCase& c : kIncoming) {
        SCOPED_TRACE(c.legend);
        for (const std::string& hex : c.writes) {
            const std::vector<uint8_t> bytes = hexBytes(hex);
            ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        for (const std::string& want : c.expected) {
            const auto line = device.nextLine(2000);
            ASSERT_TRUE(line) << "missing: " << want;
            EXPECT_EQ(withoutTimes(*line), want);
        }
    }
}

// The PC time frame for the local time `unixMs` in a zone `zoneHours` east of UTC.
std::vector<uint8_t> pcTimeFrame(int64_t unixMs, int zoneHours) {
    const time_t local = static_cast<time_t>(unixMs / 1000 + zoneHours * 3600);
    std::tm t{};
    gmtime_r(&local, &t);
    const int ms = static_cast<int>(unixMs % 1000);
    return {0xAA,
            0xAA,
            0x00,
            bcd(t.tm_year % 100),
            bcd(t.tm_mon + 1),
            bcd(t.tm_mday),
            bcd(t.tm_hour),
            bcd(t.tm_min),
            bcd(t.tm_sec),
            static_cast<uint8_t>(ms / 100),
            bcd(ms % 100),
            0xA3};
}

// In Berlin, 2026-10-25 02:30:30 local happens at 00:30:30 UTC (summer time) and again at
// 01:30:30 UTC: the skew is taken against the pass the device's clock is in.
TEST(Incoming, SkewComparesTheFramesLocalTimeWithItsArrival) {
    constexpr int64_t kBerlinFirstPass = 1792888230LL * kNsPerSecond;  // 2026-10-25 00:30:30 UTC
    const struct {
        const char* zone;
        int64_t fakeNowNs;
        int zoneHours;
    } cases[] = {
        {"TZ=CST-8", kHalfPastThirty, 8},
        {"TZ=Europe/Berlin", kBerlinFirstPass, 2},
        {"TZ=Europe/Berlin", kBerlinFirstPass + 3600 * kNsPerSecond, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.zone << " UTC+" << c.zoneHours);
        Device device({"--listen-only"}, c.fakeNowNs, c.zone);
        ASSERT_TRUE(device.process->started());
        const int fd = device.open();
        const int64_t fakeMs = (realtimeNs() + offsetForNow(c.fakeNowNs)) / 1'000'000;
        const int64_t aheadMs = 5000;
        const std::vector<uint8_t> frame = pcTimeFrame(fakeMs + aheadMs, c.zoneHours);
        ASSERT_EQ(write(fd, frame.data(), frame.size()), 12);
        const auto line = device.process->waitFor("pctime", 2000);
        ASSERT_TRUE(line);
        EXPECT_EQ(fieldOf(*line, "valid"), "yes");
        const int64_t skew = std::stoll(fieldOf(*line, "skew_ms"));
        EXPECT_GT(skew, aheadMs - 1000);
        EXPECT_LT(skew, aheadMs + 1000);
        EXPECT_LT(std::llabs(eventTimeMs(*line) - fakeMs), 1000);
    }
}

TEST(Peer, ClosingAndReopeningKeepsTheTerminalAndSendsNothingStale) {
    Device device({});
    ASSERT_TRUE(device.process->started());
    int fd = device.open();
    ASSERT_TRUE(device.process->waitFor("open", 2000));
    ASSERT_EQ(readBytes(fd, 9, kFrameWaitMs).size(), 9u);
    device.process->closeSlave(fd);
    ASSERT_TRUE(device.process->waitFor("hangup", 2000));

    // Frames fall due while nobody listens; none of them may be waiting after the reopen.
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    fd = device.open();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(device.process->waitFor("open", 2000));
    const std::vector<uint8_t> frame = readBytes(fd, 9, kFrameWaitMs);
    ASSERT_EQ(frame.size(), 9u);
    EXPECT_TRUE(readBytes(fd, 1, 100).empty()) << "more than one frame was waiting";

    const std::vector<uint8_t> ack{0x55, 0xAA};
    ASSERT_EQ(write(fd, ack.data(), ack.size()), 2);
    EXPECT_TRUE(device.process->waitFor("ack", 2000));
}

TEST(SerialPortMode, SendsOnAGivenTerminalDevice) {
    // A pseudo-terminal pair stands in for a serial port: clockdev opens the slave as a device.
    int master = -1;
    int slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    ClockdevProcess device({"--device", name, "--format", "ST_CODE", "--baud", "9600"});
    ASSERT_TRUE(device.started());
    EXPECT_EQ(fieldOf(device.readyLine(), "port"), name);
    EXPECT_EQ(fieldOf(device.readyLine(), "link"), "-");
    fcntl(master, F_SETFL, O_NONBLOCK);
    const std::vector<uint8_t> frame = readBytes(master, 12, kFrameWaitMs);
    ASSERT_EQ(frame.size(), 12u);
    EXPECT_EQ(frame[0], 0xAA);
    EXPECT_EQ(frame[11], 0x03);
    termios settings{};
    ASSERT_EQ(tcgetattr(slave, &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_FALSE(settings.c_lflag & (ICANON | ECHO));
    close(master);
    close(slave);
}

TEST(Ending, CountStopsAfterThatManyFramesAndRemovesTheLink) {
    Device device({"--count", "2"});
    ASSERT_TRUE(device.process->started());
    const int fd = device.open();
    ASSERT_EQ(readBytes(fd, 18, 2 * kFrameWaitMs).size(), 18u);
    const auto end = device.process->waitFor("end", 3000);
    ASSERT_TRUE(end);
    EXPECT_EQ(fieldOf(*end, "reason"), "count");
    EXPECT_EQ(fieldOf(*end, "frames"), "2");
    EXPECT_EQ(device.process->waitExit(2000), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(device.link));
}

TEST(Ending, TerminationSignalEndsCleanly) {
    Device device({"--listen-only"});
    ASSERT_TRUE(device.process->started());
    ASSERT_TRUE(std::filesystem::is_symlink(device.link));
    EXPECT_EQ(device.process->terminate(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(device.link));
}

TEST(Ending, DurationEndsEvenWithoutAPeer) {
    Device device({"--duration", "0.3"});
    ASSERT_TRUE(device.process->started());
    const auto end = device.process->waitFor("end", 3000);
    ASSERT_TRUE(end);
    EXPECT_EQ(fieldOf(*end, "reason"), "duration");
    EXPECT_EQ(fieldOf(*end, "frames"), "0");
    EXPECT_EQ(device.process->waitExit(2000), 0);
}

TEST(Link, ReplacesAStaleLinkButNeverAnotherFile) {
    TempDir dir;
    const std::string link = dir.file("COM1");
    ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
    {
        ClockdevProcess device({"--link", link, "--listen-only"});
        ASSERT_TRUE(device.started());
        EXPECT_EQ(std::filesystem::read_symlink(link).string(),
                  fieldOf(device.readyLine(), "port"));
    }
    const std::string regular = dir.file("COM2");
    FILE* file = std::fopen(regular.c_str(), "w");
    std::fputs("keep", file);
    std::fclose(file);
    ClockdevProcess refused({"--link", regular, "--listen-only"});
    EXPECT_FALSE(refused.started());
    EXPECT_EQ(refused.waitExit(2000), 1);
    EXPECT_EQ(std::filesystem::file_size(regular), 4u);
}

TEST(CommandLine, RejectsBadOptionsWithStatusTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {"--format", "IRIG"},
        {"--field", "century=1"},  // TVZ_CODE has no century byte
        {"--field", "hour=256"},
        {"--field", "b9=1"},  // past the end of a 9-byte frame
        {"--field", "hour"},
        {"--split", "5,3"},
        {"--split", "9"},
        {"--baud", "1200"},
        {"--delay-ms", "1000"},
        {"--noise", "-1"},
        {"--link", "/tmp/a", "--device", "/dev/null"},
        {"--duration", "soon"},
        {"stray"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        ClockdevProcess device(args);
        EXPECT_FALSE(device.started());
        EXPECT_EQ(device.waitExit(2000), 2);
    }
}

}  // namespace
}  // namespace zrq::testing
