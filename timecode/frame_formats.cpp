// Acceptance tests, decoders and the framing table of the three time code formats.
#include "timecode/frame_formats.h"

#include <cstddef>

namespace zrq {
namespace {

constexpr uint8_t kStEndByte = 0x03;     // last byte of an ST_CODE frame
constexpr uint16_t kCenturyBase = 2000;  // TVZ_CODE and EB_CODE years are years of this century
constexpr uint16_t kYearsPerCentury = 100;

constexpr uint8_t kLargestDigit = 9;

// One decimal digit per nibble. Nibbles above 9 are taken at face value (0x1F = 25, 0xAA = 110),
// and the frame is marked damaged: such a byte was changed on the line.
uint16_t bcdValue(uint8_t byte) { return static_cast<uint16_t>(10 * (byte >> 4) + (byte & 0x0F)); }

bool isBcd(uint8_t byte) { return (byte >> 4) <= kLargestDigit && (byte & 0x0F) <= kLargestDigit; }

// Whether every byte at `offsets` of the frame is BCD.
template <size_t N>
bool allBcd(const RingStorage& ring, uint16_t start, const int (&offsets)[N]) {
    for (const int offset : offsets) {
        if (!isBcd(frameByte(ring, start, offset))) return false;
    }
    return true;
}

// A zero date byte carries no information (the PC's value is used), so it decodes to 0.
uint16_t yearOfThisCentury(uint8_t byte, uint16_t value) {
    return byte == 0 ? 0 : static_cast<uint16_t>(kCenturyBase + value);
}

// TVZ_CODE, 9 bytes: AA 00, then BCD year, month, day, an unused byte, BCD hour, minute, second.
bool tvzAccepts(const RingStorage& ring, uint16_t start) {
    return frameByte(ring, start, 0) == kSyncByte && frameByte(ring, start, 1) == 0x00;
}

DecodedTimeCode tvzDecode(const RingStorage& ring, uint16_t start) {
    const uint8_t yearByte = frameByte(ring, start, 2);
    DecodedTimeCode code;
    code.year = yearOfThisCentury(yearByte, bcdValue(yearByte));
    code.month = bcdValue(frameByte(ring, start, 3));
    code.day = bcdValue(frameByte(ring, start, 4));
    code.hour = bcdValue(frameByte(ring, start, 6));
    code.minute = bcdValue(frameByte(ring, start, 7));
    code.second = bcdValue(frameByte(ring, start, 8));
    static constexpr int kBcdBytes[] = {2, 3, 4, 6, 7, 8};
    code.damaged = !allBcd(ring, start, kBcdBytes);
    return code;
}

// EB_CODE, 13 bytes: AA AA AA, then plain byte values, least significant unit first: second,
// minute, hour, an unused byte, day, month, year; bytes 10..12 are not interpreted.
bool ebAccepts(const RingStorage& ring, uint16_t start) {
    return frameByte(ring, start, 0) == kSyncByte && frameByte(ring, start, 1) == kSyncByte &&
           frameByte(ring, start, 2) == kSyncByte;
}

DecodedTimeCode ebDecode(const RingStorage& ring, uint16_t start) {
    const uint8_t yearByte = frameByte(ring, start, 9);
    DecodedTimeCode code;
    code.second = frameByte(ring, start, 3);
    code.minute = frameByte(ring, start, 4);
    code.hour = frameByte(ring, start, 5);
    code.day = frameByte(ring, start, 7);
    code.month = frameByte(ring, start, 8);
    code.year = yearOfThisCentury(yearByte, yearByte);
    return code;
}

// ST_CODE, 12 bytes: AA, two unused bytes, BCD century, year, month, day, an unused byte, BCD
// hour, minute, second, end byte 03. Only the end byte is tested; byte 0 is seen by the sync
// scan for the first candidate of a chunk only.
bool stAccepts(const RingStorage& ring, uint16_t start) {
    return frameByte(ring, start, 11) == kStEndByte;
}

DecodedTimeCode stDecode(const RingStorage& ring, uint16_t start) {
    const uint8_t centuryByte = frameByte(ring, start, 3);
    DecodedTimeCode code;
    // A zero century marks the whole year absent, whatever the year-within-century byte holds.
    if (centuryByte != 0) {
        code.year = static_cast<uint16_t>(kYearsPerCentury * bcdValue(centuryByte) +
                                          bcdValue(frameByte(ring, start, 4)));
    }
    code.month = bcdValue(frameByte(ring, start, 5));
    code.day = bcdValue(frameByte(ring, start, 6));
    code.hour = bcdValue(frameByte(ring, start, 8));
    code.minute = bcdValue(frameByte(ring, start, 9));
    code.second = bcdValue(frameByte(ring, start, 10));
    // The year-within-century byte counts even when the century is absent: it is still a BCD
    // byte of the frame, and a damaged one says the frame was hit.
    static constexpr int kBcdBytes[] = {3, 4, 5, 6, 8, 9, 10};
    code.damaged = !allBcd(ring, start, kBcdBytes);
    return code;
}

// The advances decide which frames are seen at all:
// - TVZ_CODE rests on an accepted frame's last byte; the next pass rejects it and steps on by
//   one, so back-to-back frames in one chunk are all found.
// - EB_CODE moves 11 bytes whether accepted or not; a second frame right behind an accepted one
//   is skipped into and not seen until a later chunk's sync scan.
// - ST_CODE rests on an accepted frame's end byte and steps two bytes past a rejected candidate.
constexpr FrameFormat kTvzFormat{.length = 9,
                                 .span = 8,
                                 .dump = DumpMoment::AcceptedOnly,
                                 .advanceAccepted = 8,
                                 .advanceRejected = 1,
                                 .accepts = tvzAccepts,
                                 .decode = tvzDecode};
constexpr FrameFormat kEbFormat{.length = 13,
                                .span = 12,
                                .dump = DumpMoment::AcceptedOnly,
                                .advanceAccepted = 11,
                                .advanceRejected = 11,
                                .accepts = ebAccepts,
                                .decode = ebDecode};
constexpr FrameFormat kStFormat{.length = 12,
                                .span = 11,
                                .dump = DumpMoment::EveryCandidate,
                                .advanceAccepted = 11,
                                .advanceRejected = 2,
                                .accepts = stAccepts,
                                .decode = stDecode};

// An advance beyond the span would carry the read position past WriteIndex, and the candidate
// loop would then run round the whole ring over stale bytes; an advance of 0 would never end.
constexpr bool advancesStayWithinSpan(const FrameFormat& f) {
    return f.advanceAccepted >= 1 && f.advanceAccepted <= f.span && f.advanceRejected >= 1 &&
           f.advanceRejected <= f.span;
}
static_assert(advancesStayWithinSpan(kTvzFormat));
static_assert(advancesStayWithinSpan(kEbFormat));
static_assert(advancesStayWithinSpan(kStFormat));

}  // namespace

const FrameFormat* findFrameFormat(int codeFormat) {
    switch (codeFormat) {
        case TVZ_CODE:
            return &kTvzFormat;
        case EB_CODE:
            return &kEbFormat;
        case ST_CODE:
            return &kStFormat;
        default:
            return nullptr;
    }
}

}  // namespace zrq
