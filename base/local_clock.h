// The one seam through which the program reads and sets the machine's local clock.
#pragma once

#include <cstdint>
#include <string>

#include "base/local_time.h"

namespace zrq {

// One reading of the clock, finer than the record: for stamps whose differences must be exact
// below the millisecond, and for the system time that a reference-clock sample carries.
struct PreciseTime {
    LocalTimeRecord local;      // local date and time, milliseconds included
    uint16_t microseconds = 0;  // 0..999: the part below local.milliseconds
    int64_t systemUs = 0;       // the same moment as system time: us since 1970-01-01 00:00 UTC
};

class LocalClock {
public:
    virtual ~LocalClock() = default;
    // The current local date and time with milliseconds and the day of the week.
    virtual LocalTimeRecord now() = 0;
    // The current time to the microsecond. A clock that knows no finer time and no time zone
    // (a test clock) gives its record with 0 microseconds, and its local time as system time.
    virtual PreciseTime nowPrecise();
    // Sets the local clock. Returns 0 on success, otherwise the OS error number (errno) that
    // refused it; EINVAL for a record that names no real moment.
    virtual int set(const LocalTimeRecord& time) = 0;
};

class RealtimeSetter;

// The real clock: CLOCK_REALTIME read through localtime_r, set through mktime + clock_settime.
// Setting needs CAP_SYS_TIME; given a setter (the channel to the part of the program that holds
// it), the sets go there instead. Tests never call set() on this class.
class SystemClock final : public LocalClock {
public:
    explicit SystemClock(RealtimeSetter* setter = nullptr) : setter_(setter) {}
    LocalTimeRecord now() override;
    PreciseTime nowPrecise() override;
    int set(const LocalTimeRecord& time) override;

private:
    RealtimeSetter* setter_;
};

// Microseconds from a to b (b - a), local times compared as written; both must hold valid dates.
int64_t microsecondsBetween(const PreciseTime& a, const PreciseTime& b);

// Text for an error number returned by set(), e.g. "Operation not permitted".
std::string describeClockError(int error);

}  // namespace zrq
