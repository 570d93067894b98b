// The three time code formats as one table of framing and decoding parameters that the frame
// search walks, so that the search loop exists once for all formats.
#pragma once

#include <cstdint>

#include "timecode/receive_ring.h"
#include "timecode/time_code_format.h"

namespace zrq {

constexpr uint8_t kSyncByte = 0xAA;  // every format's first byte; the sync scan stops on it

// When a format's frame dump (monitor and communication-log line) is written.
enum class DumpMoment : uint8_t {
    AcceptedOnly,    // for accepted frames only, just before they are processed
    EveryCandidate,  // for every candidate, before its acceptance test, accepted or not
};

struct FrameFormat {
    int length;  // bytes of one frame, as shown in the dump
    // Ring span (WriteIndex - ReadIndex, modulo 1000) needed before a candidate is examined: the
    // frame's last byte sits at `span` positions past its start.
    int span;
    DumpMoment dump;
    int advanceAccepted;  // read position after an accepted frame, in bytes past its start
    int advanceRejected;  // read position after a rejected candidate, in bytes past its start
    bool (*accepts)(const RingStorage& ring, uint16_t start);
    DecodedTimeCode (*decode)(const RingStorage& ring, uint16_t start);
};

// The parameters of `codeFormat` (a TimeCodeFormat), or nullptr for any other value.
const FrameFormat* findFrameFormat(int codeFormat);

// Byte `offset` of the frame that starts at ring position `start`.
inline uint8_t frameByte(const RingStorage& ring, uint16_t start, int offset) {
    return ring[ringPosition(start, offset)];
}

}  // namespace zrq
