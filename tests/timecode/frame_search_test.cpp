// Frame search over byte streams: each stream in one chunk against its listed events, and at every
// split and every placement across the ring's wrap against a reference model of the search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <ostream>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/counting_new.h"
#include "timecode/frame_search.h"

namespace zrq {
namespace {

using testing::Bytes;
using testing::concat;

// What the search reported, in order.
struct Event {
    enum Kind : uint8_t { Begin, Dump, Frame };
    Kind kind = Begin;
    uint16_t start = 0;         // ring position of the dump or frame
    Bytes bytes;                // dumps: the bytes shown
    DecodedTimeCode code = {};  // frames: the decoded time code, its stale flag apart
    bool stale = false;         // frames: not the newest complete frame of its read

    bool operator==(const Event&) const = default;
};

void PrintTo(const Event& e, std::ostream* os) {
    static const char* const kNames[] = {"begin", "dump", "frame"};
    *os << kNames[e.kind];
    if (e.kind == Event::Dump) {
        *os << " @" << e.start << ":";
        char hex[4];
        for (uint8_t b : e.bytes) {
            std::snprintf(hex, sizeof hex, " %02X", b);
            *os << hex;
        }
    } else if (e.kind == Event::Frame) {
        char text[80];
        std::snprintf(text, sizeof text, " @%u %04u-%02u-%02u %02u:%02u:%02u%s", e.start,
                      e.code.year, e.code.month, e.code.day, e.code.hour, e.code.minute,
                      e.code.second, e.stale ? " stale" : "");
        *os << text;
    }
}

class RecordingSink final : public FrameSink {
public:
    std::vector<Event> events;

    void beginChunk() override { events.push_back({Event::Begin, 0, {}, {}}); }
    void frameDump(const RingStorage& ring, uint16_t start, int length) override {
        Bytes shown;
        for (int k = 0; k < length; ++k) {
            shown.push_back(ring[(start + k) % kRingSize]);
        }
        events.push_back({Event::Dump, start, shown, {}});
    }
    void processFrame(const DecodedTimeCode& code, uint16_t start) override {
        DecodedTimeCode decoded = code;
        decoded.stale = false;
        events.push_back({Event::Frame, start, {}, decoded, code.stale});
    }
};

// The search under test, on a zeroed ring whose indices both start at `startIndex`.
struct SearchRun {
    RingStorage ring{};
    RingIndices indices;
    RecordingSink sink;
    int format;

    SearchRun(int codeFormat, uint16_t startIndex)
        : indices{startIndex, startIndex}, format(codeFormat) {}
    void feed(const Bytes& chunk) {
        handleReceivedChunk(ring, indices, chunk.data(), static_cast<int>(chunk.size()), format,
                            sink);
    }
};

// The search rules restated independently: positions count up without wrapping over a history of
// every byte stored (history_[a] sits at ring position (origin_ + a) mod 1000), and each format
// has its own plainly written loop. Frames are reported without decoding; once a chunk's search
// is over, every frame it found but the last is stale, and the last too when its last byte came
// before this chunk or when another frame it found also ended in this chunk.
class ReferenceSearch {
public:
    std::vector<Event> events;

    // `held` are the bytes from ReadIndex (`readIndex`) up to WriteIndex when the model starts.
    ReferenceSearch(int format, uint16_t readIndex, const Bytes& held)
        : format_(format),
          origin_(readIndex),
          history_(held),
          write_(static_cast<long>(held.size()) - 1) {}

    void feed(const Bytes& chunk) {
        events.push_back({Event::Begin, 0, {}, {}});
        const long chunkStart = write_ + 1;
        const size_t firstEvent = events.size();
        for (uint8_t b : chunk) {
            if (write_ + 1 - read_ == kRingSize) {  // the next write would land on the read byte
                ++write_;
                history_.push_back(history_[write_ - kRingSize]);
                read_ = write_;
                break;
            }
            ++write_;
            history_.push_back(b);
        }
        if (format_ == TVZ_CODE) {
            tvz();
        } else if (format_ == EB_CODE) {
            eb();
        } else if (format_ == ST_CODE) {
            st();
        }
        markStale(firstEvent, chunkStart);
    }
    uint16_t readIndex() const { return ringPos(read_); }
    uint16_t writeIndex() const { return ringPos(write_); }

private:
    int format_;
    long origin_;
    Bytes history_;
    long read_ = 0;
    long write_ = 0;

