// The text of a daily correction point as the settings dialog lists it, e.g. "8:30:00".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/date_time_value.h"

namespace zrq {

// "H:MM:SS" of the value's time of day, hour without a leading zero; milliseconds are dropped.
// A value that is not a finite number (a damaged settings file) shows as 0:00:00.
std::string dailyPointText(DateTimeValue value);

// Reads "H:MM:SS" (one or two digits per field) back as a time of day with whole-day part 0.
std::optional<DateTimeValue> parseDailyPoint(std::string_view text);

}  // namespace zrq
