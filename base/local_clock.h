// The one seam through which the program reads and sets the machine's local clock.
#pragma once

#include <string>

#include "base/local_time.h"

namespace zrq {

class LocalClock {
public:
    virtual ~LocalClock() = default;
    // The current local date and time with milliseconds and the day of the week.
    virtual LocalTimeRecord now() = 0;
    // Sets the local clock. Returns 0 on success, otherwise the OS error number (errno) that
    // refused it; EINVAL for a record that names no real moment.
    virtual int set(const LocalTimeRecord& time) = 0;
};

// The real clock: CLOCK_REALTIME read through localtime_r, set through mktime + clock_settime.
// Setting needs CAP_SYS_TIME. Tests never call set() on this class.
class SystemClock final : public LocalClock {
public:
    LocalTimeRecord now() override;
    int set(const LocalTimeRecord& time) override;
};

// Text for an error number returned by set(), e.g. "Operation not permitted".
std::string describeClockError(int error);

}  // namespace zrq
