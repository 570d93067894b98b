// The day's statistics from the attempts read back, and their three-line text.
#include "timecode/offset_statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zrq {
namespace {

constexpr double kPartsPerMillion = 1e6;
constexpr double kSecondsPerDay = 86400;

std::optional<double> median(std::vector<double> values) {
    if (values.empty()) return std::nullopt;
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + middle, values.end());
    if (values.size() % 2 == 1) return values[middle];
    const double upper = values[middle];
    const double lower = *std::max_element(values.begin(), values.begin() + middle);
    return (lower + upper) / 2;
}

}  // namespace

OffsetStatistics offsetStatistics(const std::vector<RecordedAttempt>& attempts) {
    OffsetStatistics s;
    std::vector<double> magnitudes;
    magnitudes.reserve(attempts.size());
    double offsetSumMs = 0;
    double intervalSumMs = 0;
    const RecordedAttempt* lastMade = nullptr;
    for (const RecordedAttempt& a : attempts) {
        if (a.offsetMs) magnitudes.push_back(std::fabs(*a.offsetMs));
        if (!a.made) {
            ++s.refused;
            continue;  // the clock was left as it was: its drift goes on accumulating
        }
        ++s.made;
        // A pair whose time goes back or stands still (a hand-edited line, the hour repeated
        // when summer time ends) says nothing about the rate.
        if (lastMade != nullptr && a.offsetMs && a.instantMs > lastMade->instantMs) {
            offsetSumMs += *a.offsetMs;
            intervalSumMs += static_cast<double>(a.instantMs - lastMade->instantMs);
            ++s.ratePairs;
        }
        lastMade = &a;
    }
    s.medianAbsOffsetMs = median(magnitudes);
    if (!magnitudes.empty()) {
        s.maxAbsOffsetMs = *std::max_element(magnitudes.begin(), magnitudes.end());
    }
    if (s.ratePairs > 0) s.ratePpm = offsetSumMs / intervalSumMs * kPartsPerMillion;
    return s;
}

double secondsPerDay(double ratePpm) { return ratePpm / kPartsPerMillion * kSecondsPerDay; }

std::string decimalText(double value, int decimals, bool sign) {
    char text[64];
    std::snprintf(text, sizeof text, sign ? "%+.*f" : "%.*f", decimals, value);
    std::string result(text);
    // -0.04 rounds to "-0.0": a rate or offset that shows as zero has no direction.
    if (result.find_first_of("123456789") == std::string::npos && result.front() == '-') {
        result[0] = '+';
        if (!sign) result.erase(0, 1);
    }
    return result;
}

std::string summaryText(const OffsetStatistics& s) {
    std::string text = "corrections: " + std::to_string(s.made) + " made, " +
                       std::to_string(s.refused) + " refused\n";
    if (s.medianAbsOffsetMs && s.maxAbsOffsetMs) {
        text += "offset: median " + decimalText(*s.medianAbsOffsetMs, 1, false) + " ms, max " +
                decimalText(*s.maxAbsOffsetMs, 1, false) + " ms\n";
    } else {
        text += "offset: none\n";
    }
    if (s.ratePpm) {
        text += "drift: " + decimalText(*s.ratePpm, 1, true) + " ppm (" +
                decimalText(secondsPerDay(*s.ratePpm), 2, true) + " s/day)\n";
    } else {
        text += "drift: none\n";
    }
    return text;
}

}  // namespace zrq
