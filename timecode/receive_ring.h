// The receive ring: 1000 bytes of received data and the two indices the frame search moves.
#pragma once

#include <cstdint>

#include "serial/ring_storage.h"

namespace zrq {

// The ring's indices; they live in the main bar. Empty when equal.
struct RingIndices {
    uint16_t WriteIndex = 0;  // position of the byte stored most recently
    uint16_t ReadIndex = 0;   // position of the next byte to examine
};

}  // namespace zrq
