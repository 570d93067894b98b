// The receive ring's byte storage, which the receiver object holds; the frame search owns the
// indices and the operations on it.
#pragma once

#include <array>
#include <cstdint>

namespace zrq {

constexpr int kRingSize = 1000;  // positions 0..999; all index arithmetic is modulo 1000

// Zeroed when the receiver object is created, never cleared afterwards.
using RingStorage = std::array<uint8_t, kRingSize>;

}  // namespace zrq
