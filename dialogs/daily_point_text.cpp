// Writing and reading the daily point texts of the settings dialog's list.
#include "dialogs/daily_point_text.h"
#include "base/time_units.h"

#include <cmath>
#include <cstdio>

namespace zrq {
namespace {

// One or two decimal digits at the front of `text`, consumed; nothing if there are none.
std::optional<int> takeField(std::string_view& text) {
    int value = 0;
    std::size_t digits = 0;
    while (digits < text.size() && digits < 2 && text[digits] >= '0' && text[digits] <= '9') {
        value = value * 10 + (text[digits] - '0');
        ++digits;
    }
    if (digits == 0) return std::nullopt;
    text.remove_prefix(digits);
    return value;
}

bool takeColon(std::string_view& text) {
    if (text.empty() || text.front() != ':') return false;
    text.remove_prefix(1);
    return true;
}

}  // namespace

std::string dailyPointText(DateTimeValue value) {
    TimeOfDay t = splitTimeOfDay(std::isfinite(value) ? value : 0.0);
    char text[16];
    std::snprintf(text, sizeof text, "%d:%02d:%02d", t.hour, t.minute, t.second);
    return text;
}

std::optional<DateTimeValue> parseDailyPoint(std::string_view text) {
    std::optional<int> hour = takeField(text);
    if (!hour || !takeColon(text)) return std::nullopt;
    std::optional<int> minute = takeField(text);
    if (!minute || !takeColon(text)) return std::nullopt;
    std::optional<int> second = takeField(text);
    if (!second || !text.empty()) return std::nullopt;
    if (*hour >= kHoursPerDay || *minute >= kMinutesPerHour || *second >= kSecondsPerMinute) {
        return std::nullopt;
    }
    return timeOfDayValue(*hour, *minute, *second, 0);
}

}  // namespace zrq
