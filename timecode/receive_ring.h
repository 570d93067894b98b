// The receive ring: 1000 bytes of received data and the two indices the frame search moves.
#pragma once

#include <array>
#include <cstdint>

namespace zrq {

constexpr int kRingSize = 1000;  // positions 0..999; all index arithmetic is modulo 1000

// The ring's byte storage; it lives in the receiver object, zeroed at creation, never cleared.
using RingStorage = std::array<uint8_t, kRingSize>;

// The ring's indices; they live in the main bar. Empty when equal.
struct RingIndices {
    uint16_t WriteIndex = 0;  // position of the byte stored most recently
    uint16_t ReadIndex = 0;   // position of the next byte to examine
};

}  // namespace zrq
