// clockdev's command line: options, their checks and the help text.
#include "tools/clockdev_options.h"

#include <getopt.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace zrq::clockdev {
namespace {

constexpr int kMaxDelayMs = 999;
constexpr int kMaxNoiseBytes = 1000;
constexpr int kMaxSplitGapMs = 900;
constexpr int64_t kMaxOffsetSeconds = 100LL * 366 * 86400;

enum OptionId {
    kLink = 1000,
    kDevice,
    kBaud,
    kFormat,
    kClockFile,
    kDelayMs,
    kOffset,
    kNoDate,
    kField,
    kSplit,
    kSplitGap,
    kNoise,
    kSeed,
    kCount,
    kDuration,
    kListenOnly,
    kQuiet,
    kHelp,
};

const option kLongOptions[] = {
    {"link", required_argument, nullptr, kLink},
    {"device", required_argument, nullptr, kDevice},
    {"baud", required_argument, nullptr, kBaud},
    {"format", required_argument, nullptr, kFormat},
    {"clock-file", required_argument, nullptr, kClockFile},
    {"delay-ms", required_argument, nullptr, kDelayMs},
    {"offset", required_argument, nullptr, kOffset},
    {"no-date", no_argument, nullptr, kNoDate},
    {"field", required_argument, nullptr, kField},
    {"split", required_argument, nullptr, kSplit},
    {"split-gap-ms", required_argument, nullptr, kSplitGap},
    {"noise", required_argument, nullptr, kNoise},
    {"seed", required_argument, nullptr, kSeed},
    {"count", required_argument, nullptr, kCount},
    {"duration", required_argument, nullptr, kDuration},
    {"listen-only", no_argument, nullptr, kListenOnly},
    {"quiet", no_argument, nullptr, kQuiet},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

// A whole number in decimal, or in hexadecimal after "0x", within [low, high].
std::optional<int64_t> parseInteger(std::string_view text, int64_t low, int64_t high) {
    int base = 10;
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
    if (negative) value = -value;
    if (value < low || value > high) return {};
    return value;
}

std::optional<int64_t> parseSecondsAsMs(const char* text) {
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 1e7) {
        return {};
    }
    return static_cast<int64_t>(std::llround(seconds * 1000));
}

struct Pending {
    std::vector<std::string> fields;
    std::string splits;
};

bool resolveFields(const Pending& pending, Options& options, std::string& error) {
    for (const std::string& text : pending.fields) {
        const size_t equals = text.find('=');
        if (equals == std::string::npos) {
            error = "--field wants name=value, got " + text;
            return false;
        }
        const auto index = fieldIndex(options.format, std::string_view(text).substr(0, equals));
        const auto value = parseInteger(std::string_view(text).substr(equals + 1), 0, 255);
        if (!index || !value) {
            error = std::string("--field ") + text + ": no such field in " +
                    formatName(options.format) + ", or a value outside 0..255";
            return false;
        }
        options.fields.push_back({*index, static_cast<uint8_t>(*value)});
    }
    return true;
}

bool resolveSplits(const Pending& pending, Options& options, std::string& error) {
    std::string_view rest = pending.splits;
    int previous = 0;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const auto position =
            parseInteger(rest.substr(0, comma), previous + 1, frameLength(options.format) - 1);
        if (!position) {
            error = "--split wants ascending positions inside the frame (1.." +
                    std::to_string(frameLength(options.format) - 1) + "), got " + pending.splits;
            return false;
        }
        options.splits.push_back(static_cast<int>(*position));
        previous = static_cast<int>(*position);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return true;
}

bool takeNumber(const char* name, const char* text, int64_t low, int64_t high, int64_t& out,
                std::string& error) {
    const auto value = parseInteger(text, low, high);
    if (!value) {
        error = std::string("--") + name + " wants a whole number in " + std::to_string(low) +
                ".." + std::to_string(high) + ", got " + text;
        return false;
    }
    out = *value;
    return true;
}

bool takeOption(int id, const char* arg, Options& options, Pending& pending, std::string& error) {
    int64_t number = 0;
    switch (id) {
        case kLink:
            options.linkPath = arg;
            return true;
        case kDevice:
            options.devicePath = arg;
            return true;
        case kClockFile:
            options.clockFile = arg;
            return true;
        case kNoDate:
            options.noDate = true;
            return true;
        case kListenOnly:
            options.listenOnly = true;
            return true;
        case kQuiet:
            options.quiet = true;
            return true;
        case kField:
            pending.fields.emplace_back(arg);
            return true;
        case kSplit:
            pending.splits = arg;
            return true;
        case kFormat:
            if (auto format = parseFormat(arg)) {
                options.format = *format;
                return true;
            }
            error = std::string("--format wants TVZ_CODE, EB_CODE or ST_CODE, got ") + arg;
            return false;
        case kBaud:
            number = parseInteger(arg, 0, INT32_MAX).value_or(0);
            if (number != 4800 && number != 9600) {
                error = std::string("--baud wants 4800 or 9600, got ") + arg;
                return false;
            }
            options.baud = static_cast<int>(number);
            return true;
        case kDelayMs:
            if (!takeNumber("delay-ms", arg, 0, kMaxDelayMs, number, error)) return false;
            options.delayMs = static_cast<int>(number);
            return true;
        case kOffset:
            return takeNumber("offset", arg, -kMaxOffsetSeconds, kMaxOffsetSeconds,
                              options.offsetSeconds, error);
        case kSplitGap:
            if (!takeNumber("split-gap-ms", arg, 0, kMaxSplitGapMs, number, error)) return false;
            options.splitGapMs = static_cast<int>(number);
            return true;
        case kNoise:
            if (!takeNumber("noise", arg, 0, kMaxNoiseBytes, number, error)) return false;
            options.noiseBytes = static_cast<int>(number);
            return true;
        case kSeed:
            if (!takeNumber("seed", arg, 0, UINT32_MAX, number, error)) return false;
            options.seed = static_cast<uint32_t>(number);
            return true;
        case kCount:
            if (!takeNumber("count", arg, 0, INT64_MAX / 2, number, error)) return false;
            options.count = number;
            return true;
        case kDuration:
            options.durationMs = parseSecondsAsMs(arg);
            if (options.durationMs) return true;
            error = std::string("--duration wants seconds, got ") + arg;
            return false;
        default:
            error = "unknown option";
            return false;
    }
}

}  // namespace

