// Fuzzes the reading of an offset record: any bytes give attempts and skipped lines, never a
// crash; every attempt is a moment of a real day with finite figures, and what a line gives does
// not depend on the lines around it.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/fuzz/fuzz_support.h"
#include "timecode/offset_reading.h"
#include "timecode/offset_statistics.h"

namespace {

using zrq::fuzz::check;

constexpr int32_t kMsPerDay = 86'400'000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const zrq::RecordedDay day = zrq::parseOffsetRecord(text);
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    check(day.attempts.size() + static_cast<std::size_t>(day.skippedLines) <= lines);
    for (const zrq::RecordedAttempt& a : day.attempts) {
        check(a.msOfDay >= 0 && a.msOfDay < kMsPerDay);
        check(std::isfinite(a.stepMs) && (!a.offsetMs || std::isfinite(*a.offsetMs)));
    }
    // A line added after the text's last line end changes nothing before it.
    if (!text.empty() && text.back() == '\n') {
        const zrq::RecordedDay longer = zrq::parseOffsetRecord(std::string(text) + "x,\n");
        check(longer.attempts.size() == day.attempts.size());
        check(longer.skippedLines == day.skippedLines + 1);
    }
    const zrq::OffsetStatistics s = zrq::offsetStatistics(day.attempts);
    check(s.made + s.refused == static_cast<int>(day.attempts.size()));
    check(!s.ratePpm || std::isfinite(*s.ratePpm));
    check(zrq::summaryText(s).size() > 0);
    return 0;
}
