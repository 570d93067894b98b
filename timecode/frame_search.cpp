// Appends each received chunk to the ring and finds the selected format's frames in it. Chunks
// split frames anywhere and the ring wraps from 999 to 0, so a frame is examined only once all
// its bytes are in the ring; bytes before a frame's sync byte are passed over. Each accepted frame
// is marked stale unless it is the only complete frame of the read that brought its last byte.
#include "timecode/frame_search.h"

#include "timecode/frame_formats.h"

namespace zrq {
namespace {

// Passes over bytes up to the next sync byte; the byte at WriteIndex itself is not examined.
// Runs once per chunk, before the candidate loop.
void syncScan(ReceiveRing& ring) {
    while (!ring.empty() && ring.bytes()[ring.readIndex()] != kSyncByte) ring.advanceRead(1);
}

int spanBetween(uint16_t read, uint16_t write) { return (write + kRingSize - read) % kRingSize; }

// Whether the candidate loop, going on from `read`, would accept another frame among the bytes
// already in the ring. Moves nothing: the same tests and advances on a copy of the position.
bool acceptsAnotherFrame(const FrameFormat& format, const RingStorage& bytes, uint16_t read,
                         uint16_t write) {
    while (read != write && spanBetween(read, write) >= format.span) {
        if (format.accepts(bytes, read)) return true;
        read = ringPosition(read, format.advanceRejected);
    }
    return false;
}

// Whether the frame at `start` ended with this read (its last byte came in the read's bytes).
bool endsInThisRead(const FrameFormat& format, const ReceiveRing& ring, uint16_t start,
                    int chunkBytes) {
    const uint16_t lastByte = ringPosition(start, format.span);
    return spanBetween(lastByte, ring.writeIndex()) < chunkBytes;
}

// A frame is fresh when it is the only frame that ended with this read. Two frames in one read
// mean the line or the program stalled: every frame of such a read waited, the newest too (for
// up to a second when the program itself was paused, since the read's arrival stamp is taken
// when it runs again), so none of them says when it was sent.
bool isStale(const FrameFormat& format, const ReceiveRing& ring, uint16_t start, int chunkBytes,
             bool earlierFrameEnded) {
    if (earlierFrameEnded || !endsInThisRead(format, ring, start, chunkBytes)) return true;
    return acceptsAnotherFrame(format, ring.bytes(), ringPosition(start, format.advanceAccepted),
                               ring.writeIndex());
}

// Examines the candidate at ReadIndex and moves ReadIndex by the format's advance.
// `frameEnded`: set once a frame that ended with this read has been accepted.
void examineCandidate(const FrameFormat& format, ReceiveRing& ring, int chunkBytes,
                      bool& frameEnded, FrameSink& sink) {
    const uint16_t start = ring.readIndex();
    if (format.dump == DumpMoment::EveryCandidate) {
        sink.frameDump(ring.bytes(), start, format.length);
    }
    if (!format.accepts(ring.bytes(), start)) {
        ring.advanceRead(format.advanceRejected);
        return;
    }
    if (format.dump == DumpMoment::AcceptedOnly) {
        sink.frameDump(ring.bytes(), start, format.length);
    }
    DecodedTimeCode code = format.decode(ring.bytes(), start);
    code.stale = isStale(format, ring, start, chunkBytes, frameEnded);
    frameEnded = frameEnded || endsInThisRead(format, ring, start, chunkBytes);
    sink.processFrame(code, start);
    ring.advanceRead(format.advanceAccepted);
}

// `chunkBytes`: how many bytes this read stored in the ring.
void searchFrames(const FrameFormat& format, ReceiveRing& ring, int chunkBytes, FrameSink& sink) {
    syncScan(ring);
    bool frameEnded = false;
    while (!ring.empty() && ring.span() >= format.span) {
        examineCandidate(format, ring, chunkBytes, frameEnded, sink);
    }
}

}  // namespace

void handleReceivedChunk(ReceiveRing& ring, const uint8_t* chunk, int length, int codeFormat,
                         FrameSink& sink) {
    sink.beginChunk();
    ring.keepIndicesInRange();
    const uint16_t writeBefore = ring.writeIndex();
    if (chunk != nullptr) {
        ring.append(chunk, length);
    }
    const int chunkBytes = spanBetween(writeBefore, ring.writeIndex());
    if (const FrameFormat* format = findFrameFormat(codeFormat)) {
        searchFrames(*format, ring, chunkBytes, sink);
    }
}

void handleReceivedChunk(RingStorage& storage, RingIndices& indices, const uint8_t* chunk,
                         int length, int codeFormat, FrameSink& sink) {
    ReceiveRing ring(storage, indices);
    handleReceivedChunk(ring, chunk, length, codeFormat, sink);
}

DecodedTimeCode decodeFrame(int format, const RingStorage& ring, uint16_t start) {
    const FrameFormat* frameFormat = findFrameFormat(format);
    if (frameFormat == nullptr) {
        return DecodedTimeCode{};
    }
    return frameFormat->decode(ring, ringPosition(start, 0));
}

}  // namespace zrq