    uint16_t ringPos(long a) const { return static_cast<uint16_t>((origin_ + a) % kRingSize); }
    uint8_t at(long a) const { return history_[a]; }
    void scan() {
        while (read_ < write_ && at(read_) != 0xAA) {
            ++read_;
        }
    }
    void dump(long a, int n) {
        events.push_back({Event::Dump, ringPos(a), Bytes(&history_[a], &history_[a] + n), {}});
    }
    void frame(long a) {
        events.push_back({Event::Frame, ringPos(a), {}, {}});
        chunkFrames_.push_back(a);
    }
    void markStale(size_t firstEvent, long chunkStart) {
        const long span = format_ == TVZ_CODE ? 8 : format_ == EB_CODE ? 12 : 11;
        long endedHere = 0;
        for (long a : chunkFrames_) endedHere += a + span >= chunkStart ? 1 : 0;
        const bool newestFresh =
            endedHere == 1 && !chunkFrames_.empty() && chunkFrames_.back() + span >= chunkStart;
        chunkFrames_.clear();
        bool newest = true;
        for (size_t i = events.size(); i-- > firstEvent;) {
            if (events[i].kind != Event::Frame) continue;
            events[i].stale = !newest || !newestFresh;
            newest = false;
        }
    }
    std::vector<long> chunkFrames_;  // history positions of the frames found in this chunk

