// The machine's clock: read through clock_gettime + localtime_r, set through clock_settime, or
// through the privileged part's channel when the program was split. This is the only place in
// the program that can set the machine's clock.
#include <time.h>

#include <cerrno>

#include "base/clock_privilege.h"
#include "base/local_clock.h"
#include "base/local_instant.h"
#include "base/system_calls.h"
#include "base/time_units.h"

namespace zrq {

namespace {

constexpr const char* kOutOfRange = "time out of range";

int64_t systemUsOf(const timespec& ts) { return ts.tv_sec * kUsPerSecond + ts.tv_nsec / kNsPerUs; }

int64_t monotonicNowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return systemUsOf(ts);
}

// The texts of the refusals that come from the program's own rules, not from the system.
const char* ownRefusalText(int error) {
    switch (error) {
        case ERANGE:
            return kOutOfRange;
        case ETIME:
            return "set too late: more than 500 ms after its time was computed";
        case ETIMEDOUT:
            return "no answer from the privileged part within 2 s";
        case EBUSY:
            return "too many sets: at most 4 a second";
        case EPIPE:
            return "the privileged part has ended";
        default:
            return nullptr;
    }
}

// The one call that sets the machine's clock. Returns 0 or the errno that refused it.
int setRealtimeClock(const timespec& ts) {
    return clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : errno;
}

}  // namespace

bool isSettableInstant(int64_t systemUs) {
    return systemUs >= kFirstSettableUs && systemUs < kEndOfSettableUs;
}

PreciseTime LocalClock::nowPrecise() {
    const LocalTimeRecord t = now();
    return PreciseTime{t, 0, utcTimeToInstant(t).value_or(0)};
}

std::optional<int64_t> LocalClock::instantOf(const LocalTimeRecord& local, int64_t /*nearUs*/) {
    return utcTimeToInstant(local);
}

LocalTimeRecord LocalClock::localTimeAt(int64_t systemUs) { return utcTimeOfInstant(systemUs); }

int LocalClock::setInstant(int64_t systemUs) {
    return isSettableInstant(systemUs) ? applyInstant(systemUs, std::nullopt) : ERANGE;
}

int LocalClock::setInstant(int64_t systemUs, const PreciseTime& computedFrom) {
    if (!isSettableInstant(systemUs)) return ERANGE;
    return applyInstant(systemUs, computedFrom.monotonicUs != 0
                                      ? std::optional<int64_t>(computedFrom.monotonicUs)
                                      : std::nullopt);
}

int64_t microsecondsBetween(const PreciseTime& a, const PreciseTime& b) {
    return b.systemUs - a.systemUs;
}

LocalTimeRecord SystemClock::now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return localTimeOfInstant(systemUsOf(ts));
}

PreciseTime SystemClock::nowPrecise() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const int64_t us = systemUsOf(ts);
    return PreciseTime{localTimeOfInstant(us), static_cast<uint16_t>(us % kUsPerMs), us,
                       monotonicNowUs()};
}

std::optional<int64_t> SystemClock::instantOf(const LocalTimeRecord& local, int64_t nearUs) {
    return localTimeToInstant(local, nearUs);
}

LocalTimeRecord SystemClock::localTimeAt(int64_t systemUs) { return localTimeOfInstant(systemUs); }

int SystemClock::applyInstant(int64_t systemUs, std::optional<int64_t> computedAtMonotonicUs) {
    const int64_t computedAt = computedAtMonotonicUs.value_or(monotonicNowUs());
    if (setter_ != nullptr) {
        // Settable instants lie after 1970, so the division needs no care for negative values.
        const timespec target{static_cast<time_t>(systemUs / kUsPerSecond),
                              static_cast<long>(systemUs % kUsPerSecond * kNsPerUs)};
        return setter_->setRealtime(target, computedAt * kNsPerUs);
    }
    const int64_t targetNow = systemUs + (monotonicNowUs() - computedAt);
    if (!isSettableInstant(targetNow)) return ERANGE;
    const timespec ts{static_cast<time_t>(targetNow / kUsPerSecond),
                      static_cast<long>(targetNow % kUsPerSecond * kNsPerUs)};
    return setRealtimeClock(ts);
}

const char* clockErrorText(int error, char* buffer, size_t size) {
    if (const char* own = ownRefusalText(error)) return own;
    return errorText(error, buffer, size);
}

std::string describeClockError(int error) {
    char buffer[128];
    return clockErrorText(error, buffer, sizeof buffer);
}

}  // namespace zrq
