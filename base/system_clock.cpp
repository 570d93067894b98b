// The machine's clock: read through clock_gettime + localtime_r, set through mktime +
// clock_settime, or through the privileged part's channel when the program was split.
#include <time.h>

#include <cerrno>
#include <cstring>

#include "base/clock_privilege.h"
#include "base/date_time_value.h"
#include "base/local_clock.h"

namespace zrq {

namespace {

constexpr int64_t kUsPerSecond = 1'000'000;
constexpr int64_t kNsPerUs = 1'000;
constexpr int64_t kUsPerMs = 1'000;

LocalTimeRecord localRecord(const timespec& ts) {
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    LocalTimeRecord t;
    t.year = static_cast<uint16_t>(local.tm_year + 1900);
    t.month = static_cast<uint16_t>(local.tm_mon + 1);
    t.dayOfWeek = static_cast<uint16_t>(local.tm_wday);
    t.day = static_cast<uint16_t>(local.tm_mday);
    t.hour = static_cast<uint16_t>(local.tm_hour);
    t.minute = static_cast<uint16_t>(local.tm_min);
    // A leap second (tm_sec 60) is shown as the last second of the minute.
    t.second = static_cast<uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
    t.milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1'000'000);
    return t;
}

}  // namespace

PreciseTime LocalClock::nowPrecise() {
    const LocalTimeRecord t = now();
    const int64_t ms = daysFromCivil(t.year, t.month, t.day) * 86'400'000 +
                       ((t.hour * 60LL + t.minute) * 60 + t.second) * 1000 + t.milliseconds;
    return PreciseTime{t, 0, ms * kUsPerMs};
}

int64_t microsecondsBetween(const PreciseTime& a, const PreciseTime& b) {
    return millisecondsBetween(a.local, b.local) * kUsPerMs + b.microseconds - a.microseconds;
}

LocalTimeRecord SystemClock::now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return localRecord(ts);
}

PreciseTime SystemClock::nowPrecise() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const int64_t us = ts.tv_nsec / kNsPerUs;
    return PreciseTime{localRecord(ts), static_cast<uint16_t>(us % kUsPerMs),
                       ts.tv_sec * kUsPerSecond + us};
}

int SystemClock::set(const LocalTimeRecord& time) {
    if (!isValidDate(time.year, time.month, time.day) || time.hour > 23 || time.minute > 59 ||
        time.second > 59 || time.milliseconds > 999) {
        return EINVAL;
    }
    tm local{};
    local.tm_year = time.year - 1900;
    local.tm_mon = time.month - 1;
    local.tm_mday = time.day;
    local.tm_hour = time.hour;
    local.tm_min = time.minute;
    local.tm_sec = time.second;
    local.tm_isdst = -1;  // let the zone rules decide summer time
    errno = 0;
    const time_t seconds = mktime(&local);
    if (seconds == static_cast<time_t>(-1) && errno != 0) return errno;
    const timespec ts{seconds, static_cast<long>(time.milliseconds) * 1'000'000};
    if (setter_ != nullptr) return setter_->setRealtime(ts);
    if (clock_settime(CLOCK_REALTIME, &ts) != 0) return errno;
    return 0;
}

std::string describeClockError(int error) {
    char buffer[128];
    // GNU strerror_r returns the text, which may or may not be in the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text;
}

}  // namespace zrq
