// Appending to the receive ring and keeping its indices in range.
#include "timecode/receive_ring.h"

namespace zrq {

void ReceiveRing::append(const uint8_t* chunk, int length) {
    for (int i = 0; i < length; ++i) {
        indices_.WriteIndex = ringPosition(indices_.WriteIndex, 1);
        if (indices_.WriteIndex == indices_.ReadIndex) return;
        bytes_[indices_.WriteIndex] = chunk[i];
    }
}

void ReceiveRing::keepIndicesInRange() {
    indices_.WriteIndex = ringPosition(indices_.WriteIndex, 0);
    indices_.ReadIndex = ringPosition(indices_.ReadIndex, 0);
}

}  // namespace zrq
