// Terminal, clock and option helpers of the reference programs.
#include "bench/ref_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace zrq::bench {
namespace {

constexpr int kWriteWaitMs = 100;  // a pseudo-terminal's buffer drains at once; this is plenty

}  // namespace

int64_t realtimeNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

int openRawTerminal(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

bool writeAll(int fd, const uint8_t* bytes, int length) {
    int done = 0;
    while (done < length) {
        const ssize_t n = write(fd, bytes + done, static_cast<size_t>(length - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, kWriteWaitMs) <= 0) return false;
    }
    return true;
}

void printHex(std::FILE* out, const uint8_t* bytes, int length) {
    for (int i = 0; i < length; ++i) std::fprintf(out, " %02X", bytes[i]);
}

bool parseRefOptions(int argc, char** argv, RefOptions& options, const char* usage) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue) {
            options.port = argv[++i];
        } else if (arg == "--seconds" && hasValue) {
            options.seconds = std::atoi(argv[++i]);
        } else if (arg == "--format" && hasValue) {
            const std::string_view name = argv[++i];
            if (name == "TVZ_CODE") {
                options.frameLength = 9;
            } else if (name == "EB_CODE") {
                options.frameLength = 13;
            } else if (name == "ST_CODE") {
                options.frameLength = 12;
                options.stEnd = true;
            } else {
                std::fprintf(stderr, "unknown format %s\n%s", argv[i], usage);
                return false;
            }
        } else if (arg == "--ack") {
            options.ack = true;
        } else {
            std::fprintf(stderr, "%s", usage);
            return false;
        }
    }
    if (options.seconds < 1) {
        std::fprintf(stderr, "--seconds must be at least 1\n%s", usage);
        return false;
    }
    return true;
}

}  // namespace zrq::bench
