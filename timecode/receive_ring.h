// The receive ring: 1000 bytes of received data and the two indices the frame search moves, with
// every operation that changes them.
#pragma once

#include <cstdint>

#include "serial/ring_storage.h"

namespace zrq {

// The ring's indices; they live in the clock engine. Empty when equal.
struct RingIndices {
    uint16_t WriteIndex = 0;  // position of the byte stored most recently
    uint16_t ReadIndex = 0;   // position of the next byte to examine
};

// Ring position `offset` bytes past `position`, across the wrap from 999 to 0.
inline uint16_t ringPosition(uint16_t position, int offset) {
    return static_cast<uint16_t>((position + offset) % kRingSize);
}

// The ring as one object over storage and indices that live elsewhere (the storage in the
// receiver object, the indices in the clock engine).
class ReceiveRing {
public:
    ReceiveRing(RingStorage& bytes, RingIndices& indices) : bytes_(bytes), indices_(indices) {}

    // Stores `length` bytes behind WriteIndex. When the next write position reaches ReadIndex the
    // ring is full: that byte and the rest of the chunk are dropped and, since the indices are
    // now equal, the ring is empty, losing every unexamined byte too.
    void append(const uint8_t* chunk, int length);
    // Bytes stored past the read position, modulo 1000; the byte at WriteIndex counts.
    int span() const { return (indices_.WriteIndex + kRingSize - indices_.ReadIndex) % kRingSize; }
    bool empty() const { return indices_.ReadIndex == indices_.WriteIndex; }
    // Indices only ever hold 0..999; anything else is brought into range instead of indexing
    // past the storage.
    void keepIndicesInRange();
    // Moves the read position `offset` bytes on.
    void advanceRead(int offset) { indices_.ReadIndex = ringPosition(indices_.ReadIndex, offset); }

    // Start-up: both indices at 0.
    void resetAtStartUp() { indices_ = RingIndices{0, 0}; }
    // A format switch: both indices at 1, so the new format starts on an empty ring.
    void resetAfterFormatSwitch() { indices_ = RingIndices{1, 1}; }

    const RingStorage& bytes() const { return bytes_; }
    uint16_t readIndex() const { return indices_.ReadIndex; }
    uint16_t writeIndex() const { return indices_.WriteIndex; }

private:
    RingStorage& bytes_;
    RingIndices& indices_;
};

}  // namespace zrq
