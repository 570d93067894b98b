// Reference reader: blocked in poll on the device's terminal, it stamps each time code frame the
// moment it arrives and (with --ack) answers 55 AA at once. Its figures are the floor that the
// program's 10 ms polling receiver and its hand-off add to: the device's write to the arrival
// here, and to the acknowledgement back at the device. It sets no clock.
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "bench/ref_line.h"

namespace zrq::bench {
namespace {

constexpr const char* kUsage =
    "usage: pty_reader_ref --port PATH [--format TVZ_CODE|EB_CODE|ST_CODE] [--ack] "
    "[--seconds N]\n"
    "Prints 'frame t_ns=<arrival> bytes=..' per frame and 'ack t_ns=<after the write>' per "
    "answer.\n";
constexpr uint8_t kSync = 0xAA;
constexpr uint8_t kStEnd = 0x03;
constexpr uint8_t kAck[] = {0x55, 0xAA};
constexpr int kRealTimePriority = 10;  // what the program's receiver asks for
constexpr int kReadSize = 255;

// Collects bytes into frames of one length that start with the sync byte.
class Framer {
public:
    explicit Framer(const RefOptions& options) : options_(options) {}

    // Adds bytes; calls `onFrame(bytes)` for each whole frame.
    template <class OnFrame>
    void feed(const uint8_t* bytes, int length, OnFrame onFrame) {
        for (int i = 0; i < length; ++i) {
            if (used_ == 0 && bytes[i] != kSync) continue;  // pass over bytes before a frame
            buffer_[used_++] = bytes[i];
            if (used_ < options_.frameLength) continue;
            if (!options_.stEnd || buffer_[used_ - 1] == kStEnd) onFrame(buffer_.data());
            used_ = 0;
        }
    }

private:
    const RefOptions& options_;
    std::array<uint8_t, 16> buffer_{};
    int used_ = 0;
};

bool askRealTimePriority() {
    sched_param param{};
    param.sched_priority = kRealTimePriority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

int run(const RefOptions& options) {
    const int fd = openRawTerminal(options.port);
    if (fd < 0) return 1;
    const bool realTime = askRealTimePriority();
    std::printf("ready t_ns=%lld realtime=%s\n", static_cast<long long>(realtimeNs()),
                realTime ? "yes" : "no");
    std::fflush(stdout);

    Framer framer(options);
    const int64_t end = realtimeNs() + options.seconds * kNsPerSecond;
    std::array<uint8_t, kReadSize> chunk{};
    long frames = 0;
    for (int64_t now = realtimeNs(); now < end; now = realtimeNs()) {
        pollfd p{fd, POLLIN, 0};
        const int waitMs = static_cast<int>(std::min<int64_t>((end - now) / 1'000'000 + 1, 1000));
        if (poll(&p, 1, waitMs) <= 0) continue;
        const int64_t arrival = realtimeNs();  // first thing after the wake
        if (p.revents & POLLIN) {
            const ssize_t got = read(fd, chunk.data(), chunk.size());
            framer.feed(chunk.data(), static_cast<int>(std::max<ssize_t>(got, 0)),
                        [&](const uint8_t* frame) {
                            ++frames;
                            int64_t acked = 0;
                            if (options.ack && writeAll(fd, kAck, sizeof kAck))
                                acked = realtimeNs();
                            std::printf("frame t_ns=%lld", static_cast<long long>(arrival));
                            if (acked) std::printf(" ack_ns=%lld", static_cast<long long>(acked));
                            std::printf(" bytes=");
                            printHex(stdout, frame, options.frameLength);
                            std::printf("\n");
                            std::fflush(stdout);
                        });
        } else if (p.revents & (POLLHUP | POLLERR)) {
            // The device went away; a pseudo-terminal without its master reports this at once.
            break;
        }
    }
    std::printf("end frames=%ld\n", frames);
    close(fd);
    return 0;
}

}  // namespace
}  // namespace zrq::bench

int main(int argc, char** argv) {
    zrq::bench::RefOptions options;
    if (!zrq::bench::parseRefOptions(argc, argv, options, zrq::bench::kUsage)) return 2;
    if (options.port.empty()) {
        std::fprintf(stderr, "%s", zrq::bench::kUsage);
        return 2;
    }
    return zrq::bench::run(options);
}
