// Local dates and times as instants (microseconds since 1970-01-01 00:00 UTC) and back: in the
// process's time zone (TZ), or read as UTC for a clock that knows no zone.
#pragma once

#include <cstdint>
#include <optional>

#include "base/local_time.h"

namespace zrq {

// Whether a record holds a real date and time of day: valid date, hour 0..23, minute and second
// 0..59, milliseconds 0..999. The day of the week is not looked at.
bool isValidLocalTime(const LocalTimeRecord& local);

// The instant a local date and time names in the process's time zone, its milliseconds included.
// A local time that occurs twice (the hour repeated when summer time ends) names the instant
// nearer `nearUs` (the earlier one when both are as near); one that does not occur (the hour
// skipped when summer time begins), or a record that is no valid local time, names none. Never
// guesses: both passes of a repeated hour are looked at through localtime_r.
std::optional<int64_t> localTimeToInstant(const LocalTimeRecord& local, int64_t nearUs);

// The local date and time of an instant in the process's time zone, milliseconds truncated, with
// the day of the week; a leap second (60) is shown as the minute's last second.
LocalTimeRecord localTimeOfInstant(int64_t systemUs);

// The same for a clock without a zone: its local time is taken as UTC, with no summer time.
std::optional<int64_t> utcTimeToInstant(const LocalTimeRecord& utc);
LocalTimeRecord utcTimeOfInstant(int64_t systemUs);

}  // namespace zrq
