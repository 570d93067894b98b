// Fuzzes the start-up load of "kelvosys.conf" with any file content: the values must come from
// the documented byte offsets (or from the start values for a short file), and a save followed by
// a load must give back exactly what was loaded.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "store/config_file.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using zrq::fuzz::check;

// Values no file gives by accident, to tell "kept" from "read".
zrq::StoredSettings startValues() {
    zrq::StoredSettings s;
    s.port = 77;
    s.baudCode = 5;
    s.clock.CorrectionMode = zrq::CorrectionMode{9};
    s.clock.CorrectionSecond = 44;
    s.clock.CorrectionMinute = 45;
    s.clock.CodeFormat = 6;
    s.clock.FineTuneMs = 432;  // within 0..999, which a load holds every value to
    s.clock.DailyPointCount = 3;
    s.clock.DailyPoints[2] = 0.25;
    s.clock.JumpThresholdSec = 17;
    return s;
}

// Doubles compared by their bits: a stored NaN must come back as the same NaN.
bool sameSettings(const zrq::StoredSettings& a, const zrq::StoredSettings& b) {
    const zrq::ClockSettings& x = a.clock;
    const zrq::ClockSettings& y = b.clock;
    return a.port == b.port && a.baudCode == b.baudCode && x.CorrectionMode == y.CorrectionMode &&
           x.CorrectionSecond == y.CorrectionSecond && x.CorrectionMinute == y.CorrectionMinute &&
           x.CodeFormat == y.CodeFormat && x.FineTuneMs == y.FineTuneMs &&
           x.DailyPointCount == y.DailyPointCount && x.JumpNoCorrect == y.JumpNoCorrect &&
           x.JumpThresholdSec == y.JumpThresholdSec &&
           std::memcmp(x.DailyPoints.data(), y.DailyPoints.data(), sizeof x.DailyPoints) == 0;
}

// What a 224-byte record says, read straight from its offsets (little-endian).
zrq::StoredSettings fromRecordBytes(const uint8_t* r) {
    zrq::StoredSettings s;
    s.port = r[0];
    s.baudCode = r[1];
    s.clock.CorrectionMode = zrq::CorrectionMode{r[2]};
    s.clock.JumpThresholdSec = r[3];
    s.clock.CorrectionSecond = r[4];
    s.clock.CorrectionMinute = r[6];
    s.clock.DailyPointCount = r[8] > zrq::kMaxDailyPoints ? zrq::kMaxDailyPoints : r[8];
    s.clock.FineTuneMs = std::min(static_cast<uint16_t>(r[10] | r[11] << 8), uint16_t{999});
    std::memcpy(s.clock.DailyPoints.data(), r + 16, sizeof s.clock.DailyPoints);
    s.clock.JumpNoCorrect = 1;  // forced at every start, whatever is stored
    s.clock.CodeFormat = r[217];
    return s;
}

void writeFile(const std::string& path, const uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    check(f != nullptr);
    check(size == 0 || std::fwrite(data, 1, size, f) == size);
    check(std::fclose(f) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const zrq::fuzz::ScratchDirectory scratch;
    const std::string path = scratch.file(zrq::kConfigFileName);
    writeFile(path, data, size);

    const zrq::StoredSettings start = startValues();
    const zrq::LoadResult loaded = zrq::loadSettings(path, start);
    if (size < zrq::kConfigRecordSize) {
        check(loaded.outcome == zrq::LoadOutcome::TooShort);
        zrq::StoredSettings kept = start;
        kept.clock.JumpNoCorrect = 1;
        check(sameSettings(loaded.settings, kept));
    } else {
        check(loaded.outcome == zrq::LoadOutcome::Loaded);
        check(sameSettings(loaded.settings, fromRecordBytes(data)));
    }

    // The next save writes exactly one record, which loads back unchanged.
    zrq::savecfg(path, loaded.settings);
    check(std::filesystem::file_size(path) == zrq::kConfigRecordSize);
    const zrq::LoadResult reloaded = zrq::loadSettings(path, start);
    check(reloaded.outcome == zrq::LoadOutcome::Loaded);
    check(sameSettings(reloaded.settings, loaded.settings));
    return 0;
}
