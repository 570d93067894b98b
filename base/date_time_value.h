// DateTimeValue: days since 1899-12-30 00:00 local time as a double; the fraction is the time of
// day.
#pragma once

#include <cstdint>
#include <optional>

#include "base/local_time.h"

namespace zrq {

using DateTimeValue = double;  // 0.5 = 12:00:00 on 1899-12-30; 1.0 = one day

// Proleptic Gregorian calendar helpers.
bool isLeapYear(int year);
int daysInMonth(int year, int month);  // 0 for a month outside 1..12
bool isValidDate(int year, int month, int day);
int dayOfWeek(int year, int month, int day);          // 0 = Sunday; date must be valid
int64_t daysFromCivil(int year, int month, int day);  // days since 1970-01-01

// a / b rounded towards minus infinity: splits a negative count into whole units and a
// non-negative rest.
inline int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Conversions. The record's day of week is ignored on the way in and derived on the way out;
// the way out rounds to whole milliseconds.
DateTimeValue toDateTimeValue(const LocalTimeRecord& time);
LocalTimeRecord fromDateTimeValue(DateTimeValue value);
DateTimeValue timeOfDayValue(int hour, int minute, int second, int milliseconds);

// Splits the time-of-day part of a value into hour, minute, second, milliseconds (rounded to ms).
struct TimeOfDay {
    int hour = 0, minute = 0, second = 0, milliseconds = 0;
};
TimeOfDay splitTimeOfDay(DateTimeValue value);

// Milliseconds since the record's midnight, from its time-of-day fields alone (0..86'399'999 for
// fields in range).
int64_t msOfDay(const LocalTimeRecord& time);
// Milliseconds between two records (b - a), for elapsed times; both must hold valid dates.
int64_t millisecondsBetween(const LocalTimeRecord& a, const LocalTimeRecord& b);
// Adds a signed number of milliseconds with carry into the date; nullopt if the record's date is
// invalid or the result leaves years 1601..30827 (what a local time record can hold).
std::optional<LocalTimeRecord> addMilliseconds(const LocalTimeRecord& time, int64_t ms);

}  // namespace zrq
