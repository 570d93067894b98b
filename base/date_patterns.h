// The date and time texts the program shows, logs and sends, each in its fixed pattern.
#pragma once

#include <string>

#include "base/gbk_text.h"
#include "base/local_time.h"

namespace zrq {

std::string formatDateTime(
    const LocalTimeRecord& t);                    // "yyyy-mm-dd hh:nn:ss", e.g. 2024-05-01 09:05:07
std::string formatHms(const LocalTimeRecord& t);  // "hh:mm:ss", e.g. 09:05:07
std::string formatBarTime(const LocalTimeRecord& t);  // "h:nn:ss", e.g. 9:05:07
std::string formatDate(const LocalTimeRecord& t);     // "yyyy-mm-dd", e.g. 2024-05-01

// Weekday text for a day-of-week number 1 = Sunday .. 7 = Saturday, each ending in one space
// ("星期日 "); empty for any other number.
const GbkText& weekdayText(int dayOfWeekNumber);
// "yyyy-mm-dd " followed by the weekday text of the record's day of week.
GbkText formatDateWithWeekday(const LocalTimeRecord& t);

}  // namespace zrq
