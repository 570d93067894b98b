// Byte strings for tests of the serial line: BCD digits and streams joined from pieces.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace zrq::testing {

using Bytes = std::vector<uint8_t>;

// Two decimal digits 0..99 in one byte, tens in the high nibble: 31 -> 0x31.
inline uint8_t bcd(int value) { return static_cast<uint8_t>((value / 10) * 16 + value % 10); }

// The pieces one after the other, e.g. a frame split by noise.
inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace zrq::testing
