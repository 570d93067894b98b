// The test clock: naive local time in milliseconds, moved only by the test or by set().
#include "base/fake_clock.h"

#include <cerrno>

#include "base/date_time_value.h"

namespace zrq {
namespace {

constexpr int64_t kMsPerDay = 86'400'000;

int64_t toMs(const LocalTimeRecord& t) {
    return daysFromCivil(t.year, t.month, t.day) * kMsPerDay +
           ((t.hour * 60LL + t.minute) * 60 + t.second) * 1000 + t.milliseconds;
}

}  // namespace

FakeClock::FakeClock(const LocalTimeRecord& start) { setNow(start); }

LocalTimeRecord FakeClock::now() {
    if (beforeRead) beforeRead(*this);
    ++readCount_;
    static const LocalTimeRecord kEpoch{1970, 1, 4, 1, 0, 0, 0, 0};
    return *addMilliseconds(kEpoch, msSinceEpoch_);
}

int FakeClock::set(const LocalTimeRecord& time) {
    sets_.push_back(time);
    if (refuseError_ != 0) return refuseError_;
    if (!isValidDate(time.year, time.month, time.day) || time.hour > 23 || time.minute > 59 ||
        time.second > 59 || time.milliseconds > 999) {
        return EINVAL;
    }
    setNow(time);
    return 0;
}

void FakeClock::setNow(const LocalTimeRecord& time) { msSinceEpoch_ = toMs(time); }

void FakeClock::advanceMs(int64_t ms) { msSinceEpoch_ += ms; }

}  // namespace zrq
