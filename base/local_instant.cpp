// Local time to instant and back, for the process's time zone and for UTC.
#include "base/local_instant.h"
#include "base/time_units.h"

#include <time.h>

#include "base/date_time_value.h"

namespace zrq {
namespace {

// Seconds since 1970 of the record's date and time of day read as UTC (milliseconds left out).
int64_t secondsAsUtc(const LocalTimeRecord& t) {
    return daysFromCivil(t.year, t.month, t.day) * kSecondsPerDay +
           (t.hour * 60LL + t.minute) * 60 + t.second;
}

tm localFields(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    tm local{};
    localtime_r(&t, &local);
    return local;
}

// Whether the instant `seconds` reads as the record's date and time (to the second) here.
bool readsAs(int64_t seconds, const LocalTimeRecord& local) {
    const tm f = localFields(seconds);
    return f.tm_year + 1900 == local.year && f.tm_mon + 1 == local.month &&
           f.tm_mday == local.day && f.tm_hour == local.hour && f.tm_min == local.minute &&
           f.tm_sec == local.second;
}

}  // namespace

bool isValidLocalTime(const LocalTimeRecord& t) {
    return isValidDate(t.year, t.month, t.day) && t.hour <= 23 && t.minute <= 59 &&
           t.second <= 59 && t.milliseconds <= 999;
}

// A local time means the UTC reading of its fields less the zone's offset from UTC at that
// instant. The offsets that can be in force there are those a day either side (no zone changes
// its offset twice within two days, and no offset exceeds a day), so each of them is tried and
// kept when the instant it gives reads back as the same local time.
std::optional<int64_t> localTimeToInstant(const LocalTimeRecord& local, int64_t nearUs) {
    if (!isValidLocalTime(local)) return std::nullopt;
    const int64_t asUtc = secondsAsUtc(local);
    int64_t found[3];
    int count = 0;
    for (const int64_t probe : {asUtc - kSecondsPerDay, asUtc, asUtc + kSecondsPerDay}) {
        const int64_t candidate = asUtc - localFields(probe).tm_gmtoff;
        bool known = false;
        for (int i = 0; i < count; ++i) known = known || found[i] == candidate;
        if (!known && readsAs(candidate, local)) found[count++] = candidate;
    }
    if (count == 0) return std::nullopt;
    int64_t best = found[0] * kUsPerSecond;
    for (int i = 1; i < count; ++i) {
        const int64_t us = found[i] * kUsPerSecond;
        const int64_t distance = us > nearUs ? us - nearUs : nearUs - us;
        const int64_t bestDistance = best > nearUs ? best - nearUs : nearUs - best;
        if (distance < bestDistance || (distance == bestDistance && us < best)) best = us;
    }
    return best + local.milliseconds * kUsPerMs;
}

LocalTimeRecord localTimeOfInstant(int64_t systemUs) {
    const int64_t seconds = floorDiv(systemUs, kUsPerSecond);
    const tm f = localFields(seconds);
    LocalTimeRecord t;
    t.year = static_cast<uint16_t>(f.tm_year + 1900);
    t.month = static_cast<uint16_t>(f.tm_mon + 1);
    t.dayOfWeek = static_cast<uint16_t>(f.tm_wday);
    t.day = static_cast<uint16_t>(f.tm_mday);
    t.hour = static_cast<uint16_t>(f.tm_hour);
    t.minute = static_cast<uint16_t>(f.tm_min);
    t.second = static_cast<uint16_t>(f.tm_sec > 59 ? 59 : f.tm_sec);
    t.milliseconds = static_cast<uint16_t>((systemUs - seconds * kUsPerSecond) / kUsPerMs);
    return t;
}

std::optional<int64_t> utcTimeToInstant(const LocalTimeRecord& utc) {
    if (!isValidLocalTime(utc)) return std::nullopt;
    return secondsAsUtc(utc) * kUsPerSecond + utc.milliseconds * kUsPerMs;
}

LocalTimeRecord utcTimeOfInstant(int64_t systemUs) {
    static const LocalTimeRecord kEpoch{1970, 1, 4, 1, 0, 0, 0, 0};
    // Within the years a record can hold; an instant beyond them reads as the epoch.
    return addMilliseconds(kEpoch, floorDiv(systemUs, kUsPerMs)).value_or(kEpoch);
}

}  // namespace zrq
