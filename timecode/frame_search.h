// The first half of the received-data handler: append a chunk to the ring and find the frames of
// the selected format in it, however the bytes were split into chunks and wherever the ring wraps.
#pragma once

#include <cstdint>

#include "timecode/frame_sink.h"
#include "timecode/receive_ring.h"

namespace zrq {

// Appends `length` (1..255) bytes to the ring, then runs the search of `codeFormat` (a
// TimeCodeFormat; any other value only accumulates). Reports to `sink` in order: beginChunk,
// then the dumps and accepted frames. Allocates nothing.
void handleReceivedChunk(ReceiveRing& ring, const uint8_t* chunk, int length, int codeFormat,
                         FrameSink& sink);
// The same over the ring's storage and indices.
void handleReceivedChunk(RingStorage& storage, RingIndices& indices, const uint8_t* chunk,
                         int length, int codeFormat, FrameSink& sink);

// Decodes the accepted frame of `format` that starts at `start`.
DecodedTimeCode decodeFrame(int format, const RingStorage& ring, uint16_t start);

}  // namespace zrq
