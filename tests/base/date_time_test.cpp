// DateTimeValue conversions, calendar arithmetic and the date and time patterns, at the edges
// where they usually go wrong: midnight, month ends, leap days.
#include <gtest/gtest.h>

#include "base/date_patterns.h"
#include "base/date_time_value.h"
#include "base/fake_clock.h"
#include "tests/support/time_records.h"

namespace zrq {
namespace {

using testing::at;

TEST(DateTimeValue, KnownValues) {
    EXPECT_DOUBLE_EQ(toDateTimeValue(at(1899, 12, 30)), 0.0);
    EXPECT_DOUBLE_EQ(toDateTimeValue(at(1899, 12, 30, 12)), 0.5);
    EXPECT_DOUBLE_EQ(toDateTimeValue(at(1900, 1, 1)), 2.0);
    EXPECT_DOUBLE_EQ(toDateTimeValue(at(2024, 5, 1, 6)), 45413.25);
    EXPECT_DOUBLE_EQ(toDateTimeValue(at(1899, 12, 29, 6)), -1.25);
}

TEST(DateTimeValue, RoundTripsAtMidnightMonthEndsAndLeapDays) {
    const LocalTimeRecord cases[] = {
        at(2024, 2, 29, 23, 59, 59, 999),
        at(2024, 3, 1),
        at(2023, 2, 28, 23, 59, 59, 999),
        at(2026, 12, 31, 23, 59, 59, 999),
        at(2027, 1, 1),
        at(2000, 2, 29, 12, 30, 0, 5),
        at(1899, 12, 29, 6),
        at(2100, 3, 1, 0, 0, 0, 1),
    };
    for (const auto& t : cases) {
        EXPECT_EQ(fromDateTimeValue(toDateTimeValue(t)), t) << formatDateTime(t);
    }
}

TEST(DateTimeValue, RoundingUpTheLastMillisecondCarriesIntoTheNextDay) {
    const double almostMidnight = toDateTimeValue(at(2024, 2, 28)) + 1.0 - 1e-10;
    EXPECT_EQ(fromDateTimeValue(almostMidnight), at(2024, 2, 29));
}

TEST(DateTimeValue, TimeOfDaySplitsBackExactly) {
    for (int h : {0, 7, 12, 23}) {
        for (int m : {0, 5, 59}) {
            for (int s : {0, 9, 59}) {
                const TimeOfDay t = splitTimeOfDay(timeOfDayValue(h, m, s, 0));
                EXPECT_EQ(t.hour, h);
                EXPECT_EQ(t.minute, m);
                EXPECT_EQ(t.second, s);
                EXPECT_EQ(t.milliseconds, 0);
            }
        }
    }
    // A stored point keeps only its time of day.
    const TimeOfDay t = splitTimeOfDay(45413.0 + timeOfDayValue(20, 15, 5, 0));
    EXPECT_EQ(t.hour * 10000 + t.minute * 100 + t.second, 201505);
}

TEST(Calendar, MonthLengthsAndLeapYears) {
    EXPECT_EQ(daysInMonth(2024, 2), 29);
    EXPECT_EQ(daysInMonth(2023, 2), 28);
    EXPECT_EQ(daysInMonth(1900, 2), 28);
    EXPECT_EQ(daysInMonth(2000, 2), 29);
    EXPECT_EQ(daysInMonth(2024, 4), 30);
    EXPECT_EQ(daysInMonth(2024, 13), 0);
    EXPECT_FALSE(isValidDate(2024, 2, 30));
    EXPECT_FALSE(isValidDate(2024, 4, 31));
    EXPECT_FALSE(isValidDate(2023, 2, 29));
    EXPECT_TRUE(isValidDate(2024, 2, 29));
    EXPECT_FALSE(isValidDate(2024, 0, 1));
}

TEST(Calendar, DayOfWeek) {
    EXPECT_EQ(dayOfWeek(2024, 5, 1), 3);    // Wednesday
    EXPECT_EQ(dayOfWeek(2026, 12, 8), 2);   // Tuesday
    EXPECT_EQ(dayOfWeek(1899, 12, 30), 6);  // Saturday
    EXPECT_EQ(dayOfWeek(2000, 1, 1), 6);
}

TEST(Calendar, AddingMillisecondsCarriesIntoTheDate) {
    EXPECT_EQ(addMilliseconds(at(2024, 2, 28, 23, 59, 59, 900), 100), at(2024, 2, 29));
    EXPECT_EQ(addMilliseconds(at(2023, 12, 31, 23, 59, 59, 999), 1), at(2024, 1, 1));
    EXPECT_EQ(addMilliseconds(at(2024, 3, 1), -1), at(2024, 2, 29, 23, 59, 59, 999));
    EXPECT_EQ(addMilliseconds(at(2024, 5, 1, 12, 0, 31, 135), 20), at(2024, 5, 1, 12, 0, 31, 155));
    EXPECT_FALSE(addMilliseconds(at(2024, 2, 30), 0).has_value());
    EXPECT_FALSE(addMilliseconds(at(30827, 12, 31, 23, 59, 59, 999), 1).has_value());
    EXPECT_EQ(millisecondsBetween(at(2024, 2, 28, 23, 59, 59), at(2024, 2, 29, 0, 0, 1)), 2000);
}

TEST(DatePatterns, FixedWidthFields) {
    const LocalTimeRecord t = at(2024, 5, 1, 9, 5, 7, 305);
    EXPECT_EQ(formatDateTime(t), "2024-05-01 09:05:07");
    EXPECT_EQ(formatHms(t), "09:05:07");
    EXPECT_EQ(formatBarTime(t), "9:05:07");
    EXPECT_EQ(formatBarTime(at(2024, 5, 1, 13, 7, 42)), "13:07:42");
    EXPECT_EQ(formatBarTime(at(2024, 5, 1, 0, 0, 0)), "0:00:00");
    EXPECT_EQ(formatDateTime(at(2009, 12, 31, 23, 59, 59)), "2009-12-31 23:59:59");
}

TEST(DatePatterns, DateWithWeekday) {
    EXPECT_EQ(formatDateWithWeekday(at(2024, 5, 1)).toUtf8(), "2024-05-01 星期三 ");
    EXPECT_EQ(formatDateWithWeekday(at(2024, 2, 29)).toUtf8(), "2024-02-29 星期四 ");
    EXPECT_EQ(formatDateWithWeekday(at(2026, 12, 6)).toUtf8(), "2026-12-06 星期日 ");
    EXPECT_EQ(formatDateWithWeekday(at(2026, 12, 12)).toUtf8(), "2026-12-12 星期六 ");
    LocalTimeRecord odd = at(2024, 5, 1);
    odd.dayOfWeek = 9;  // no such day: nothing appended
    EXPECT_EQ(formatDateWithWeekday(odd).toUtf8(), "2024-05-01 ");
    EXPECT_TRUE(weekdayText(0).empty());
    EXPECT_TRUE(weekdayText(8).empty());
}

TEST(FakeClock, StepsAndRecordsSets) {
    FakeClock clock(at(2024, 2, 28, 23, 59, 59, 500));
    clock.advanceMs(600);
    EXPECT_EQ(clock.now(), at(2024, 2, 29, 0, 0, 0, 100));
    clock.advanceDays(1);
    EXPECT_EQ(clock.now(), at(2024, 3, 1, 0, 0, 0, 100));
    clock.advanceSeconds(-3601);
    EXPECT_EQ(clock.now(), at(2024, 2, 29, 22, 59, 59, 100));
    EXPECT_EQ(clock.readCount(), 3);

    EXPECT_EQ(clock.set(at(2024, 5, 1, 12, 0, 31, 155)), 0);
    EXPECT_EQ(clock.now(), at(2024, 5, 1, 12, 0, 31, 155));
    clock.refuseSetsWith(EPERM);
    EXPECT_EQ(clock.set(at(2025, 1, 1)), EPERM);
    EXPECT_EQ(clock.now(), at(2024, 5, 1, 12, 0, 31, 155));
    ASSERT_EQ(clock.sets().size(), 2u);
    EXPECT_EQ(clock.sets()[1], at(2025, 1, 1));
}

TEST(FakeClock, BeforeReadLetsTimePass) {
    FakeClock clock(at(2024, 5, 1, 12, 0, 31));
    clock.beforeRead = [](FakeClock& c) { c.advanceMs(10); };
    EXPECT_EQ(clock.now().milliseconds, 10);
    EXPECT_EQ(clock.now().milliseconds, 20);
}

TEST(SystemClock, ReadsAPlausibleLocalTimeAndNamesErrors) {
    SystemClock clock;  // reading only: no test ever sets the machine's clock
    const LocalTimeRecord t = clock.now();
    EXPECT_GE(t.year, 2024);
    EXPECT_TRUE(isValidDate(t.year, t.month, t.day));
    EXPECT_EQ(t.dayOfWeek, dayOfWeek(t.year, t.month, t.day));
    EXPECT_LT(t.milliseconds, 1000);
    EXPECT_EQ(describeClockError(EPERM), "Operation not permitted");
}

}  // namespace
}  // namespace zrq
