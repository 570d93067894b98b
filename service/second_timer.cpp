// The one-second wake-up of the service's tick.
#include "service/second_timer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

namespace zrq {
namespace {

constexpr int64_t kUsPerSecond = 1'000'000;
constexpr int64_t kUsPerMs = 1'000;
constexpr int64_t kNsPerUs = 1'000;
// Woken this much after the second begins, so that a reading there is surely in the new second.
constexpr int64_t kLateUs = 200;

}  // namespace

SecondTimer::SecondTimer(LocalClock& clock) : clock_(clock) {
    descriptor_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
}

SecondTimer::~SecondTimer() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

bool SecondTimer::onReadable() {
    uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t got = ::read(descriptor_, &expirations, sizeof expirations);
    rearm();
    return true;
}

void SecondTimer::rearm() {
    if (descriptor_ < 0) return;
    const PreciseTime now = clock_.nowPrecise();
    const int64_t intoSecondUs = now.local.milliseconds * kUsPerMs + now.microseconds;
    const int64_t delayUs = kUsPerSecond - intoSecondUs + kLateUs;
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(delayUs / kUsPerSecond);
    spec.it_value.tv_nsec = static_cast<long>(delayUs % kUsPerSecond * kNsPerUs);
    timerfd_settime(descriptor_, 0, &spec, nullptr);
}

}  // namespace zrq
