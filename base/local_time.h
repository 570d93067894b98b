// The local time record: the broken-down local date and time the clock interface reads and sets.
#pragma once

#include <cstdint>

namespace zrq {

// Every field unsigned 16-bit, in the order the clock device's host platform lays them out.
struct LocalTimeRecord {
    uint16_t year = 0;          // four digits, e.g. 2026
    uint16_t month = 0;         // 1..12
    uint16_t dayOfWeek = 0;     // 0 = Sunday .. 6 = Saturday
    uint16_t day = 0;           // 1..31
    uint16_t hour = 0;          // 0..23
    uint16_t minute = 0;        // 0..59
    uint16_t second = 0;        // 0..59
    uint16_t milliseconds = 0;  // 0..999

    friend bool operator==(const LocalTimeRecord&, const LocalTimeRecord&) = default;
};

}  // namespace zrq