    void tvz() {
        scan();
        while (write_ - read_ >= 8) {
            if (at(read_) == 0xAA && at(read_ + 1) == 0x00) {
                dump(read_, 9);
                frame(read_);
                read_ += 8;
            } else {
                read_ += 1;
            }
        }
    }
    void eb() {
        scan();
        while (write_ - read_ >= 12) {
            if (at(read_) == 0xAA && at(read_ + 1) == 0xAA && at(read_ + 2) == 0xAA) {
                dump(read_, 13);
                frame(read_);
            }
            read_ += 11;
        }
    }
    void st() {
        scan();
        while (write_ - read_ >= 11) {
            dump(read_, 12);
            if (at(read_ + 11) == 0x03) {
                frame(read_);
                read_ += 11;
            } else {
                read_ += 2;
            }
        }
    }
};

// An expected event, by offset into the stream (offset 0 = the stream's first byte).
struct Expected {
    Event::Kind kind;
    int offset;
    int length;
    DecodedTimeCode code;
};
Expected B() { return {Event::Begin, 0, 0, {}}; }
Expected D(int offset, int length) { return {Event::Dump, offset, length, {}}; }
Expected F(int offset, DecodedTimeCode code) { return {Event::Frame, offset, 0, code}; }

struct StreamCase {
    const char* legend;
    int format;
    Bytes bytes;
    std::vector<Expected> expected;  // with the whole stream as one chunk
    int readOffset;                  // ReadIndex afterwards, as a stream offset (-1: unmoved)
};

uint16_t positionOf(uint16_t startIndex, int offset) {
    return static_cast<uint16_t>((startIndex + 1 + offset + kRingSize) % kRingSize);
}

// The whole stream is one read: a lone frame is fresh; of several, every one is stale.
std::vector<Event> listedEvents(const StreamCase& c, uint16_t startIndex) {
    std::vector<Event> events;
    for (const Expected& e : c.expected) {
        Event event{e.kind, 0, {}, e.code};
        if (e.kind != Event::Begin) {
            event.start = positionOf(startIndex, e.offset);
        }
        if (e.kind == Event::Dump) {
            event.bytes.assign(c.bytes.begin() + e.offset, c.bytes.begin() + e.offset + e.length);
        }
        events.push_back(event);
    }
    const auto frames = std::count_if(events.begin(), events.end(),
                                      [](const Event& e) { return e.kind == Event::Frame; });
    for (Event& e : events) e.stale = e.kind == Event::Frame && frames > 1;
    return events;
}

std::vector<Event> withoutCodes(std::vector<Event> events) {
    for (Event& e : events) {
        e.code = {};
    }
    return events;
}

// The frames found, whichever read brought them (so without their stale flags).
std::vector<Event> framesOnly(const std::vector<Event>& events) {
    std::vector<Event> frames;
    for (const Event& e : events) {
        if (e.kind == Event::Frame) {
            frames.push_back(e);
            frames.back().stale = false;
        }
    }
    return frames;
}

// Ring start positions: start-up (0), after a format switch (1), the middle, and every placement
// where the stream's bytes cross from 999 to 0 (plus the two placements just before and after).
std::vector<uint16_t> startPositions(size_t streamLength) {
    std::vector<uint16_t> starts{0, 1, 500};
    for (size_t j = 0; j <= streamLength; ++j) {
        starts.push_back(static_cast<uint16_t>(kRingSize - 1 - j));
    }
    return starts;
}

// Ways to cut the stream into chunks: whole, in two at every point, and one byte per chunk.
std::vector<std::vector<Bytes>> chunkings(const Bytes& stream) {
    std::vector<std::vector<Bytes>> all{{stream}};
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        all.push_back({Bytes(stream.begin(), stream.begin() + cut),
                       Bytes(stream.begin() + cut, stream.end())});
    }
    std::vector<Bytes> single;
    for (uint8_t b : stream) {
        single.push_back({b});
    }
    all.push_back(single);
    return all;
}

void expectListedEvents(const std::vector<StreamCase>& cases) {
    for (const StreamCase& c : cases) {
        for (uint16_t start : startPositions(c.bytes.size())) {
            SCOPED_TRACE(::testing::Message() << c.legend << ", indices starting at " << start);
            SearchRun run(c.format, start);
            run.feed(c.bytes);
            EXPECT_EQ(run.sink.events, listedEvents(c, start));
            EXPECT_EQ(run.indices.ReadIndex, positionOf(start, c.readOffset));
            EXPECT_EQ(run.indices.WriteIndex, positionOf(start, int(c.bytes.size()) - 1));

            ReferenceSearch model(c.format, start, Bytes{0x00});
            model.feed(c.bytes);
            EXPECT_EQ(model.events, withoutCodes(listedEvents(c, start))) << "reference model";
        }
    }
}

// Returns false after the first disagreement, so that one fault gives one report per stream.
bool agreesWithModel(const StreamCase& c, uint16_t start, const std::vector<Bytes>& chunks) {
    SearchRun run(c.format, start);
    ReferenceSearch model(c.format, start, Bytes{0x00});
    for (const Bytes& chunk : chunks) {
        run.feed(chunk);
        model.feed(chunk);
    }
    const bool same = withoutCodes(run.sink.events) == model.events &&
                      run.indices.ReadIndex == model.readIndex() &&
                      run.indices.WriteIndex == model.writeIndex();
    EXPECT_TRUE(same) << c.legend << ", indices starting at " << start << ", first chunk of "
                      << chunks.front().size() << " of " << chunks.size()
                      << " chunks\n  search: " << ::testing::PrintToString(run.sink.events)
                      << "\n  model:  " << ::testing::PrintToString(model.events);
    return same;
}

bool agreesAtEverySplitAndWrap(const StreamCase& c) {
    for (uint16_t start : startPositions(c.bytes.size())) {
        for (const std::vector<Bytes>& chunks : chunkings(c.bytes)) {
            if (!agreesWithModel(c, start, chunks)) {
                return false;
            }
        }
    }
    return true;
}

void expectModelAgreesAtEverySplitAndWrap(const std::vector<StreamCase>& cases) {
    for (const StreamCase& c : cases) {
        agreesAtEverySplitAndWrap(c);
    }
}

// TVZ_CODE frames used in the streams; T31 decodes to 2024-05-01 12:00:31.
const Bytes T31{0xAA, 0x00, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0x31};
const Bytes T32{0xAA, 0x00, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0x32};
const Bytes T_AA{0xAA, 0x00, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0xAA};  // second byte AA
const DecodedTimeCode k31{12, 0, 31, 2024, 5, 1};
const DecodedTimeCode k32{12, 0, 32, 2024, 5, 1};
const DecodedTimeCode kSecondAA{12, 0, 110, 2024, 5, 1, true};  // damaged

const std::vector<StreamCase> kTvzStreams{
    {"one frame", TVZ_CODE, T31, {B(), D(0, 9), F(0, k31)}, 8},
    {"garbage and a false sync before a frame",
     TVZ_CODE,
     concat({{0x11, 0x22, 0x33, 0xAA, 0x05}, T31}),
     {B(), D(5, 9), F(5, k31)},
     13},
    {"two frames back to back",
     TVZ_CODE,
     concat({T31, T32}),
     {B(), D(0, 9), F(0, k31), D(9, 9), F(9, k32)},
     17},
    {"AA AA 00: the second AA starts the frame",
     TVZ_CODE,
     concat({{0xAA}, T31}),
     {B(), D(1, 9), F(1, k31)},
     9},
    {"a frame whose last byte AA starts the next one",
     TVZ_CODE,
     concat({T_AA, Bytes(T31.begin() + 1, T31.end())}),
     {B(), D(0, 9), F(0, kSecondAA), D(8, 9), F(8, k31)},
     16},
    {"a frame one byte short", TVZ_CODE, Bytes(T31.begin(), T31.end() - 1), {B()}, 0},
    {"a lone trailing AA stays unexamined", TVZ_CODE, {0x01, 0x02, 0xAA}, {B()}, 2},
    {"a frame, then a lone AA",
     TVZ_CODE,
     concat({T31, {0x01, 0x02, 0xAA}}),
     {B(), D(0, 9), F(0, k31)},
     8},
    {"no sync byte at all", TVZ_CODE, {0x01, 0x02, 0x03, 0x00, 0x55, 0x03}, {B()}, 5},
    {"frame among garbage with more garbage after",
     TVZ_CODE,
     concat({{0x00, 0xAA, 0x01}, T31, {0x00, 0xAA, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}}),
     {B(), D(3, 9), F(3, k31)},
     13},
};

// EB_CODE frames; E31 decodes to 2024-05-01 12:00:31.
const Bytes E31{0xAA, 0xAA, 0xAA, 0x1F, 0x00, 0x0C, 0x00, 0x01, 0x05, 0x18, 0x00, 0x00, 0x00};
const Bytes E32{0xAA, 0xAA, 0xAA, 0x20, 0x00, 0x0C, 0x00, 0x01, 0x05, 0x18, 0x00, 0x00, 0x00};
const Bytes E31_AA{0xAA, 0xAA, 0xAA, 0x1F, 0x00, 0x0C, 0x00, 0x01, 0x05, 0x18, 0x00, 0xAA, 0xAA};

const std::vector<StreamCase> kEbStreams{
    {"one frame", EB_CODE, E31, {B(), D(0, 13), F(0, k31)}, 11},
    {"garbage before a frame",
     EB_CODE,
     concat({{0x11, 0x22}, E31}),
     {B(), D(2, 13), F(2, k31)},
     13},
    {"a second frame in the same chunk is skipped into",
     EB_CODE,
     concat({E31, E32}),
     {B(), D(0, 13), F(0, k31)},
     22},
    {"a rejected candidate skips 11 bytes onto a frame",
     EB_CODE,
     concat({{0xAA, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A}, E31}),
     {B(), D(11, 13), F(11, k31)},
     22},
    {"a rejected candidate skips 11 bytes into a frame",
     EB_CODE,
     concat({{0xAA, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B}, E31}),
     {B()},
     22},
    {"a frame ending AA AA makes a false frame of the next one",
     EB_CODE,
     concat({E31_AA, E32}),
     {B(), D(0, 13), F(0, k31), D(11, 13), F(11, {32, 170, 170, 2001, 0, 12})},
     22},
    {"a frame one byte short", EB_CODE, Bytes(E31.begin(), E31.end() - 1), {B()}, 0},
    {"two sync bytes are not enough",
     EB_CODE,
     {0xAA, 0xAA, 0x00, 0x1F, 0x00, 0x0C, 0x00, 0x01, 0x05, 0x18, 0x00, 0x00, 0x00},
     {B()},
     11},
};

// ST_CODE frames; S31 decodes to 2024-05-01 12:00:31. S03 has second 03, so that a candidate
// starting at the end byte of a frame before it finds 03 eleven bytes on.
const Bytes S31{0xAA, 0x00, 0x00, 0x20, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0x31, 0x03};
const Bytes S32{0xAA, 0x00, 0x00, 0x20, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0x32, 0x03};
const Bytes S03{0xAA, 0x00, 0x00, 0x20, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0x03, 0x03};

const std::vector<StreamCase> kStStreams{
    {"one frame", ST_CODE, S31, {B(), D(0, 12), F(0, k31)}, 11},
    {"a rejected candidate is dumped and skips two bytes onto a frame",
     ST_CODE,
     concat({{0xAA, 0x01}, S31}),
     {B(), D(0, 12), D(2, 12), F(2, k31)},
     13},
    {"rejected candidates skip two bytes past a frame's start",
     ST_CODE,
     concat({{0xAA, 0x01, 0x02}, S31}),
     {B(), D(0, 12), D(2, 12)},
     4},
    {"a second frame in the same chunk is not accepted",
     ST_CODE,
     concat({S31, S32}),
     {B(), D(0, 12), F(0, k31), D(11, 12)},
     13},
    {"03 eleven bytes past an end byte makes a false frame",
     ST_CODE,
     concat({S31, S03}),
     {B(), D(0, 12), F(0, k31), D(11, 12), F(11, {0, 12, 0, 0, 24, 5})},
     22},
    {"the search rests on the end byte",
     ST_CODE,
     concat({S31, {0xAA}}),
     {B(), D(0, 12), F(0, k31)},
     11},
    {"a frame one byte short", ST_CODE, Bytes(S31.begin(), S31.end() - 1), {B()}, 0},
    {"no sync byte, no dump",
     ST_CODE,
     {0x00, 0x00, 0x20, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0x31, 0x03, 0x03},
     {B()},
     11},
};

const std::vector<StreamCase> kOtherFormatStreams{
    {"format 0 only accumulates", 0, concat({T31, E31, S31}), {B()}, -1},
    {"format 4 only accumulates", 4, concat({T31, E31, S31}), {B()}, -1},
};

TEST(FrameSearchTvz, StreamsInOneChunkGiveTheListedEvents) { expectListedEvents(kTvzStreams); }
TEST(FrameSearchTvz, EverySplitAndWrapAgreesWithTheModel) {
    expectModelAgreesAtEverySplitAndWrap(kTvzStreams);
}

// TVZ_CODE's one-byte rejection behaves like the sync scan, so however a stream is cut into
// chunks and wherever it lies in the ring, the same frames are found.
TEST(FrameSearchTvz, EverySplitFindsTheSameFrames) {
    for (const StreamCase& c : kTvzStreams) {
        SearchRun whole(c.format, 0);
        whole.feed(c.bytes);
        const std::vector<Event> expected = framesOnly(whole.sink.events);
        for (uint16_t start : startPositions(c.bytes.size())) {
            for (const std::vector<Bytes>& chunks : chunkings(c.bytes)) {
                SearchRun run(c.format, start);
                for (const Bytes& chunk : chunks) {
                    run.feed(chunk);
                }
                std::vector<Event> found = framesOnly(run.sink.events);
                for (Event& e : found) {
                    e.start = static_cast<uint16_t>((e.start + kRingSize - start) % kRingSize);
                }
                ASSERT_EQ(found, expected)
                    << c.legend << ", start " << start << ", " << chunks.size()
                    << " chunks, first of " << chunks.front().size();
            }
        }
    }
}

TEST(FrameSearchEb, StreamsInOneChunkGiveTheListedEvents) { expectListedEvents(kEbStreams); }
TEST(FrameSearchEb, EverySplitAndWrapAgreesWithTheModel) {
    expectModelAgreesAtEverySplitAndWrap(kEbStreams);
}

TEST(FrameSearchSt, StreamsInOneChunkGiveTheListedEvents) { expectListedEvents(kStStreams); }
TEST(FrameSearchSt, EverySplitAndWrapAgreesWithTheModel) {
    expectModelAgreesAtEverySplitAndWrap(kStStreams);
}

TEST(FrameSearchOtherFormats, StreamsOnlyAccumulate) {
    expectListedEvents(kOtherFormatStreams);
    expectModelAgreesAtEverySplitAndWrap(kOtherFormatStreams);
}

// The second chunk of a split frame completes it; the first leaves ReadIndex on its sync byte.
TEST(FrameSearchSplit, PartialFrameWaitsOnItsSyncByte) {
    SearchRun run(TVZ_CODE, 0);
    run.feed({0x11, 0xAA, 0x00, 0x24});
    EXPECT_EQ(run.indices.ReadIndex, 2);
    EXPECT_EQ(run.sink.events.size(), 1u);
    run.feed({0x05, 0x01, 0x00, 0x12, 0x00, 0x31});
    EXPECT_EQ(framesOnly(run.sink.events), (std::vector<Event>{{Event::Frame, 2, {}, k31}}));
}

// After a format switch both indices are 1: the old byte at position 1 is the first examined, so
// an old 0xAA there joins the new bytes into a frame.
TEST(FrameSearchSwitch, OldByteAtPositionOneIsExaminedFirst) {
    SearchRun run(TVZ_CODE, 1);
    run.ring[1] = 0xAA;
    run.feed({0x00, 0x24, 0x05, 0x01, 0x77, 0x12, 0x00, 0x31});
    const std::vector<Event> expected{
        {Event::Begin, 0, {}, {}},
        {Event::Dump, 1, {0xAA, 0x00, 0x24, 0x05, 0x01, 0x77, 0x12, 0x00, 0x31}, {}},
        {Event::Frame, 1, {}, k31},
    };
    EXPECT_EQ(run.sink.events, expected);
}

std::vector<Bytes> countingChunks(int count, int length) {
    std::vector<Bytes> chunks;
    for (int i = 0; i < count; ++i) {
        Bytes chunk;
        for (int k = 0; k < length; ++k) {
            chunk.push_back(static_cast<uint8_t>(i * length + k + 1));
        }
        chunks.push_back(chunk);
    }
    return chunks;
}

// With no format to search, the ring fills to 999 bytes; the next append finds the write position
// on the read position, drops the chunk and the ring is empty; writing then starts over.
TEST(FrameSearchFullRing, UnknownFormatFillsAndEmptiesTheRingAgainAndAgain) {
    SearchRun run(0, 0);
    for (const Bytes& chunk : countingChunks(3, 255)) {
        run.feed(chunk);
    }
    run.feed(Bytes(234, 0x5A));  // 999 bytes stored: positions 1..999
    EXPECT_EQ(run.indices.WriteIndex, 999);
    EXPECT_EQ(run.indices.ReadIndex, 0);
    EXPECT_EQ(run.ring[255], 255);
    EXPECT_EQ(run.ring[999], 0x5A);

    run.feed({0x61, 0x62, 0x63});  // the first byte's position is the read position: all dropped
    EXPECT_EQ(run.indices.WriteIndex, 0);
    EXPECT_EQ(run.indices.ReadIndex, 0);
    EXPECT_EQ(run.ring[0], 0x00);

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        run.feed({0x71, 0x72});
        EXPECT_EQ(run.indices.WriteIndex, 2);
        EXPECT_EQ(run.ring[1], 0x71);
        EXPECT_EQ(run.ring[2], 0x72);
        for (int i = 0; i < 997 / 250; ++i) {
            run.feed(Bytes(250, 0x33));
        }
        run.feed(Bytes(997 - 997 / 250 * 250, 0x44));
        EXPECT_EQ(run.indices.WriteIndex, 999);
        run.feed({0x99});
        EXPECT_EQ(run.indices.WriteIndex, 0);
        EXPECT_EQ(run.indices.ReadIndex, 0);
    }
    for (const Event& e : run.sink.events) {
        EXPECT_EQ(e.kind, Event::Begin);
    }
}

