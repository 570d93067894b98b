// The tick's waking: a monotonic timerfd to each new second, a cancel-on-set timerfd for steps.
#include "timecode/tick_timer.h"
#include "base/time_units.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>

namespace zrq {
namespace {

// The reading has microseconds only and is taken a little before the timer is armed: waking
// this much after the second's start keeps the wake-up from landing just before it.
constexpr int64_t kWakeMarginNs = 20'000;
// The step notice's expiry: far beyond any real date, well inside the kernel's 64-bit ns range
// (year 2223). It never expires; it only gets cancelled.
constexpr time_t kFarFutureSeconds = 8'000'000'000;

timespec asTimespec(int64_t ns) {
    return timespec{static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
}

bool addToSet(int epoll, int descriptor) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = descriptor;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, descriptor, &event) == 0;
}

// Takes a timerfd's expiry count; true when it fired or, for the step notice, was cancelled by
// a set of the clock.
bool takeExpiry(int descriptor) {
    uint64_t expiries = 0;
    const ssize_t got = ::read(descriptor, &expiries, sizeof expiries);
    return got == sizeof expiries || (got < 0 && errno == ECANCELED);
}

}  // namespace

int64_t nsToNextSecond(const PreciseTime& reading) {
    // Local and system seconds start together: time zones are whole minutes apart.
    const int64_t intoSecondUs =
        int64_t{reading.local.milliseconds} * kUsPerMs + reading.microseconds;
    return (kUsPerSecond - intoSecondUs) * kNsPerUs + kWakeMarginNs;
}

TickTimer::TickTimer(LocalClock& clock) : clock_(clock) {
    wake_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    step_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (wake_ >= 0 && step_ >= 0 && epoll >= 0 && addToSet(epoll, wake_) &&
        addToSet(epoll, step_)) {
        epoll_ = epoll;
        armStepNotice();
        rearmNow();
    } else if (epoll >= 0) {
        ::close(epoll);
    }
}

TickTimer::~TickTimer() {
    for (int descriptor : {epoll_, wake_, step_})
        if (descriptor >= 0) ::close(descriptor);
}

bool TickTimer::onReadable() {
    if (!ok()) return false;
    const bool woken = takeExpiry(wake_);
    const bool stepped = takeExpiry(step_);
    if (stepped) {
        // A cancelled timer stays cancelled until armed again.
        ++stepsNoticed_;
        armStepNotice();
    }
    if (!woken && !stepped) return false;
    armForNextSecond();
    return true;
}

void TickTimer::armForNextSecond() { armWakeUp(nsToNextSecond(clock_.nowPrecise())); }

void TickTimer::rearmNow() { armWakeUp(1); }  // 0 would disarm it

int64_t TickTimer::remainingNs() const {
    itimerspec current{};
    if (!ok() || timerfd_gettime(wake_, &current) != 0) return 0;
    return int64_t{current.it_value.tv_sec} * kNsPerSecond + current.it_value.tv_nsec;
}

void TickTimer::armStepNotice() {
    const itimerspec far{{0, 0}, {kFarFutureSeconds, 0}};
    timerfd_settime(step_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &far, nullptr);
}

void TickTimer::armWakeUp(int64_t ns) {
    if (!ok()) return;
    const itimerspec once{{0, 0}, asTimespec(ns)};  // no interval: one-shot
    timerfd_settime(wake_, 0, &once, nullptr);
}

}  // namespace zrq
