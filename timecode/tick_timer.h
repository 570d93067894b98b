// Wakes the per-second tick at the start of each second of the PC clock: a one-shot monotonic
// timer armed from a reading of the clock interface, and a notice of any step of the system
// clock, both behind one descriptor that an event loop (the bar's, the service's epoll) watches.
#pragma once

#include <cstdint>

#include "base/local_clock.h"

namespace zrq {

// Nanoseconds from a reading of the clock to just after the start of its next second.
int64_t nsToNextSecond(const PreciseTime& reading);

class TickTimer {
public:
    // Armed to fire at once, so the first tick runs as soon as the loop first looks.
    explicit TickTimer(LocalClock& clock);
    ~TickTimer();

    TickTimer(const TickTimer&) = delete;
    TickTimer& operator=(const TickTimer&) = delete;

    // False when the kernel refused the timers (no descriptors left): then nothing wakes the
    // tick and the caller has to poll it.
    bool ok() const { return epoll_ >= 0; }
    // Readable when the tick is due: an epoll descriptor holding both timers (level-triggered,
    // so it stays readable until onReadable() has taken what fired).
    int descriptor() const { return epoll_; }

    // Call when descriptor() is readable. Takes what fired; when the wake-up came or the clock
    // was stepped, arms the wake-up for the next second from a fresh reading and returns true:
    // run the tick now. A wake-up a hair early is harmless: the tick finds its second shown.
    bool onReadable();
    // Arms the wake-up for the start of the next second of the clock, from a fresh reading.
    void armForNextSecond();
    // Makes the tick due at once; for after a set of the clock by the program, whose new time
    // may lie in another second.
    void rearmNow();

    // Steps of the clock noticed so far (by anything but this program's own re-arming).
    long stepsNoticed() const { return stepsNoticed_; }
    // What is left until the wake-up, 0 when it has fired or is not armed.
    int64_t remainingNs() const;

private:
    void armStepNotice();
    void armWakeUp(int64_t ns);

    LocalClock& clock_;
    int epoll_ = -1;
    int wake_ = -1;  // CLOCK_MONOTONIC, one-shot, relative
    int step_ = -1;  // CLOCK_REALTIME, absolute, far away, cancelled when the clock is set
    long stepsNoticed_ = 0;
};

}  // namespace zrq