// 800 unexamined bytes leave room for 199: a 200-byte chunk holding a frame at its end is lost
// with everything else, and the next chunk is stored after the position where the append stopped.
TEST(FrameSearchFullRing, ChunkLongerThanTheRoomEmptiesTheRing) {
    SearchRun run(TVZ_CODE, 0);
    run.indices = {900, 100};  // ReadIndex 100 rests on unexamined bytes up to 900
    run.ring.fill(0xEE);
    run.ring[100] = 0xAA;
    Bytes chunk = concat({Bytes(191, 0x01), T31});
    ASSERT_EQ(chunk.size(), 200u);
    run.feed(chunk);
    EXPECT_EQ(run.indices.WriteIndex, 100);
    EXPECT_EQ(run.indices.ReadIndex, 100);
    EXPECT_EQ(run.ring[999], 0x01);   // chunk byte 98
    EXPECT_EQ(run.ring[99], T31[7]);  // chunk byte 198, the last one stored
    EXPECT_EQ(run.ring[100], 0xAA);   // the read position's byte is not overwritten
    EXPECT_EQ(framesOnly(run.sink.events), std::vector<Event>{});

    run.feed(T31);
    const std::vector<Event> frames{{Event::Frame, 101, {}, k31}};
    EXPECT_EQ(framesOnly(run.sink.events), frames);
}

