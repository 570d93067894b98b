// Appends each received chunk to the ring and finds the selected format's frames in it. Chunks
// split frames anywhere and the ring wraps from 999 to 0, so a frame is examined only once all
// its bytes are in the ring; bytes before a frame's sync byte are passed over.
#include "timecode/frame_search.h"

#include "timecode/frame_formats.h"

namespace zrq {
namespace {

// Passes over bytes up to the next sync byte; the byte at WriteIndex itself is not examined.
// Runs once per chunk, before the candidate loop.
void syncScan(ReceiveRing& ring) {
    while (!ring.empty() && ring.bytes()[ring.readIndex()] != kSyncByte) ring.advanceRead(1);
}

// Examines the candidate at ReadIndex and moves ReadIndex by the format's advance.
void examineCandidate(const FrameFormat& format, ReceiveRing& ring, FrameSink& sink) {
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
    sink.processFrame(format.decode(ring.bytes(), start), start);
    ring.advanceRead(format.advanceAccepted);
}

void searchFrames(const FrameFormat& format, ReceiveRing& ring, FrameSink& sink) {
    syncScan(ring);
    while (!ring.empty() && ring.span() >= format.span) examineCandidate(format, ring, sink);
}

}  // namespace

void handleReceivedChunk(ReceiveRing& ring, const uint8_t* chunk, int length, int codeFormat,
                         FrameSink& sink) {
    sink.beginChunk();
    ring.keepIndicesInRange();
    if (chunk != nullptr) {
        ring.append(chunk, length);
    }
    if (const FrameFormat* format = findFrameFormat(codeFormat)) {
        searchFrames(*format, ring, sink);
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
