// The test clock: an instant in microseconds, moved only by the test or by a set, read in UTC
// or in the process's time zone.
#include "tests/support/fake_clock.h"

#include "base/local_instant.h"

namespace zrq {
namespace {

constexpr int64_t kUsPerMs = 1'000;

uint16_t microsecondsBelowMs(int64_t us) {
    const int64_t rest = us % kUsPerMs;
    return static_cast<uint16_t>(rest < 0 ? rest + kUsPerMs : rest);
}

}  // namespace

FakeClock::FakeClock(const LocalTimeRecord& start, Zone zone) : zone_(zone) { setNow(start); }

LocalTimeRecord FakeClock::now() { return nowPrecise().local; }

PreciseTime FakeClock::nowPrecise() {
    if (beforeRead) beforeRead(*this);
    ++readCount_;
    return readingAt(systemUs_);
}

std::optional<int64_t> FakeClock::instantOf(const LocalTimeRecord& local, int64_t nearUs) {
    return zone_ == Zone::Process ? localTimeToInstant(local, nearUs) : utcTimeToInstant(local);
}

LocalTimeRecord FakeClock::localTimeAt(int64_t systemUs) {
    return zone_ == Zone::Process ? localTimeOfInstant(systemUs) : utcTimeOfInstant(systemUs);
}

void FakeClock::setNow(const LocalTimeRecord& time) {
    systemUs_ = instantOf(time, systemUs_).value_or(systemUs_);
}

PreciseTime FakeClock::preciseAt(const LocalTimeRecord& local, uint16_t microseconds) {
    return readingAt(instantOf(local, systemUs_).value_or(systemUs_) + microseconds);
}

int FakeClock::applyInstant(int64_t targetUs, std::optional<int64_t> computedAtMonotonicUs) {
    const int64_t systemUs =
        targetUs + (monotonicUs_ - computedAtMonotonicUs.value_or(monotonicUs_));
    sets_.push_back(localTimeAt(systemUs));
    setInstants_.push_back(systemUs);
    if (refuseError_ != 0) return refuseError_;
    systemUs_ = systemUs;
    return 0;
}

PreciseTime FakeClock::readingAt(int64_t systemUs) {
    return PreciseTime{localTimeAt(systemUs), microsecondsBelowMs(systemUs), systemUs,
                       monotonicUs_ + (systemUs - systemUs_)};
}

}  // namespace zrq
