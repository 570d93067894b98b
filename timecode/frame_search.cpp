// Appends each received chunk to the ring and finds the selected format's frames in it. Chunks
// split frames anywhere and the ring wraps from 999 to 0, so a frame is examined only once all
// its bytes are in the ring; bytes before a frame's sync byte are passed over.
#include "timecode/frame_search.h"

#include "timecode/frame_formats.h"

namespace zrq {
namespace {

// Bytes stored past the read position, modulo 1000; the byte at WriteIndex counts.
int ringSpan(const RingIndices& indices) {
    return (indices.WriteIndex + kRingSize - indices.ReadIndex) % kRingSize;
}

// Indices only ever hold 0..999; anything else is brought into range instead of indexing past
// the storage.
void keepIndicesInRange(RingIndices& indices) {
    indices.WriteIndex = ringPosition(indices.WriteIndex, 0);
    indices.ReadIndex = ringPosition(indices.ReadIndex, 0);
}

// Stores the chunk behind WriteIndex. When the next write position reaches ReadIndex the ring
// is full: that byte and the rest of the chunk are dropped and, since the indices are now equal,
// the ring is empty, losing every unexamined byte too.
void appendChunk(RingStorage& ring, RingIndices& indices, const uint8_t* chunk, int length) {
    for (int i = 0; i < length; ++i) {
        indices.WriteIndex = ringPosition(indices.WriteIndex, 1);
        if (indices.WriteIndex == indices.ReadIndex) {
            return;
        }
        ring[indices.WriteIndex] = chunk[i];
    }
}

// Passes over bytes up to the next sync byte; the byte at WriteIndex itself is not examined.
// Runs once per chunk, before the candidate loop.
void syncScan(const RingStorage& ring, RingIndices& indices) {
    while (indices.ReadIndex != indices.WriteIndex && ring[indices.ReadIndex] != kSyncByte) {
        indices.ReadIndex = ringPosition(indices.ReadIndex, 1);
    }
}

// Examines the candidate at ReadIndex and moves ReadIndex by the format's advance.
void examineCandidate(const FrameFormat& format, const RingStorage& ring, RingIndices& indices,
                      FrameSink& sink) {
    const uint16_t start = indices.ReadIndex;
    if (format.dump == DumpMoment::EveryCandidate) {
        sink.frameDump(ring, start, format.length);
    }
    if (!format.accepts(ring, start)) {
        indices.ReadIndex = ringPosition(start, format.advanceRejected);
        return;
    }
    if (format.dump == DumpMoment::AcceptedOnly) {
        sink.frameDump(ring, start, format.length);
    }
    sink.processFrame(format.decode(ring, start), start);
    indices.ReadIndex = ringPosition(start, format.advanceAccepted);
}

void searchFrames(const FrameFormat& format, const RingStorage& ring, RingIndices& indices,
                  FrameSink& sink) {
    syncScan(ring, indices);
    while (indices.ReadIndex != indices.WriteIndex && ringSpan(indices) >= format.span) {
        examineCandidate(format, ring, indices, sink);
    }
}

}  // namespace

void handleReceivedChunk(RingStorage& ring, RingIndices& indices, const uint8_t* chunk, int length,
                         int codeFormat, FrameSink& sink) {
    sink.beginChunk();
    keepIndicesInRange(indices);
    if (chunk != nullptr) {
        appendChunk(ring, indices, chunk, length);
    }
    if (const FrameFormat* format = findFrameFormat(codeFormat)) {
        searchFrames(*format, ring, indices, sink);
    }
}

DecodedTimeCode decodeFrame(int format, const RingStorage& ring, uint16_t start) {
    const FrameFormat* frameFormat = findFrameFormat(format);
    if (frameFormat == nullptr) {
        return DecodedTimeCode{};
    }
    return frameFormat->decode(ring, ringPosition(start, 0));
}

}  // namespace zrq
