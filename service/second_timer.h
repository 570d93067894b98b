// Wakes the service's loop at the start of each second of the clock interface's time (a fake
// clock moves it too): a one-shot monotonic timerfd, armed from a reading of the clock.
#pragma once

#include "base/local_clock.h"

namespace zrq {

class SecondTimer {
public:
    explicit SecondTimer(LocalClock& clock);
    ~SecondTimer();
    SecondTimer(const SecondTimer&) = delete;
    SecondTimer& operator=(const SecondTimer&) = delete;

    // Becomes readable when the next second has begun; -1 when no timer could be made.
    int descriptor() const { return descriptor_; }
    // Call when the descriptor is readable: re-arms for the following second and tells whether
    // the tick is due (it then checks the seconds value itself).
    bool onReadable();
    // Arms for the start of the clock's next second; call again after the clock was set.
    void rearm();

private:
    LocalClock& clock_;
    int descriptor_ = -1;
};

}  // namespace zrq
