// Calendar arithmetic and DateTimeValue conversions (days since 1899-12-30, proleptic Gregorian).
#include "base/date_time_value.h"
#include "base/time_units.h"

#include <cmath>

namespace zrq {
namespace {

// Days from 1899-12-30 (DateTimeValue 0) to 1970-01-01.
constexpr int64_t kDaysFrom1899To1970 = 25569;
// The years a local time record can hold.
constexpr int kMinYear = 1601;
constexpr int kMaxYear = 30827;

struct CivilDate {
    int year, month, day;
};

// Inverse of daysFromCivil (Howard Hinnant's algorithm).
CivilDate civilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
    return {year, month, day};
}

int64_t msOfRecord(const LocalTimeRecord& t) {
    return daysFromCivil(t.year, t.month, t.day) * kMsPerDay + msOfDay(t);
}

LocalTimeRecord recordOfMs(int64_t ms) {
    const int64_t days = floorDiv(ms, kMsPerDay);
    int64_t rest = ms - days * kMsPerDay;
    const CivilDate d = civilFromDays(days);
    LocalTimeRecord t;
    t.year = static_cast<uint16_t>(d.year);
    t.month = static_cast<uint16_t>(d.month);
    t.day = static_cast<uint16_t>(d.day);
    t.dayOfWeek = static_cast<uint16_t>(dayOfWeek(d.year, d.month, d.day));
    t.milliseconds = static_cast<uint16_t>(rest % 1000);
    rest /= 1000;
    t.second = static_cast<uint16_t>(rest % 60);
    rest /= 60;
    t.minute = static_cast<uint16_t>(rest % 60);
    t.hour = static_cast<uint16_t>(rest / 60);
    return t;
}

}  // namespace

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

bool isValidDate(int year, int month, int day) {
    return day >= 1 && day <= daysInMonth(year, month);
}

int64_t daysFromCivil(int year, int month, int day) {
    const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t mp = month > 2 ? month - 3 : month + 9;
    const int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int dayOfWeek(int year, int month, int day) {
    // 1970-01-01 was a Thursday (4).
    const int64_t days = daysFromCivil(year, month, day);
    return static_cast<int>(((days % 7) + 7 + 4) % 7);
}

DateTimeValue toDateTimeValue(const LocalTimeRecord& time) {
    const int64_t days = daysFromCivil(time.year, time.month, time.day) + kDaysFrom1899To1970;
    // Before 1899-12-30 the whole part counts back while the fraction still counts forward
    // (-1.25 is 1899-12-29 06:00), so the fraction is added to the magnitude.
    const double fraction = static_cast<double>(msOfDay(time)) / kMsPerDay;
    return days >= 0 ? days + fraction : days - fraction;
}

LocalTimeRecord fromDateTimeValue(DateTimeValue value) {
    double whole = std::trunc(value);
    double fraction = std::fabs(value - whole);
    int64_t msOfDay = std::llround(fraction * kMsPerDay);
    int64_t days = static_cast<int64_t>(whole);
    if (msOfDay >= kMsPerDay) {  // rounding reached the next day
        msOfDay -= kMsPerDay;
        days += value >= 0 ? 1 : -1;
    }
    return recordOfMs((days - kDaysFrom1899To1970) * kMsPerDay + msOfDay);
}

int64_t msOfDay(const LocalTimeRecord& time) {
    return ((time.hour * 60LL + time.minute) * 60 + time.second) * 1000 + time.milliseconds;
}

DateTimeValue timeOfDayValue(int hour, int minute, int second, int milliseconds) {
    return static_cast<double>(((hour * 60LL + minute) * 60 + second) * 1000 + milliseconds) /
           kMsPerDay;
}

TimeOfDay splitTimeOfDay(DateTimeValue value) {
    double fraction = std::fabs(value - std::trunc(value));
    int64_t ms = std::llround(fraction * kMsPerDay) % kMsPerDay;
    TimeOfDay t;
    t.milliseconds = static_cast<int>(ms % 1000);
    ms /= 1000;
    t.second = static_cast<int>(ms % 60);
    ms /= 60;
    t.minute = static_cast<int>(ms % 60);
    t.hour = static_cast<int>(ms / 60);
    return t;
}

int64_t millisecondsBetween(const LocalTimeRecord& a, const LocalTimeRecord& b) {
    return msOfRecord(b) - msOfRecord(a);
}

std::optional<LocalTimeRecord> addMilliseconds(const LocalTimeRecord& time, int64_t ms) {
    if (!isValidDate(time.year, time.month, time.day) || time.hour > 23 || time.minute > 59 ||
        time.second > 59 || time.milliseconds > 999) {
        return std::nullopt;
    }
    LocalTimeRecord result = recordOfMs(msOfRecord(time) + ms);
    if (result.year < kMinYear || result.year > kMaxYear) return std::nullopt;
    return result;
}

}  // namespace zrq
