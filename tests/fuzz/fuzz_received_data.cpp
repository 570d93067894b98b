// Fuzzes the received-data handler with any format number, ring state, settings and bytes split
// into any chunks. The frame search is checked against a plain model of the search; then the same
// chunks go through the real frame processing (fake clock, fake port, recorded boxes and monitor,
// logs in a scratch directory) so that every path from a received byte to a correction is run.
//
// Input layout: a header of kHeaderSize bytes (missing bytes count as zero), then chunks, each a
// length byte (1 + value % 255), a delay byte (the clock runs on by 10 ms per unit before the
// chunk arrives) and that many data bytes (fewer when the input ends).
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/message_boxes.h"
#include "serial/line_settings.h"
#include "store/clock_settings.h"
#include "store/event_log.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_library.h"
#include "tests/support/recording_boxes.h"
#include "timecode/frame_processor.h"
#include "timecode/frame_search.h"
#include "timecode/monitor_lines.h"
#include "timecode/status_state.h"

namespace {

using zrq::fuzz::check;

// Header offsets.
enum HeaderByte : std::size_t {
    kFormat = 0,         // CodeFormat, any byte value
    kWriteIndex = 1,     // 2 bytes LE, modulo 1000
    kReadIndex = 3,      // 2 bytes LE, modulo 1000
    kStatusFlags = 5,    // one bit per StatusState flag, see applyStatus; bit 6 refuses sets
    kSilentSeconds = 6,  // signed
    kMode = 7,           // CorrectionMode
    kSecond = 8,         // CorrectionSecond
    kMinute = 9,         // CorrectionMinute
    kFineTune = 10,      // 2 bytes LE, any value a file may hold
    kPointCount = 12,    // modulo 25: the load never gives more than 24
    kJumpNoCorrect = 13,
    kThreshold = 14,     // JumpThresholdSec
    kStartDay = 15,      // 2 bytes LE: days after 2000-01-01, modulo 36500
    kStartMs = 17,       // 4 bytes LE: milliseconds of the day, modulo 86 400 000
    kPort = 21,          // LineSettings.Port; bit 7 leaves the port closed
    kPointSpacing = 22,  // seconds between consecutive daily points
    kRingFill = 23,      // the byte the storage holds before the first chunk
    kHeaderSize = 24,
};

constexpr int kMsPerDelayUnit = 10;
constexpr int kMsPerDay = 86'400'000;
constexpr int kSecondsPerDay = 86'400;
constexpr int kStartDayRange = 36'500;
constexpr uint8_t kRefuseSetsBit = 1 << 6;
constexpr uint8_t kPortClosedBit = 1 << 7;

struct Header {
    std::array<uint8_t, kHeaderSize> bytes{};
    uint8_t at(std::size_t i) const { return bytes[i]; }
    uint16_t u16(std::size_t i) const { return static_cast<uint16_t>(at(i) | at(i + 1) << 8); }
    uint32_t u32(std::size_t i) const { return u16(i) | static_cast<uint32_t>(u16(i + 2)) << 16; }
};

struct Chunk {
    const uint8_t* bytes;
    int length;
    int delayMs;
};

// At most this many chunks per input: enough to wrap the ring several times.
constexpr int kMaxChunks = 64;

struct Input {
    Header header;
    std::array<Chunk, kMaxChunks> chunks{};
    int chunkCount = 0;
};

Input parse(const uint8_t* data, std::size_t size) {
    Input in;
    const std::size_t headerBytes = size < kHeaderSize ? size : std::size_t{kHeaderSize};
    std::memcpy(in.header.bytes.data(), data, headerBytes);
    std::size_t pos = headerBytes;
    while (pos + 2 < size && in.chunkCount < kMaxChunks) {
        int length = 1 + data[pos] % zrq::kMaxChunk;
        const int delayMs = data[pos + 1] * kMsPerDelayUnit;
        pos += 2;
        if (static_cast<std::size_t>(length) > size - pos) length = static_cast<int>(size - pos);
        in.chunks[in.chunkCount++] = {data + pos, length, delayMs};
        pos += static_cast<std::size_t>(length);
    }
    return in;
}

zrq::RingIndices startIndices(const Header& h) {
    zrq::RingIndices indices;
    indices.WriteIndex = static_cast<uint16_t>(h.u16(kWriteIndex) % zrq::kRingSize);
    indices.ReadIndex = static_cast<uint16_t>(h.u16(kReadIndex) % zrq::kRingSize);
    return indices;
}

// ---- The model: the search written out plainly, one format at a time. ----

enum class EventKind : uint8_t { Begin, Dump, Frame };
struct Event {
    EventKind kind;
    uint16_t start;
    int length;
    friend bool operator==(const Event&, const Event&) = default;
};

// Enough for any chunk: each candidate moves the read position by at least one byte.
constexpr int kMaxEvents = 4 * zrq::kRingSize;

struct EventList {
    std::array<Event, kMaxEvents> events;
    int count = 0;
    void add(Event e) {
        check(count < kMaxEvents);
        events[count++] = e;
    }
};

int at(int position) { return position % zrq::kRingSize; }

void modelChunk(zrq::RingStorage& ring, zrq::RingIndices& ix, const Chunk& chunk, int format,
                EventList& out) {
    out.add({EventKind::Begin, 0, 0});
    for (int i = 0; i < chunk.length; ++i) {
        ix.WriteIndex = static_cast<uint16_t>(at(ix.WriteIndex + 1));
        if (ix.WriteIndex == ix.ReadIndex) break;
        ring[ix.WriteIndex] = chunk.bytes[i];
    }
    int length = 0;
    int span = 0;
    switch (format) {
        case 1:
            length = 9, span = 8;
            break;
        case 2:
            length = 13, span = 12;
            break;
        case 3:
            length = 12, span = 11;
            break;
        default:
            return;
    }
    while (ix.ReadIndex != ix.WriteIndex && ring[ix.ReadIndex] != 0xAA) {
        ix.ReadIndex = static_cast<uint16_t>(at(ix.ReadIndex + 1));
    }
    auto d = [&] { return (ix.WriteIndex - ix.ReadIndex + zrq::kRingSize) % zrq::kRingSize; };
    while (ix.ReadIndex != ix.WriteIndex && d() >= span) {
        const int f = ix.ReadIndex;
        auto byte = [&](int k) { return ring[at(f + k)]; };
        const uint16_t start = static_cast<uint16_t>(f);
        int advance = 0;
        if (format == 1) {
            const bool accepted = byte(0) == 0xAA && byte(1) == 0x00;
            if (accepted) {
                out.add({EventKind::Dump, start, length});
                out.add({EventKind::Frame, start, 0});
            }
            advance = accepted ? 8 : 1;
        } else if (format == 2) {
            if (byte(0) == 0xAA && byte(1) == 0xAA && byte(2) == 0xAA) {
                out.add({EventKind::Dump, start, length});
                out.add({EventKind::Frame, start, 0});
            }
            advance = 11;
        } else {
            out.add({EventKind::Dump, start, length});
            const bool accepted = byte(11) == 0x03;
            if (accepted) out.add({EventKind::Frame, start, 0});
            advance = accepted ? 11 : 2;
        }
        ix.ReadIndex = static_cast<uint16_t>(at(f + advance));
    }
}

// Records what the real search reports, reading every dumped byte so that the sanitizers see an
// access outside the storage.
class RecordingSink final : public zrq::FrameSink {
public:
    explicit RecordingSink(EventList& out) : out_(out) {}
    void beginChunk() override { out_.add({EventKind::Begin, 0, 0}); }
    void frameDump(const zrq::RingStorage& ring, uint16_t start, int length) override {
        check(start < zrq::kRingSize && length >= 1 && length <= zrq::kRingSize);
        for (int k = 0; k < length; ++k) checksum_ += ring[at(start + k)];
        out_.add({EventKind::Dump, start, length});
    }
    void processFrame(const zrq::DecodedTimeCode&, uint16_t start) override {
        check(start < zrq::kRingSize);
        out_.add({EventKind::Frame, start, 0});
    }
    unsigned checksum() const { return checksum_; }

private:
    EventList& out_;
    unsigned checksum_ = 0;
};

struct SearchCounts {
    int dumps = 0;
    int frames = 0;
};

// Runs the real search and the model side by side; returns what they reported over all chunks.
SearchCounts checkSearchAgainstModel(const Input& in) {
    const int format = in.header.at(kFormat);
    zrq::RingStorage ring;
    ring.fill(in.header.at(kRingFill));
    zrq::RingStorage modelRing = ring;
    zrq::RingIndices indices = startIndices(in.header);
    zrq::RingIndices modelIndices = indices;
    static EventList real;
    static EventList expected;
    SearchCounts counts;
    for (int c = 0; c < in.chunkCount; ++c) {
        real.count = expected.count = 0;
        RecordingSink sink(real);
        const Chunk& chunk = in.chunks[c];
        zrq::handleReceivedChunk(ring, indices, chunk.bytes, chunk.length, format, sink);
        modelChunk(modelRing, modelIndices, chunk, format, expected);
        check(real.count == expected.count);
        for (int i = 0; i < real.count; ++i) check(real.events[i] == expected.events[i]);
        check(indices.WriteIndex == modelIndices.WriteIndex);
        check(indices.ReadIndex == modelIndices.ReadIndex);
        check(ring == modelRing);
        for (int i = 0; i < real.count; ++i) {
            counts.dumps += real.events[i].kind == EventKind::Dump;
            counts.frames += real.events[i].kind == EventKind::Frame;
        }
    }
    return counts;
}

// ---- The real processing. ----

class CountingMonitor final : public zrq::MonitorLines {
public:
    void appendLine(const zrq::GbkText& line) override {
        check(!line.bytes().empty());
        ++lines;
        const std::string& bytes = line.bytes();
        if (bytes.find("[SETTIME FAILED:]") != std::string::npos) ++refusals;
        for (const char* tag : {"[STALE FRAME:]", "[DAMAGED FRAME:]", "[STEP WAITS:]"}) {
            if (bytes.find(tag) != std::string::npos) ++frameNotes;
        }
    }
    int lines = 0;
    int refusals = 0;    // lines that report a refused set
    int frameNotes = 0;  // a frame that waited in the line, a damaged one, a step that waits
};

// Passes every call to the fake clock and keeps the outcome of each set.
class SetCountingClock final : public zrq::LocalClock {
public:
    explicit SetCountingClock(zrq::FakeClock& clock) : clock_(clock) {}
    zrq::LocalTimeRecord now() override { return clock_.now(); }
    zrq::PreciseTime nowPrecise() override { return clock_.nowPrecise(); }
    std::optional<int64_t> instantOf(const zrq::LocalTimeRecord& local, int64_t nearUs) override {
        return clock_.instantOf(local, nearUs);
    }
    zrq::LocalTimeRecord localTimeAt(int64_t systemUs) override {
        return clock_.localTimeAt(systemUs);
    }
    int attempts = 0;
    int accepted = 0;
    int outOfRange = 0;  // an instant the clock interface should have refused reached the clock

protected:
    int applyInstant(int64_t systemUs, std::optional<int64_t> computedAt) override {
        if (!zrq::isSettableInstant(systemUs)) ++outOfRange;
        const int result = computedAt ? clock_.setInstant(systemUs, {{}, 0, 0, *computedAt})
                                      : clock_.setInstant(systemUs);
        ++attempts;
        if (result == 0) ++accepted;
        return result;
    }

private:
    zrq::FakeClock& clock_;
};

zrq::ClockSettings settingsFrom(const Header& h) {
    zrq::ClockSettings s;
    s.CorrectionMode = zrq::CorrectionMode{h.at(kMode)};
    s.CorrectionSecond = h.at(kSecond);
    s.CorrectionMinute = h.at(kMinute);
    s.CodeFormat = h.at(kFormat);
    s.FineTuneMs = h.u16(kFineTune);
    s.DailyPointCount = static_cast<uint8_t>(h.at(kPointCount) % (zrq::kMaxDailyPoints + 1));
    s.JumpNoCorrect = h.at(kJumpNoCorrect);
    s.JumpThresholdSec = h.at(kThreshold);
    // Points spaced from the clock's start, so that some of them fall on received seconds.
    const uint32_t firstSecond = h.u32(kStartMs) % kMsPerDay / 1000;
    for (int i = 0; i < zrq::kDailyPointSlots; ++i) {
        const uint32_t second = (firstSecond + i * h.at(kPointSpacing)) % kSecondsPerDay;
        s.DailyPoints[i] = static_cast<double>(second) / kSecondsPerDay;
    }
    return s;
}

zrq::StatusState statusFrom(const Header& h) {
    const uint8_t flags = h.at(kStatusFlags);
    zrq::StatusState s;
    s.NoSignal = flags & 1;
    s.JumpDetected = flags & 2;
    s.MonitorActive = flags & 4;
    s.JumpLogEnabled = flags & 8;
    s.CommLogEnabled = flags & 16;
    s.CorrectNowRequested = flags & 32;
    s.SilentSeconds = static_cast<int8_t>(h.at(kSilentSeconds));
    return s;
}

zrq::LocalTimeRecord startTime(const Header& h) {
    const zrq::LocalTimeRecord base{2000, 1, 6, 1, 0, 0, 0, 0};
    const int64_t ms =
        int64_t{h.u16(kStartDay) % kStartDayRange} * kMsPerDay + h.u32(kStartMs) % kMsPerDay;
    return *zrq::addMilliseconds(base, ms);
}

// One fake port for the whole run: it reserves room for 65536 calls, too much to build per input.
zrq::FakeSerialLibrary& sharedSerial() {
    static zrq::FakeSerialLibrary serial;
    return serial;
}

void runFrameProcessor(const Input& in, const SearchCounts& search) {
    static const zrq::fuzz::ScratchDirectory scratch;
    scratch.clear();
    const Header& h = in.header;

    zrq::FakeClock fake(startTime(h));
    if (h.at(kStatusFlags) & kRefuseSetsBit) fake.refuseSetsWith(EPERM);
    SetCountingClock clock(fake);
    zrq::FakeSerialLibrary& serial = sharedSerial();
    zrq::LineSettings line;
    const int port = h.at(kPort) & ~kPortClosedBit;
    line.Port = port;
    const bool portOpen = !(h.at(kPort) & kPortClosedBit);
    if (portOpen && !serial.isOpen(port)) check(serial.sio_open(port) == 0);
    if (!portOpen) serial.sio_close(port);
    serial.clearCalls();
    serial.clearWrites(port);

    const zrq::ClockSettings settings = settingsFrom(h);
    zrq::StatusState status = statusFrom(h);
    const zrq::StatusState before = status;
    CountingMonitor monitor;
    zrq::RecordingMessageBoxes boxes;
    zrq::EventLog log(clock, boxes, scratch.path());
    zrq::FrameProcessor processor({clock, serial, line, settings, status, monitor, log});

    zrq::RingStorage ring;
    ring.fill(h.at(kRingFill));
    zrq::RingIndices indices = startIndices(h);
    for (int c = 0; c < in.chunkCount; ++c) {
        const Chunk& chunk = in.chunks[c];
        fake.advanceMs(chunk.delayMs);
        zrq::handleReceivedChunk(ring, indices, chunk.bytes, chunk.length, h.at(kFormat),
                                 processor);
    }

    // No instant outside the settable years may be handed to the clock.
    check(clock.outOfRange == 0);
    // The only output is one acknowledgement per correction that took effect.
    const std::vector<uint8_t> written = serial.written(port);
    const std::size_t expectedBytes = portOpen ? 2 * static_cast<std::size_t>(clock.accepted) : 0;
    check(written.size() == expectedBytes);
    for (std::size_t i = 0; i < written.size(); i += 2) {
        check(written[i] == 0x55 && written[i + 1] == 0xAA);
    }
    // Every accepted frame means a signal; without one the count goes on as it was.
    check(status.SilentSeconds == (search.frames > 0 ? 0 : before.SilentSeconds));
    if (search.frames == 0) check(clock.attempts == 0);
    // A line per dump while observing or logging, and a line per correction (done or refused)
    // while observing.
    // A year before 1601, a local time that does not occur and an instant outside the settable
    // years are refused without reaching the clock: a refusal line with no attempt.
    const bool dumpLines = before.MonitorActive || before.CommLogEnabled;
    const int clockRefusals = clock.attempts - clock.accepted;
    const int refusedBeforeTheClock = monitor.refusals - (before.MonitorActive ? clockRefusals : 0);
    check(refusedBeforeTheClock >= 0);
    const int setLines = before.MonitorActive ? clock.attempts + refusedBeforeTheClock : 0;
    check(before.MonitorActive || monitor.frameNotes == 0);
    check(monitor.lines == (dumpLines ? search.dumps : 0) + setLines + monitor.frameNotes);
    // The log directory is always writable, so no box is shown.
    check(boxes.shown.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const Input in = parse(data, size);
    runFrameProcessor(in, checkSearchAgainstModel(in));
    return 0;
}
