// DateTimeValue conversions, calendar arithmetic and the date and time patterns, at the edges
// where they usually go wrong: midnight, month ends, leap days.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "base/clock_privilege.h"
#include "base/date_patterns.h"
#include "base/date_time_value.h"
#include "base/local_instant.h"
#include "tests/support/fake_clock.h"
#include "tests/support/time_records.h"

namespace zrq {
namespace {

using testing::at;
using testing::utcUs;

TEST(DateTimeValue, KnownValues) {
    EXPECT_DOUBLE_EQ(toDateTimeValue(at(1899, 12, 30)), 0.0);
    EXPECT_DOUBLE_EQ(toDateTimeValue(at(1899, 12, 30, 12)), 0.5);
    EXPECT_DOUBLE_EQ(toDateTimeValue(at(1900, 1, 1)), 2.0);
    EXPECT_DOUBLE_EQ(toDateTimeValue(at(2024, 5, 1, 6)), 45413.25);
    EXPECT_DOUBLE_EQ(toDateTimeValue(at(1899, 12, 29, 6)), -1.25);
    // The milliseconds of the day ignore the date.
    EXPECT_EQ(msOfDay(at(2024, 5, 1)), 0);
    EXPECT_EQ(msOfDay(at(1899, 12, 29, 6)), 21'600'000);
    EXPECT_EQ(msOfDay(at(2026, 12, 31, 23, 59, 59, 999)), 86'399'999);
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
    clock.advanceUs(-1);
    const PreciseTime precise = clock.nowPrecise();
    EXPECT_EQ(precise.local, at(2024, 2, 29, 22, 59, 59, 99));
    EXPECT_EQ(precise.microseconds, 999);
    EXPECT_EQ(precise.systemUs, utcUs(2024, 2, 29, 22, 59, 59, 100) - 1);
    EXPECT_EQ(clock.readCount(), 4);

    const int64_t target = utcUs(2024, 5, 1, 12, 0, 31, 155) + 250;  // to the microsecond
    EXPECT_EQ(clock.setInstant(target), 0);
    EXPECT_EQ(clock.nowUs(), target);
    EXPECT_EQ(clock.now(), at(2024, 5, 1, 12, 0, 31, 155));
    clock.refuseSetsWith(EPERM);
    EXPECT_EQ(clock.setInstant(utcUs(2025, 1, 1)), EPERM);
    EXPECT_EQ(clock.nowUs(), target);
    EXPECT_EQ(clock.sets(),
              (std::vector<LocalTimeRecord>{at(2024, 5, 1, 12, 0, 31, 155), at(2025, 1, 1)}));
    EXPECT_EQ(clock.setInstants(), (std::vector<int64_t>{target, utcUs(2025, 1, 1)}));
}

// Only 2020-01-01 00:00 UTC up to, not including, 2100 is ever handed to a clock.
TEST(FakeClock, InstantsOutsideTheSettableYearsNeverReachTheClock) {
    FakeClock clock(at(2024, 5, 1));
    struct Case {
        int64_t instant;
        int result;
    };
    const Case cases[] = {
        {utcUs(2020, 1, 1) - 1, ERANGE}, {utcUs(2020, 1, 1), 0},      {utcUs(2100, 1, 1) - 1, 0},
        {utcUs(2100, 1, 1), ERANGE},     {utcUs(2165, 5, 1), ERANGE}, {-1, ERANGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.instant);
        EXPECT_EQ(isSettableInstant(c.instant), c.result == 0);
        EXPECT_EQ(clock.setInstant(c.instant), c.result);
    }
    EXPECT_EQ(clock.setInstants(),
              (std::vector<int64_t>{utcUs(2020, 1, 1), utcUs(2100, 1, 1) - 1}));
    EXPECT_EQ(kFirstSettableUs, utcUs(2020, 1, 1));
    EXPECT_EQ(kEndOfSettableUs, utcUs(2100, 1, 1));
}

// In the process's zone the fake clock reads both passes of the repeated hour as the system
// clock does, and its sets land on the instant, not on a local time.
TEST(FakeClock, ModelsTheProcessZoneWithSummerTime) {
    testing::ScopedTimeZone berlin("Europe/Berlin");
    FakeClock clock(at(2026, 10, 25, 2, 59, 59, 500), FakeClock::Zone::Process);
    EXPECT_EQ(clock.nowUs(), utcUs(2026, 10, 25, 0, 59, 59, 500));  // the first pass, CEST
    clock.advanceMs(1000);
    EXPECT_EQ(clock.now(), at(2026, 10, 25, 2, 0, 0, 500));  // the second pass, CET
    EXPECT_EQ(clock.preciseAt(at(2026, 10, 25, 2, 30), 7).systemUs,
              utcUs(2026, 10, 25, 1, 30) + 7);  // the pass nearer the clock
    clock.setNow(at(2026, 10, 25, 12, 0, 0));
    EXPECT_EQ(clock.nowUs(), utcUs(2026, 10, 25, 11, 0, 0));
    clock.setNow(at(2026, 3, 29, 2, 30));  // does not occur: the clock stays
    EXPECT_EQ(clock.nowUs(), utcUs(2026, 10, 25, 11, 0, 0));
    EXPECT_EQ(clock.setInstant(utcUs(2026, 3, 29, 1, 0, 0) - 1), 0);
    EXPECT_EQ(clock.sets(), (std::vector<LocalTimeRecord>{at(2026, 3, 29, 1, 59, 59, 999)}));
}

// A local time to an instant, without guessing: the repeated hour's two passes are both found
// and the one nearer the reference is taken; the skipped hour names no instant.
TEST(LocalTimeToInstant, RepeatedSkippedAndOrdinaryHours) {
    struct Case {
        const char* zone;
        LocalTimeRecord local;
        int64_t near;
        std::optional<int64_t> expected;
    };
    const int64_t anyNear = utcUs(2026, 6, 1);
    const Case cases[] = {
        // An ordinary day, summer and winter time, milliseconds carried.
        {"Europe/Berlin", at(2026, 5, 1, 12, 0, 31, 135), anyNear,
         utcUs(2026, 5, 1, 10, 0, 31, 135)},
        {"Europe/Berlin", at(2026, 1, 15, 0, 0, 0), anyNear, utcUs(2026, 1, 14, 23, 0, 0)},
        // Summer time ends on 2026-10-25: 02:00-02:59:59 local happens at 00:xx and 01:xx UTC.
        {"Europe/Berlin", at(2026, 10, 25, 2, 30), utcUs(2026, 10, 25, 1, 29),
         utcUs(2026, 10, 25, 1, 30)},
        {"Europe/Berlin", at(2026, 10, 25, 2, 30), utcUs(2026, 10, 25, 0, 31),
         utcUs(2026, 10, 25, 0, 30)},
        {"Europe/Berlin", at(2026, 10, 25, 2, 30), utcUs(2026, 10, 25, 1, 0),
         utcUs(2026, 10, 25, 0, 30)},
        {"Europe/Berlin", at(2026, 10, 25, 2, 0, 0), utcUs(2026, 10, 26),
         utcUs(2026, 10, 25, 1, 0)},
        {"Europe/Berlin", at(2026, 10, 25, 2, 59, 59, 999), utcUs(2026, 10, 24),
         utcUs(2026, 10, 25, 0, 59, 59, 999)},
        {"Europe/Berlin", at(2026, 10, 25, 1, 59, 59), utcUs(2026, 10, 26),
         utcUs(2026, 10, 24, 23, 59, 59)},
        {"Europe/Berlin", at(2026, 10, 25, 3, 0, 0), utcUs(2026, 10, 24),
         utcUs(2026, 10, 25, 2, 0, 0)},
        // Summer time begins on 2026-03-29: 02:00-02:59:59 local does not occur.
        {"Europe/Berlin", at(2026, 3, 29, 2, 30), utcUs(2026, 3, 29, 1, 0), std::nullopt},
        {"Europe/Berlin", at(2026, 3, 29, 2, 0, 0), utcUs(2026, 3, 29, 1, 0), std::nullopt},
        {"Europe/Berlin", at(2026, 3, 29, 2, 59, 59, 999), utcUs(2026, 3, 29, 1, 0), std::nullopt},
        {"Europe/Berlin", at(2026, 3, 29, 1, 59, 59), anyNear, utcUs(2026, 3, 29, 0, 59, 59)},
        {"Europe/Berlin", at(2026, 3, 29, 3, 0, 0), anyNear, utcUs(2026, 3, 29, 1, 0, 0)},
        // A zone whose summer time is half an hour: 01:30-01:59 repeats on 2026-04-05.
        {"Australia/Lord_Howe", at(2026, 4, 5, 1, 45), utcUs(2026, 4, 4, 15, 10),
         utcUs(2026, 4, 4, 15, 15)},
        {"Australia/Lord_Howe", at(2026, 4, 5, 1, 45), utcUs(2026, 4, 4, 14, 40),
         utcUs(2026, 4, 4, 14, 45)},
        {"UTC", at(2026, 10, 25, 2, 30), anyNear, utcUs(2026, 10, 25, 2, 30)},
        {"CST-8", at(2026, 3, 7, 10, 0, 25), anyNear, utcUs(2026, 3, 7, 2, 0, 25)},
        // No valid local time at all.
        {"Europe/Berlin", at(2026, 2, 30, 12, 0, 0), anyNear, std::nullopt},
        {"Europe/Berlin", at(2026, 5, 1, 24, 0, 0), anyNear, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.zone << " " << c.local.year << "-" << c.local.month << "-" << c.local.day
                     << " " << c.local.hour << ":" << c.local.minute << ":" << c.local.second
                     << " near " << c.near);
        testing::ScopedTimeZone zone(c.zone);
        const std::optional<int64_t> instant = localTimeToInstant(c.local, c.near);
        EXPECT_EQ(instant, c.expected);
        // Each instant found reads back as the local time it came from.
        if (instant) {
            LocalTimeRecord back = localTimeOfInstant(*instant);
            EXPECT_EQ(back, c.local);
        }
    }
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
    EXPECT_EQ(describeClockError(ERANGE), "time out of range");
    EXPECT_EQ(describeClockError(ETIMEDOUT), "no answer from the privileged part within 2 s");
}

// The sets of a split program go to the privileged part with the monotonic time of the reading
// their target was computed from, so that the part adds the time since; the machine's clock is
// never reached here.
class RecordingSetter final : public RealtimeSetter {
public:
    int setRealtime(const timespec& target, int64_t computedAtMonotonicNs) override {
        targets.push_back(target);
        computedAt.push_back(computedAtMonotonicNs);
        return 0;
    }
    std::vector<timespec> targets;
    std::vector<int64_t> computedAt;
};

TEST(SystemClock, SendsTheTargetWithTheMonotonicTimeOfItsReading) {
    RecordingSetter setter;
    SystemClock clock(&setter);
    const PreciseTime reading = clock.nowPrecise();
    ASSERT_GT(reading.monotonicUs, 0);
    const int64_t target = utcUs(2026, 3, 7, 2, 0, 1) + 135'250;
    EXPECT_EQ(clock.setInstant(target, reading), 0);
    EXPECT_EQ(clock.setInstant(target), 0);  // computed just now
    ASSERT_EQ(setter.targets.size(), 2u);
    EXPECT_EQ(setter.targets[0].tv_sec, utcUs(2026, 3, 7, 2, 0, 1) / 1'000'000);
    EXPECT_EQ(setter.targets[0].tv_nsec, 135'250'000);
    EXPECT_EQ(setter.computedAt[0], reading.monotonicUs * 1000);
    EXPECT_GE(setter.computedAt[1], setter.computedAt[0]);
}

}  // namespace
}  // namespace zrq
