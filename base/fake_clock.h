// A clock for tests: it runs only when told to, can be stepped, and records every set.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/local_clock.h"

namespace zrq {

class FakeClock final : public LocalClock {
public:
    explicit FakeClock(const LocalTimeRecord& start = {2024, 5, 3, 1, 12, 0, 0, 0});

    LocalTimeRecord now() override;  // counts the read, runs beforeRead first
    int set(
        const LocalTimeRecord& time) override;  // records, then moves the clock (unless refused)

    void setNow(const LocalTimeRecord& time);  // day of week is derived, the given one ignored
    void advanceMs(int64_t ms);                // negative steps go back
    void advanceSeconds(int64_t s) { advanceMs(s * 1000); }
    void advanceDays(int64_t d) { advanceMs(d * 86'400'000); }

    // Makes every later set() fail with this errno (0 accepts again); refused sets are recorded
    // too.
    void refuseSetsWith(int error) { refuseError_ = error; }
    const std::vector<LocalTimeRecord>& sets() const { return sets_; }
    int readCount() const { return readCount_; }

    // Called at the start of every now(), e.g. to let time pass between two reads.
    std::function<void(FakeClock&)> beforeRead;

private:
    int64_t msSinceEpoch_ = 0;  // local civil time, milliseconds since 1970-01-01 00:00, no zone
    std::vector<LocalTimeRecord> sets_;
    int refuseError_ = 0;
    int readCount_ = 0;
};

}  // namespace zrq
