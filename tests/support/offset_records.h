// Offset records made up for tests: a PC clock of a known rate corrected on a schedule, written
// line by line in the record's own format.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zrq::testing {

// One attempt of a made-up day: when (seconds since midnight), and whether it was refused.
struct PlannedAttempt {
    double secondOfDay;
    bool refused = false;
};

// "yyyy-mm-dd hh:nn:ss.zzz" of 2026-12-07 at `secondOfDay`.
inline std::string recordTime(double secondOfDay) {
    const auto ms = static_cast<int64_t>(std::llround(secondOfDay * 1000));
    char text[32];
    std::snprintf(text, sizeof text, "2026-12-07 %02d:%02d:%02d.%03d",
                  static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                  static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
    return text;
}

// The record of a PC clock that runs `ratePpm` fast (+) or slow (-) and is set right by every
// made attempt: each attempt's offset is the drift since the last made one, plus a small
// measuring noise of at most `noiseMs` (a fixed sequence, so every run reads the same file).
inline std::string generatedRecord(const std::vector<PlannedAttempt>& plan, double ratePpm,
                                   double noiseMs = 0.1) {
    std::string text = "time,received,offset_ms,step_ms,result\n";
    double lastSet = plan.empty() ? 0 : plan.front().secondOfDay;
    uint32_t noise = 12345;
    for (const PlannedAttempt& a : plan) {
        noise = noise * 1103515245u + 12345u;
        const double jitter = noiseMs * (static_cast<double>(noise >> 16 & 0x7fff) / 16383.5 - 1);
        const double offset = ratePpm * 1e-3 * (a.secondOfDay - lastSet) + jitter;
        char line[160];
        std::snprintf(line, sizeof line, "%s,%s,%.1f,%.1f,%s\n", recordTime(a.secondOfDay).c_str(),
                      recordTime(std::floor(a.secondOfDay)).substr(0, 19).append(".000").c_str(),
                      offset, a.refused ? 0.0 : -offset,
                      a.refused ? "refused:Operation not permitted" : "ok");
        text += line;
        if (!a.refused) lastSet = a.secondOfDay;
    }
    return text;
}

// Every `periodS` seconds from `firstS` up to `lastS`, at a few milliseconds past the second
// (as the arrival of a frame would be); every `refusedEvery`-th refused (0: none).
inline std::vector<PlannedAttempt> everyPeriod(double firstS, double lastS, double periodS,
                                               int refusedEvery = 0) {
    std::vector<PlannedAttempt> plan;
    int n = 0;
    for (double s = firstS; s <= lastS; s += periodS, ++n) {
        const double ms = 5 + (n * 37) % 40;  // 5..44 ms after the second
        plan.push_back({s + ms / 1000, refusedEvery > 0 && n % refusedEvery == refusedEvery - 1});
    }
    return plan;
}

}  // namespace zrq::testing
