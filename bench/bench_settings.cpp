// Writes a "kelvosys.conf" for a measured run: the stored defaults with the given changes, in
// the program's own record format, so a run can ask for many corrections without a dialog.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/date_time_value.h"
#include "base/message_boxes.h"
#include "store/config_file.h"

namespace {

constexpr const char* kUsage =
    "usage: bench_settings FILE [--port N] [--baud CODE] [--format 1|2|3] [--mode 1|2|3]\n"
    "         [--second S] [--minute M] [--fine-ms MS] [--threshold S] [--jump-no-correct 0|1]\n"
    "         [--points HH:MM:SS,...]   (at most 24 daily points)\n";

// "12:00:05,12:00:06" into the daily points; false on a malformed list.
bool parsePoints(std::string_view list, zrq::ClockSettings& clock) {
    int count = 0;
    while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string item(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        int h = 0, m = 0, s = 0;
        if (count == zrq::kMaxDailyPoints || std::sscanf(item.c_str(), "%d:%d:%d", &h, &m, &s) != 3)
            return false;
        clock.DailyPoints[count++] = zrq::timeOfDayValue(h, m, s, 0);
    }
    clock.DailyPointCount = static_cast<uint8_t>(count);
    return true;
}

using Stored = zrq::StoredSettings;

// The numeric options and the field each one sets.
struct NumericOption {
    std::string_view name;
    void (*set)(Stored&, int);
};
constexpr NumericOption kNumericOptions[] = {
    {"--port", [](Stored& s, int v) { s.port = v; }},
    {"--baud", [](Stored& s, int v) { s.baudCode = v; }},
    {"--format", [](Stored& s, int v) { s.clock.CodeFormat = static_cast<uint8_t>(v); }},
    {"--mode",
     [](Stored& s, int v) { s.clock.CorrectionMode = static_cast<zrq::CorrectionMode>(v); }},
    {"--second", [](Stored& s, int v) { s.clock.CorrectionSecond = static_cast<uint8_t>(v); }},
    {"--minute", [](Stored& s, int v) { s.clock.CorrectionMinute = static_cast<uint8_t>(v); }},
    {"--fine-ms", [](Stored& s, int v) { s.clock.FineTuneMs = static_cast<uint16_t>(v); }},
    {"--threshold", [](Stored& s, int v) { s.clock.JumpThresholdSec = static_cast<uint8_t>(v); }},
    {"--jump-no-correct",
     [](Stored& s, int v) { s.clock.JumpNoCorrect = static_cast<uint8_t>(v); }},
};

bool apply(std::string_view name, const char* value, Stored& s) {
    if (name == "--points") return parsePoints(value, s.clock);
    for (const NumericOption& option : kNumericOptions) {
        if (option.name == name) {
            option.set(s, std::atoi(value));
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc % 2 != 0) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    zrq::StoredSettings settings = zrq::defaultSettings();
    for (int i = 2; i + 1 < argc; i += 2) {
        if (!apply(argv[i], argv[i + 1], settings)) {
            std::fprintf(stderr, "bad option %s %s\n%s", argv[i], argv[i + 1], kUsage);
            return 2;
        }
    }
    try {
        zrq::savecfg(argv[1], settings);
    } catch (const zrq::FileError& e) {
        std::fprintf(stderr, "cannot write %s: %s\n", argv[1], e.what());
        return 1;
    }
    return 0;
}
