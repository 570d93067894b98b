// The one seam through which the program reads and sets the machine's local clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/local_time.h"

namespace zrq {

// One reading of the clock, finer than the record: for stamps whose differences must be exact
// below the millisecond, and for the system time that a reference-clock sample carries.
struct PreciseTime {
    LocalTimeRecord local;      // local date and time, milliseconds included
    uint16_t microseconds = 0;  // 0..999: the part below local.milliseconds
    int64_t systemUs = 0;       // the same moment as system time: us since 1970-01-01 00:00 UTC
    // The monotonic clock at the same reading, in us; 0 from a clock that keeps none. A target
    // computed from this reading is set as the target plus the monotonic time elapsed since.
    int64_t monotonicUs = 0;
};

// The instants the clock may be set to: from 2020-01-01 00:00 UTC up to, not including,
// 2100-01-01 00:00 UTC, in microseconds since 1970. A target outside them comes from a device
// or a frame gone wrong, never from a clock worth following.
inline constexpr int64_t kFirstSettableUs = 1'577'836'800'000'000;
inline constexpr int64_t kEndOfSettableUs = 4'102'444'800'000'000;
bool isSettableInstant(int64_t systemUs);

class LocalClock {
public:
    virtual ~LocalClock() = default;
    // The current local date and time with milliseconds and the day of the week.
    virtual LocalTimeRecord now() = 0;
    // The current time to the microsecond. A clock that knows no finer time and no time zone
    // (a test clock) gives its record with 0 microseconds, and its local time read as UTC.
    virtual PreciseTime nowPrecise();

    // The instant a local date and time names in this clock's time zone, its milliseconds
    // included: when it names two (summer time ending), the one nearer `nearUs`; none when it
    // names none (summer time beginning) or the record holds no valid date and time. A clock
    // without a zone reads the record as UTC.
    virtual std::optional<int64_t> instantOf(const LocalTimeRecord& local, int64_t nearUs);
    // The local date and time of an instant in this clock's zone, milliseconds truncated.
    virtual LocalTimeRecord localTimeAt(int64_t systemUs);

    // Sets the clock to an instant (us since 1970 UTC), to the microsecond. Returns 0 on
    // success; ERANGE, without trying, for an instant that isSettableInstant refuses;
    // otherwise the OS error number (errno) that refused it.
    int setInstant(int64_t systemUs);
    // The same for a target computed from the reading `computedFrom`: the clock is set to the
    // target plus the time elapsed since that reading when the set is really made, so a set
    // delayed by a stall still sets the right time; a set delayed too long is refused.
    int setInstant(int64_t systemUs, const PreciseTime& computedFrom);

protected:
    // Moves the clock to an instant already known to be settable, plus the monotonic time
    // elapsed since `computedAtMonotonicUs` (none: computed just now); 0 or an errno value.
    virtual int applyInstant(int64_t systemUs, std::optional<int64_t> computedAtMonotonicUs) = 0;
};

class RealtimeSetter;

// The real clock: CLOCK_REALTIME read through localtime_r in the process's time zone, set with
// clock_settime to the nanosecond. Setting needs CAP_SYS_TIME; given a setter (the channel to
// the part of the program that holds it), the sets go there instead. Tests never set this clock.
class SystemClock final : public LocalClock {
public:
    explicit SystemClock(RealtimeSetter* setter = nullptr) : setter_(setter) {}
    LocalTimeRecord now() override;
    PreciseTime nowPrecise() override;
    std::optional<int64_t> instantOf(const LocalTimeRecord& local, int64_t nearUs) override;
    LocalTimeRecord localTimeAt(int64_t systemUs) override;

protected:
    int applyInstant(int64_t systemUs, std::optional<int64_t> computedAtMonotonicUs) override;

private:
    RealtimeSetter* setter_;
};

// Microseconds from a to b (b - a), by their system times: right across a change of summer time.
int64_t microsecondsBetween(const PreciseTime& a, const PreciseTime& b);

// Text for an error number returned by setInstant(): "time out of range" for ERANGE, the
// privileged part's own refusals (a set too late, no answer, too many sets, the part ended) in
// words, otherwise the system's text, e.g. "Operation not permitted". The first form allocates
// nothing: the text is a constant or written into `buffer`.
const char* clockErrorText(int error, char* buffer, size_t size);
std::string describeClockError(int error);

}  // namespace zrq
