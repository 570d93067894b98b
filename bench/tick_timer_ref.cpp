// Reference tick: instead of a 2 ms timer that looks at the clock, it sleeps until each next
// whole second of CLOCK_REALTIME (clock_nanosleep, TIMER_ABSTIME) and, when a port is given,
// writes the PC time frame there at once. Its lateness is the floor a per-second tick can reach
// on this machine, at the least CPU. It sets no clock.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "bench/ref_line.h"
#include "timecode/second_tick.h"

namespace zrq::bench {
namespace {

constexpr const char* kUsage =
    "usage: tick_timer_ref [--port PATH] [--seconds N]\n"
    "Prints 'tick second=<s> late_ns=<wake minus the second> bytes=<PC time frame>' per second.\n";
constexpr int64_t kNsPerMs = 1'000'000;

LocalTimeRecord localRecord(int64_t ns) {
    const time_t seconds = static_cast<time_t>(ns / kNsPerSecond);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    LocalTimeRecord r;
    r.year = static_cast<uint16_t>(tm.tm_year + 1900);
    r.month = static_cast<uint16_t>(tm.tm_mon + 1);
    r.dayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    r.day = static_cast<uint16_t>(tm.tm_mday);
    r.hour = static_cast<uint16_t>(tm.tm_hour);
    r.minute = static_cast<uint16_t>(tm.tm_min);
    r.second = static_cast<uint16_t>(tm.tm_sec);
    r.milliseconds = static_cast<uint16_t>((ns % kNsPerSecond) / kNsPerMs);
    return r;
}

// Sleeps until `second` (Unix seconds) on the real-time clock, also when a signal interrupts.
void sleepUntil(int64_t second) {
    const timespec target{static_cast<time_t>(second), 0};
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &target, nullptr) == EINTR) {
    }
}

int run(const RefOptions& options) {
    const int fd = options.port.empty() ? -1 : openRawTerminal(options.port);
    if (!options.port.empty() && fd < 0) return 1;
    std::printf("ready t_ns=%lld\n", static_cast<long long>(realtimeNs()));
    std::fflush(stdout);

    int64_t second = realtimeNs() / kNsPerSecond + 1;
    for (int n = 0; n < options.seconds; ++n, ++second) {
        sleepUntil(second);
        const int64_t woke = realtimeNs();
        const LocalTimeRecord now = localRecord(woke);
        const PcTimeFrame frame = buildPcTimeFrame(now, now);
        if (fd >= 0) writeAll(fd, frame.data(), static_cast<int>(frame.size()));
        std::printf("tick second=%lld late_ns=%lld bytes=", static_cast<long long>(second),
                    static_cast<long long>(woke - second * kNsPerSecond));
        printHex(stdout, frame.data(), static_cast<int>(frame.size()));
        std::printf("\n");
        std::fflush(stdout);
    }
    if (fd >= 0) close(fd);
    return 0;
}

}  // namespace
}  // namespace zrq::bench

int main(int argc, char** argv) {
    zrq::bench::RefOptions options;
    if (!zrq::bench::parseRefOptions(argc, argv, options, zrq::bench::kUsage)) return 2;
    return zrq::bench::run(options);
}