ParseOutcome parseOptions(int argc, char** argv, Options& options, std::string& error) {
    Pending pending;
    optind = 1;
    opterr = 0;
    int id = 0;
    while ((id = getopt_long(argc, argv, "", kLongOptions, nullptr)) != -1) {
        if (id == kHelp) return ParseOutcome::Help;
        if (id == '?' || id == ':') {
            error = std::string("unknown or incomplete option ") + argv[optind - 1];
            return ParseOutcome::Error;
        }
        if (!takeOption(id, optarg, options, pending, error)) return ParseOutcome::Error;
    }
    if (optind < argc) {
        error = std::string("unexpected argument ") + argv[optind];
        return ParseOutcome::Error;
    }
    if (!options.linkPath.empty() && !options.devicePath.empty()) {
        error = "--link and --device exclude each other";
        return ParseOutcome::Error;
    }
    if (!resolveFields(pending, options, error) || !resolveSplits(pending, options, error)) {
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

const char* helpText() {
    return R"(clockdev: a simulated time-code clock device on a pseudo-terminal or a serial port.

Line:
  --link PATH          create a pseudo-terminal and a symbolic link PATH to its slave (default:
                       a pseudo-terminal without a link; its name is in the ready line)
  --device PATH        use a real serial port instead (raw 8N1, no flow control)
  --baud 4800|9600     line rate (default 4800; a pseudo-terminal does not pace bytes)
Frames, one per second at the start of each second of the device clock plus --delay-ms:
  --format F           TVZ_CODE (default), EB_CODE or ST_CODE
  --clock-file PATH    device clock = CLOCK_REALTIME + the offset in PATH (one line,
                       "<nanoseconds>", the fake clock file the preload library keeps)
  --delay-ms N         send N ms (0..999) after the start of the second
  --offset S           add S whole seconds to the time the frames carry (to cause jumps)
  --no-date            zero date bytes (the receiver then keeps its own date)
  --field NAME=VALUE   put the raw byte VALUE (0..255, or 0x..) at a field of every frame;
                       NAME is year, century (ST_CODE), month, day, weekday, hour, minute,
                       second, or a position such as 5 or b5; repeatable
  --split A,B,...      send each frame in pieces starting at these positions
  --split-gap-ms N     pause between pieces (default 20)
  --noise N            N random bytes (never 0xAA) half a second after each frame
  --seed N             seed of the noise (default 1)
  --count N            send N frames; end when the next frame would be due
  --duration S         end after S seconds
  --listen-only        send nothing, only report what arrives
  --quiet              leave out the sent and noise lines
Frame bytes (the weekday byte holds 0 = Sunday .. 6 = Saturday):
  TVZ_CODE  AA 00 yy mm dd wd hh nn ss               BCD
  EB_CODE   AA AA AA ss nn hh wd dd mm yy 00 00 00   plain byte values
  ST_CODE   AA 00 00 cc yy mm dd wd hh nn ss 03      BCD

Output: one line per event on standard output, fields as key=value, bytes as upper-case hex
pairs last on the line. t is the device clock (Unix seconds with milliseconds); for received
bytes it is taken right after poll returned with the first of them.
  ready t=.. port=<terminal> link=<path or -> fmt=.. baud=..
  open t=..                        a program opened the slave (pseudo-terminal only)
  hangup t=..                      the program closed it; the terminal stays usable
  sent t=.. fmt=.. date=yyyy-mm-dd time=hh:nn:ss pieces=N bytes=..
                                   date and time are those the frame was built from (before
                                   --no-date and --field)
  unsent t=.. reason=.. bytes=..   a frame that did not fit into the line
  noise t=.. bytes=..
  pctime t=.. date=yyyy-mm-dd time=hh:nn:ss.mmm valid=yes|no skew_ms=N|none bytes=..
                                   a 12-byte PC time frame AA AA 00 yy mm dd hh nn ss m m A3
                                   (BCD; ms = 100 x byte 9 + BCD byte 10); valid=no for a
                                   nibble above 9 or a field out of range; skew_ms = the
                                   frame's local time minus its arrival
  ack t=.. bytes=55 AA             an acknowledgement
  unknown t=.. bytes=..            bytes that are neither
  end t=.. reason=count|duration|signal|hangup frames=N
Frames due while no program holds the slave are not sent (they would arrive stale).
Ends cleanly on SIGTERM, SIGINT or SIGHUP and removes its link. Never sets any clock.
Exit status: 0 after a clean end, 1 when the line fails, 2 for a bad command line.
)";
}

}  // namespace zrq::clockdev
