// ClockSettings: the correction settings that survive a restart (kept in "kelvosys.conf").
#pragma once

#include <array>
#include <cstdint>

#include "base/date_time_value.h"

namespace zrq {

constexpr int kDailyPointSlots = 25;  // slots in the file
constexpr int kMaxDailyPoints = 24;   // slots ever used
constexpr int kMaxFineTuneMs = 999;   // the most a correction adds below the second

// When corrections are scheduled. The stored byte may hold any other value (a damaged file, or
// none chosen yet): no scheduled correction then.
enum class CorrectionMode : uint8_t {
    EveryMinute = 1,  // at CorrectionSecond of every minute
    EveryHour = 2,    // at CorrectionMinute:CorrectionSecond of every hour
    DailyPoints = 3,  // at each of the daily time points
};

struct ClockSettings {
    zrq::CorrectionMode CorrectionMode{};  // 0 until a mode is stored
    uint8_t CorrectionSecond = 0;          // 0..59, modes 1 and 2
    uint8_t CorrectionMinute = 0;          // 0..59, mode 2
    uint8_t CodeFormat = 0;                // TimeCodeFormat 1..3
    uint16_t FineTuneMs = 0;               // 0..999 ms given to the time a correction sets
    uint8_t DailyPointCount = 0;           // 0..24 valid entries at the front of DailyPoints
    std::array<DateTimeValue, kDailyPointSlots> DailyPoints{};  // times of day, whole part 0
    uint8_t JumpNoCorrect = 0;     // 1: no scheduled correction while a jump is detected
    uint8_t JumpThresholdSec = 0;  // more than this many seconds apart counts as a jump

    friend bool operator==(const ClockSettings&, const ClockSettings&) = default;
};

}  // namespace zrq
