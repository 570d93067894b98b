// Frame streams, chunk plans and the handler rig shared by the benchmarks and the allocation
// check.
#include "bench/bench_rig.h"

#include <random>

#include "bench/allocation_counter.h"
#include "timecode/time_code_format.h"

namespace zrq::bench {
namespace {

constexpr uint8_t kSync = 0xAA;
constexpr uint8_t kStEnd = 0x03;
constexpr int kPieceLength = 7;  // shares no factor with 9, 12 or 13: splits move along frames
constexpr int kMsPerSecond = 1000;
// Logs are off in every rig; should one be written anyway, it goes nowhere and shows up as a box.
constexpr const char* kNoLogDirectory = "/nonexistent/zrq-bench-logs";

uint8_t bcd(unsigned value) { return static_cast<uint8_t>((value / 10) * 16 + value % 10); }

// Finds frames like the handler but only counts them.
class CountingSink final : public FrameSink {
public:
    void beginChunk() override {}
    void frameDump(const RingStorage&, uint16_t, int) override {}
    void processFrame(const DecodedTimeCode&, uint16_t) override { ++frames; }
    int64_t frames = 0;
};

}  // namespace

std::vector<uint8_t> encodeFrame(int codeFormat, const LocalTimeRecord& t) {
    const auto yy = static_cast<uint8_t>(t.year % 100);
    const auto weekday = static_cast<uint8_t>(t.dayOfWeek);
    switch (codeFormat) {
        case TVZ_CODE:  // AA 00 yy mm dd wd hh nn ss, BCD
            return {kSync,   0x00,        bcd(yy),       bcd(t.month), bcd(t.day),
                    weekday, bcd(t.hour), bcd(t.minute), bcd(t.second)};
        case EB_CODE:  // AA AA AA ss nn hh wd dd mm yy 00 00 00, plain values
            return {kSync,
                    kSync,
                    kSync,
                    static_cast<uint8_t>(t.second),
                    static_cast<uint8_t>(t.minute),
                    static_cast<uint8_t>(t.hour),
                    weekday,
                    static_cast<uint8_t>(t.day),
                    static_cast<uint8_t>(t.month),
                    yy,
                    0x00,
                    0x00,
                    0x00};
        case ST_CODE:  // AA 00 00 cc yy mm dd wd hh nn ss 03, BCD
            return {kSync,       0x00,          0x00,          bcd(t.year / 100u),
                    bcd(yy),     bcd(t.month),  bcd(t.day),    weekday,
                    bcd(t.hour), bcd(t.minute), bcd(t.second), kStEnd};
        default:
            return {};
    }
}

std::vector<uint8_t> frameStream(int codeFormat, const LocalTimeRecord& first, int frameCount,
                                 int noiseBytes, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> byte(0, 0xFE);
    std::vector<uint8_t> stream;
    for (int i = 0; i < frameCount; ++i) {
        const auto time = addMilliseconds(first, int64_t{i} * kMsPerSecond);
        const std::vector<uint8_t> frame = encodeFrame(codeFormat, time.value_or(first));
        stream.insert(stream.end(), frame.begin(), frame.end());
        for (int n = 0; n < noiseBytes; ++n) {
            const int value = byte(random);
            stream.push_back(static_cast<uint8_t>(value == kSync ? 0xFF : value));
        }
    }
    return stream;
}

const char* chunkShapeName(ChunkShape shape) {
    switch (shape) {
        case ChunkShape::Full:
            return "full255";
        case ChunkShape::OnePerFrame:
            return "oneframe";
        case ChunkShape::Pieces:
            return "pieces7";
    }
    return "?";
}

ChunkPlan makeChunkPlan(int codeFormat, int noiseBytes, ChunkShape shape, int targetBytes) {
    const int unit = static_cast<int>(encodeFrame(codeFormat, streamStart()).size()) + noiseBytes;
    const int frames = std::max(1, targetBytes / unit);
    ChunkPlan plan;
    plan.bytes = frameStream(codeFormat, streamStart(), frames, noiseBytes, 1);
    const int total = static_cast<int>(plan.bytes.size());
    const int step = shape == ChunkShape::Full     ? kFullChunk
                     : shape == ChunkShape::Pieces ? kPieceLength
                                                   : std::min(unit, kFullChunk);
    for (int offset = 0; offset + step <= total; offset += step) {
        plan.chunks.push_back({offset, step});
        plan.chunkBytes += step;
    }
    return plan;
}

LocalTimeRecord streamStart() { return {2024, 5, 3, 1, 12, 0, 0, 0}; }

LocalTimeRecord UncountedClock::now() {
    UncountedScope scope;
    return inner_.now();
}
PreciseTime UncountedClock::nowPrecise() {
    UncountedScope scope;
    return inner_.nowPrecise();
}
std::optional<int64_t> UncountedClock::instantOf(const LocalTimeRecord& local, int64_t nearUs) {
    UncountedScope scope;
    return inner_.instantOf(local, nearUs);
}
LocalTimeRecord UncountedClock::localTimeAt(int64_t systemUs) {
    UncountedScope scope;
    return inner_.localTimeAt(systemUs);
}
int UncountedClock::applyInstant(int64_t systemUs, std::optional<int64_t> computedAt) {
    UncountedScope scope;
    return computedAt ? inner_.setInstant(systemUs, {{}, 0, 0, *computedAt})
                      : inner_.setInstant(systemUs);
}

int UncountedSerial::sio_open(int port) {
    UncountedScope scope;
    return inner_.sio_open(port);
}
void UncountedSerial::sio_close(int port) {
    UncountedScope scope;
    inner_.sio_close(port);
}
void UncountedSerial::sio_flush(int port, int func) {
    UncountedScope scope;
    inner_.sio_flush(port, func);
}
int UncountedSerial::sio_ioctl(int port, int baudCode, int mode) {
    UncountedScope scope;
    return inner_.sio_ioctl(port, baudCode, mode);
}
int UncountedSerial::sio_flowctrl(int port, int mask) {
    UncountedScope scope;
    return inner_.sio_flowctrl(port, mask);
}
int UncountedSerial::sio_DTR(int port, int level) {
    UncountedScope scope;
    return inner_.sio_DTR(port, level);
}
int UncountedSerial::sio_RTS(int port, int level) {
    UncountedScope scope;
    return inner_.sio_RTS(port, level);
}
long UncountedSerial::sio_getbaud(int port) {
    UncountedScope scope;
    return inner_.sio_getbaud(port);
}
void UncountedSerial::sio_SetWriteTimeouts(int port, int timeoutMs) {
    UncountedScope scope;
    inner_.sio_SetWriteTimeouts(port, timeoutMs);
}
int UncountedSerial::sio_read(int port, uint8_t* buffer, int length) {
    UncountedScope scope;
    return inner_.sio_read(port, buffer, length);
}
int UncountedSerial::sio_write(int port, const uint8_t* bytes, int length) {
    UncountedScope scope;
    return inner_.sio_write(port, bytes, length);
}

HandlerRig::HandlerRig(int codeFormat, OffsetRecord* offsets, ChronySampleSender* chrony)
    : fakeClock(streamStart()),
      log(clock, boxes, kNoLogDirectory),
      processor(FrameProcessorContext{clock, serial, line, settings, status, monitor, log, offsets,
                                      chrony}) {
    line.Port = kBenchPort;
    fakeSerial.sio_open(kBenchPort);
    settings.CodeFormat = static_cast<uint8_t>(codeFormat);
    settings.CorrectionMode = CorrectionMode::EveryMinute;
    settings.CorrectionSecond = 31;
    settings.FineTuneMs = 135;
    settings.JumpThresholdSec = 3;
    settings.JumpNoCorrect = 0;  // the clock stands still, so every frame is a "jump"
    status.MonitorActive = false;
    status.CommLogEnabled = false;
    status.JumpLogEnabled = false;
}

void HandlerRig::dropRecords() {
    UncountedScope scope;
    fakeSerial.clearWrites(kBenchPort);
    fakeSerial.clearCalls();
}

int64_t acceptedFramesPerRound(int codeFormat, const ChunkPlan& plan) {
    RingStorage ring{};
    RingIndices indices{};
    CountingSink sink;
    for (const Chunk& c : plan.chunks) {
        handleReceivedChunk(ring, indices, plan.data(c), c.length, codeFormat, sink);
    }
    return sink.frames;
}

}  // namespace zrq::bench
