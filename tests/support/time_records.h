// Local time records written the way tests think of them: at(2024, 5, 1, 12, 0, 31).
#pragma once

#include <cstdint>

#include "base/date_time_value.h"
#include "base/local_time.h"

namespace zrq::testing {

// The record of a valid date and time of day, with its day of the week filled in.
inline LocalTimeRecord at(int year, int month, int day, int hour = 0, int minute = 0,
                          int second = 0, int ms = 0) {
    LocalTimeRecord t;
    t.year = static_cast<uint16_t>(year);
    t.month = static_cast<uint16_t>(month);
    t.dayOfWeek = static_cast<uint16_t>(dayOfWeek(year, month, day));
    t.day = static_cast<uint16_t>(day);
    t.hour = static_cast<uint16_t>(hour);
    t.minute = static_cast<uint16_t>(minute);
    t.second = static_cast<uint16_t>(second);
    t.milliseconds = static_cast<uint16_t>(ms);
    return t;
}

}  // namespace zrq::testing
