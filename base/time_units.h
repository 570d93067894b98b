// Time units as whole numbers: how many of the smaller unit make one of the larger. Every count
// is an int64_t, so that products such as days * kUsPerDay never overflow.
#pragma once

#include <cstdint>

namespace zrq {

inline constexpr int64_t kNsPerUs = 1'000;
inline constexpr int64_t kNsPerMs = 1'000'000;
inline constexpr int64_t kNsPerSecond = 1'000'000'000;
inline constexpr int64_t kUsPerMs = 1'000;
inline constexpr int64_t kUsPerSecond = 1'000'000;
inline constexpr int64_t kUsPerDay = 86'400'000'000;
inline constexpr int64_t kMsPerSecond = 1'000;
inline constexpr int64_t kMsPerDay = 86'400'000;
inline constexpr int64_t kSecondsPerMinute = 60;
inline constexpr int64_t kSecondsPerHour = 3'600;
inline constexpr int64_t kSecondsPerDay = 86'400;
inline constexpr int64_t kMinutesPerHour = 60;
inline constexpr int64_t kHoursPerDay = 24;

}  // namespace zrq
