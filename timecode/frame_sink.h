// What the frame search reports to the code that processes frames: one chunk's start, the frame
// dumps and the accepted frames, in the order the search finds them.
#pragma once

#include <cstdint>

#include "timecode/receive_ring.h"
#include "timecode/time_code_format.h"

namespace zrq {

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Called once per chunk before anything else: take the chunk's clock readings.
    virtual void beginChunk() = 0;
    // Monitor and communication-log line for the `length` bytes from `start` (modulo 1000).
    virtual void frameDump(const RingStorage& ring, uint16_t start, int length) = 0;
    // An accepted and decoded frame starting at `start`; the search moves on after it returns.
    virtual void processFrame(const DecodedTimeCode& code, uint16_t start) = 0;
};

}  // namespace zrq
