// The three time code formats a device may send, as numbered in the settings (CodeFormat).
#pragma once

#include <cstdint>

namespace zrq {

enum TimeCodeFormat : uint8_t {
    TVZ_CODE = 1,  // 9 bytes, BCD date and time
    EB_CODE = 2,   // 13 bytes, binary time and date
    ST_CODE = 3,   // 12 bytes, BCD with a four-digit year, end byte 0x03
};

// One accepted frame, decoded. Date fields hold 0 where the frame's byte was zero (absent): the
// PC's value is then used.
struct DecodedTimeCode {
    uint16_t hour = 0;  // as decoded, no range test (BCD 0x25 gives 25)
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t year = 0;   // four digits, or 0 = absent
    uint16_t month = 0;  // 0 = absent
    uint16_t day = 0;    // 0 = absent
    // A BCD byte of the frame holds a digit above 9: a byte damaged on the line, so the frame
    // says nothing true and is neither compared nor used.
    bool damaged = false;
    // Not the newest complete frame of its read: it waited in the line while the program or the
    // line stalled, so it is a second or more older than the read's arrival stamp.
    bool stale = false;

    friend bool operator==(const DecodedTimeCode&, const DecodedTimeCode&) = default;
};

}  // namespace zrq
