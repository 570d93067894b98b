// The day's corrections in figures: how many were made and refused, how far the PC clock was
// off, and how fast it runs on its own between corrections.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "timecode/offset_reading.h"

namespace zrq {

struct OffsetStatistics {
    int made = 0;
    int refused = 0;
    // Over every attempt that has an offset, made or refused; empty when none has.
    std::optional<double> medianAbsOffsetMs;
    std::optional<double> maxAbsOffsetMs;
    // The PC clock's own rate, in parts per million: + = it runs fast (gains), - = slow. From
    // each pair of consecutive made corrections, the offset at the second over the time between
    // them (the clock was right just after the first), combined over the day as the sum of the
    // offsets over the sum of the intervals. Empty without such a pair.
    std::optional<double> ratePpm;
    int ratePairs = 0;  // the pairs the rate comes from
};

OffsetStatistics offsetStatistics(const std::vector<RecordedAttempt>& attempts);

// A rate in ppm as seconds gained (+) or lost (-) per day.
double secondsPerDay(double ratePpm);

// The three lines of `zrq-offsets --summary`, each ending in a line end:
//   corrections: 120 made, 3 refused
//   offset: median 1.2 ms, max 1.5 ms     ("offset: none" without offsets)
//   drift: +20.0 ppm (+1.73 s/day)        ("drift: none" without a pair)
std::string summaryText(const OffsetStatistics& statistics);

// A number with a fixed count of decimals, signed (+/-) when `sign`; never "-0.0".
std::string decimalText(double value, int decimals, bool sign);

}  // namespace zrq