// A chunk arriving while 901 bytes are held (room for 98) overflows the ring whatever the format;
// the search and the model agree on what is lost and on everything found afterwards.
TEST(FrameSearchFullRing, AgreesWithTheModelWhenOverflowing) {
    constexpr uint16_t kHeldFrom = 950;
    const Bytes held = concat({{0xAA}, Bytes(900, 0x01)});
    Bytes frames;
    for (int i = 0; i < 20; ++i) {
        frames = concat({frames, T31, E31, S31});
    }
    std::vector<Bytes> chunks = countingChunks(2, 255);
    for (size_t at = 0; at < frames.size(); at += 255) {
        chunks.push_back(
            Bytes(frames.begin() + at, frames.begin() + std::min(frames.size(), at + 255)));
    }
    for (int format : std::initializer_list<int>{0, TVZ_CODE, EB_CODE, ST_CODE}) {
        SCOPED_TRACE(::testing::Message() << "format " << format);
        SearchRun run(format, 0);
        for (size_t k = 0; k < held.size(); ++k) {
            run.ring[(kHeldFrom + k) % kRingSize] = held[k];
        }
        run.indices = {static_cast<uint16_t>((kHeldFrom + held.size() - 1) % kRingSize), kHeldFrom};
        ReferenceSearch model(format, kHeldFrom, held);
        for (const Bytes& chunk : chunks) {
            run.feed(chunk);
            model.feed(chunk);
        }
        EXPECT_EQ(withoutCodes(run.sink.events), model.events);
        EXPECT_EQ(run.indices.ReadIndex, model.readIndex());
        EXPECT_EQ(run.indices.WriteIndex, model.writeIndex());
        EXPECT_EQ(framesOnly(run.sink.events).empty(), format == 0);
    }
}

