// clockdev's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/clockdev_frames.h"

namespace zrq::clockdev {

struct Options {
    std::string linkPath;    // pseudo-terminal mode: symbolic link to the slave
    std::string devicePath;  // serial-port mode
    std::string clockFile;   // fake clock offset file; empty = CLOCK_REALTIME as it is
    int baud = 4800;
    Format format = Format::Tvz;
    int delayMs = 0;            // after the start of each second, 0..999
    int64_t offsetSeconds = 0;  // added to the time that frames carry
    bool noDate = false;
    std::vector<FieldOverride> fields;
    std::vector<int> splits;  // ascending positions inside the frame where a new piece starts
    int splitGapMs = 20;      // pause between two pieces of a frame
    int noiseBytes = 0;       // random bytes (never 0xAA) half a second after each frame
    uint32_t seed = 1;
    std::optional<int64_t> count;       // frames to send; ends when the next one is due
    std::optional<int64_t> durationMs;  // run time
    bool listenOnly = false;
    bool quiet = false;  // no sent/noise lines
};

enum class ParseOutcome { Run, Help, Error };

ParseOutcome parseOptions(int argc, char** argv, Options& options, std::string& error);
const char* helpText();

}  // namespace zrq::clockdev
