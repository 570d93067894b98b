// The fixed date and time patterns of the bar, the logs and the monitor lines.
#include "base/date_patterns.h"

#include <array>
#include <cstdio>

namespace zrq {
namespace {

template <class... Args>
std::string printed(const char* pattern, Args... args) {
    char buffer[48];
    int n = std::snprintf(buffer, sizeof buffer, pattern, args...);
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace

std::string formatDateTime(const LocalTimeRecord& t) {
    return printed("%04u-%02u-%02u %02u:%02u:%02u", unsigned{t.year}, unsigned{t.month},
                   unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute}, unsigned{t.second});
}

std::string formatHms(const LocalTimeRecord& t) {
    return printed("%02u:%02u:%02u", unsigned{t.hour}, unsigned{t.minute}, unsigned{t.second});
}

std::string formatBarTime(const LocalTimeRecord& t) {
    return printed("%u:%02u:%02u", unsigned{t.hour}, unsigned{t.minute}, unsigned{t.second});
}

std::string formatDate(const LocalTimeRecord& t) {
    return printed("%04u-%02u-%02u", unsigned{t.year}, unsigned{t.month}, unsigned{t.day});
}

const GbkText& weekdayText(int dayOfWeekNumber) {
    static const std::array<GbkText, 8> texts = {
        GbkText(),      gbk("星期日 "), gbk("星期一 "), gbk("星期二 "),
        gbk("星期三 "), gbk("星期四 "), gbk("星期五 "), gbk("星期六 "),
    };
    if (dayOfWeekNumber < 1 || dayOfWeekNumber > 7) return texts[0];
    return texts[dayOfWeekNumber];
}

GbkText formatDateWithWeekday(const LocalTimeRecord& t) {
    GbkText text;
    text.appendAscii(formatDate(t)).appendAscii(" ");
    // The record counts 0 = Sunday; the weekday texts are numbered from 1 = Sunday.
    text += weekdayText(t.dayOfWeek + 1);
    return text;
}

}  // namespace zrq
