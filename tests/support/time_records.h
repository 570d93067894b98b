// Local time records written the way tests think of them: at(2024, 5, 1, 12, 0, 31).
#pragma once

#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/date_time_value.h"
#include "base/local_instant.h"
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

// Microseconds since 1970 of a UTC date and time: the instants the tests expect.
inline int64_t utcUs(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                     int ms = 0) {
    return *utcTimeToInstant(at(year, month, day, hour, minute, second, ms));
}

// Puts the process in a time zone (TZ, then tzset) for the object's life, then back as it was.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (hadOld_) {
            ::setenv("TZ", old_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool hadOld_ = false;
    std::string old_;
};

}  // namespace zrq::testing
