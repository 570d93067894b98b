// A clock for tests: it runs only when told to, can be stepped, and records every set.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/local_clock.h"

namespace zrq {

class FakeClock final : public LocalClock {
public:
    // Without a zone (the default) the clock's local time is UTC with no summer time; with
    // the process's zone it reads and converts local times through the process's TZ, as the
    // system clock does (a test that sets TZ calls tzset() too).
    enum class Zone { None, Process };

    explicit FakeClock(const LocalTimeRecord& start = {2024, 5, 3, 1, 12, 0, 0, 0},
                       Zone zone = Zone::None);

    // Each reading counts once and runs beforeRead first.
    LocalTimeRecord now() override;
    PreciseTime nowPrecise() override;
    std::optional<int64_t> instantOf(const LocalTimeRecord& local, int64_t nearUs) override;
    LocalTimeRecord localTimeAt(int64_t systemUs) override;

    // Reads and converts local times in another zone from now on; the instant stays.
    void setZone(Zone zone) { zone_ = zone; }

    // Puts the clock on a local time of its zone (the given day of week is ignored); a local
    // time that occurs twice means the pass nearer the clock's reading, one that does not occur
    // leaves the clock where it was.
    void setNow(const LocalTimeRecord& time);
    void setNowUs(int64_t systemUs) { systemUs_ = systemUs; }  // us since 1970 UTC
    int64_t nowUs() const { return systemUs_; }                // without counting a read
    // Time passing: both the clock and its monotonic count move (negative steps go back).
    void advanceUs(int64_t us) {
        systemUs_ += us;
        monotonicUs_ += us;
    }
    void advanceMs(int64_t ms) { advanceUs(ms * 1000); }
    void advanceSeconds(int64_t s) { advanceMs(s * 1000); }
    void advanceDays(int64_t d) { advanceMs(d * 86'400'000); }

    // The reading of a local time of this zone at a number of microseconds past it (0..999), as
    // a receiver's stamp would carry it.
    PreciseTime preciseAt(const LocalTimeRecord& local, uint16_t microseconds = 0);

    // Makes every later set fail with this errno (0 accepts again); refused sets are recorded
    // too. A set the clock interface itself refuses (out of range) never reaches the clock.
    void refuseSetsWith(int error) { refuseError_ = error; }
    // Each set that reached the clock: as the local time it named (ms truncated) and as an
    // instant in us.
    const std::vector<LocalTimeRecord>& sets() const { return sets_; }
    const std::vector<int64_t>& setInstants() const { return setInstants_; }
    int readCount() const { return readCount_; }

    // Called at the start of every reading, e.g. to let time pass between two reads.
    std::function<void(FakeClock&)> beforeRead;

protected:
    // Sets the target plus the time that passed since it was computed.
    int applyInstant(int64_t systemUs, std::optional<int64_t> computedAtMonotonicUs) override;

private:
    PreciseTime readingAt(int64_t systemUs);

    Zone zone_;
    int64_t systemUs_ = 0;  // the clock's instant, us since 1970-01-01 00:00 UTC
    // Time passed by the test's advances, not by setNow or sets; far from 0, which means none.
    int64_t monotonicUs_ = 1'000'000'000;
    std::vector<LocalTimeRecord> sets_;
    std::vector<int64_t> setInstants_;
    int refuseError_ = 0;
    int readCount_ = 0;
};

}  // namespace zrq