// Indices above 999 are taken modulo 1000 before use. The bytes just past the storage hold sync
// bytes here, so a search that read there would start a frame at a position above 999.
TEST(FrameSearchIndices, IndicesOutOfRangeAreBroughtIntoTheRing) {
    struct {
        RingStorage ring{};
        uint8_t past[16];
    } memory;
    std::fill(std::begin(memory.past), std::end(memory.past), 0xAA);
    memory.ring[5] = 0xAA;  // position 1005 modulo 1000
    RingIndices indices{1005, 1005};
    RecordingSink sink;
    const Bytes rest(T31.begin() + 1, T31.end());
    handleReceivedChunk(memory.ring, indices, rest.data(), static_cast<int>(rest.size()), TVZ_CODE,
                        sink);
    EXPECT_EQ(framesOnly(sink.events), (std::vector<Event>{{Event::Frame, 5, {}, k31}}));
    EXPECT_EQ(indices.WriteIndex, 13);
    EXPECT_EQ(indices.ReadIndex, 13);
}

class NonAllocatingSink final : public FrameSink {
public:
    int frames = 0;
    void beginChunk() override {}
    void frameDump(const RingStorage&, uint16_t, int) override {}
    void processFrame(const DecodedTimeCode&, uint16_t) override { ++frames; }
};

// One frame per chunk, found every time: dumps, decoding and processing included, the search
// allocates nothing, nor does the unknown format's filling and emptying.
TEST(FrameSearchCost, HandlingChunksAllocatesNothing) {
    constexpr int kPasses = 150;  // 1350 bytes: the unknown format's ring overflows once
    const struct {
        int format;
        const Bytes& frame;
        int framesExpected;
    } kRuns[] = {
        {TVZ_CODE, T31, kPasses}, {EB_CODE, E31, kPasses}, {ST_CODE, S31, kPasses}, {0, T31, 0}};
    for (const auto& r : kRuns) {
        RingStorage ring{};
        RingIndices indices;
        NonAllocatingSink sink;
        testing::AllocationCount allocations;
        for (int pass = 0; pass < kPasses; ++pass) {
            handleReceivedChunk(ring, indices, r.frame.data(), static_cast<int>(r.frame.size()),
                                r.format, sink);
        }
        allocations.stop();
        EXPECT_EQ(allocations.count(), 0) << "format " << r.format;
        EXPECT_EQ(sink.frames, r.framesExpected) << "format " << r.format;
    }
}

}  // namespace
}  // namespace zrq
