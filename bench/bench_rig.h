// What the measuring programs drive: byte streams of time code frames cut into chunks, the real
// received-data handler and tick wired to test doubles, and doubles whose own bookkeeping is kept
// out of the allocation count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/local_clock.h"
#include "base/message_boxes.h"
#include "serial/line_settings.h"
#include "store/clock_settings.h"
#include "store/event_log.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_library.h"
#include "tests/support/recording_boxes.h"
#include "timecode/frame_processor.h"
#include "timecode/frame_search.h"
#include "timecode/monitor_lines.h"
#include "timecode/second_tick.h"
#include "timecode/status_state.h"

namespace zrq::bench {

constexpr int kBenchPort = 1;
constexpr int kFullChunk = 255;  // the most one read delivers

// --- Byte streams ----------------------------------------------------------------------------

// The frame of `codeFormat` (1..3) naming `time`, as a device sends it.
std::vector<uint8_t> encodeFrame(int codeFormat, const LocalTimeRecord& time);

// `frameCount` frames one second apart from `first`, each followed by `noiseBytes` random bytes
// that are never 0xAA (so that the noise starts no candidate of its own).
std::vector<uint8_t> frameStream(int codeFormat, const LocalTimeRecord& first, int frameCount,
                                 int noiseBytes, uint32_t seed);

// How a stream is cut into reads.
enum class ChunkShape {
    Full,         // 255 bytes each: frames cut wherever the boundary falls
    OnePerFrame,  // one frame and its noise per read, as a device sending once a second gives
    Pieces,       // 7 bytes each: every frame split, at changing positions
};
const char* chunkShapeName(ChunkShape shape);

struct Chunk {
    int offset;
    int length;
};

// A stream with its cut. Only whole chunks are kept, so the stream can be played round and round.
struct ChunkPlan {
    std::vector<uint8_t> bytes;
    std::vector<Chunk> chunks;
    int64_t chunkBytes = 0;  // bytes in all chunks of one round

    const uint8_t* data(const Chunk& c) const { return bytes.data() + c.offset; }
};

// About `targetBytes` of stream of `codeFormat`, with `noiseBytes` after each frame, cut as
// `shape` says.
ChunkPlan makeChunkPlan(int codeFormat, int noiseBytes, ChunkShape shape, int targetBytes);

// --- Doubles ---------------------------------------------------------------------------------

// Always the same moment: a tick on it never sees a new second, so its cost is the tick's own.
class FixedClock final : public LocalClock {
public:
    explicit FixedClock(const LocalTimeRecord& time) : time_(time) {}
    LocalTimeRecord now() override { return time_; }

protected:
    int applyInstant(int64_t systemUs, std::optional<int64_t>) override {
        time_ = localTimeAt(systemUs);
        return 0;
    }

private:
    LocalTimeRecord time_;
};

// Forwards to a clock (the fake one, which records every set in a vector) without counting the
// allocations made inside it.
class UncountedClock final : public LocalClock {
public:
    explicit UncountedClock(LocalClock& inner) : inner_(inner) {}
    LocalTimeRecord now() override;
    PreciseTime nowPrecise() override;
    std::optional<int64_t> instantOf(const LocalTimeRecord& local, int64_t nearUs) override;
    LocalTimeRecord localTimeAt(int64_t systemUs) override;

protected:
    int applyInstant(int64_t systemUs, std::optional<int64_t> computedAt) override;

private:
    LocalClock& inner_;
};

// Forwards to a serial library (the fake one, which keeps every write) without counting the
// allocations made inside it.
class UncountedSerial final : public SerialLibrary {
public:
    explicit UncountedSerial(SerialLibrary& inner) : inner_(inner) {}
    int sio_open(int port) override;
    void sio_close(int port) override;
    void sio_flush(int port, int func) override;
    int sio_ioctl(int port, int baudCode, int mode) override;
    int sio_flowctrl(int port, int mask) override;
    int sio_DTR(int port, int level) override;
    int sio_RTS(int port, int level) override;
    long sio_getbaud(int port) override;
    void sio_SetWriteTimeouts(int port, int timeoutMs) override;
    int sio_read(int port, uint8_t* buffer, int length) override;
    int sio_write(int port, const uint8_t* bytes, int length) override;

private:
    SerialLibrary& inner_;
};

// Counts lines; with the monitor off there should be none.
class CountingMonitor final : public MonitorLines {
public:
    void appendLine(const GbkText&) override { ++lines; }
    long lines = 0;
};

// Counts what the tick shows, without keeping it.
class CountingBar final : public BarView {
public:
    void setTimeText(const std::string&) override { ++timeTexts; }
    void setDateText(const GbkText&) override { ++dateTexts; }
    void setLamp(Lamp lamp) override { lastLamp = lamp; }
    long timeTexts = 0;
    long dateTexts = 0;
    Lamp lastLamp = Lamp::Red;
};

// The moment the streams start at and the fake clock starts on: 2024-05-01 12:00:00.
LocalTimeRecord streamStart();

// The received-data handler as the main bar runs it: the real frame search and FrameProcessor on
// a fake clock and fake serial library (behind the uncounting wrappers), monitor and logs off,
// corrections every minute at second 31 regardless of jumps, so one frame in 60 sets the clock
// and writes an acknowledgement.
class HandlerRig {
public:
    // With `offsets` and `chrony` the processing also records its corrections and sends samples.
    explicit HandlerRig(int codeFormat, OffsetRecord* offsets = nullptr,
                        ChronySampleSender* chrony = nullptr);

    void handle(const uint8_t* chunk, int length) {
        handleReceivedChunk(ring, indices, chunk, length, settings.CodeFormat, processor);
    }
    // Empties the fakes' records (outside the count); their vectors grow with every write.
    void dropRecords();

    FakeClock fakeClock;
    FakeSerialLibrary fakeSerial;
    UncountedClock clock{fakeClock};
    UncountedSerial serial{fakeSerial};
    LineSettings line;
    ClockSettings settings;
    StatusState status;
    CountingMonitor monitor;
    RecordingMessageBoxes boxes;
    EventLog log;
    FrameProcessor processor;
    RingStorage ring{};
    RingIndices indices{};
};

// Frames the search accepts in one round of `plan`, found by a sink that only counts.
int64_t acceptedFramesPerRound(int codeFormat, const ChunkPlan& plan);

}  // namespace zrq::bench
