// The simulated device's end of the line (a pseudo-terminal linked into the file system, or a
// real serial port) and its own clock.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>

namespace zrq::clockdev {

constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kNsPerMs = 1'000'000;

// The device's wall clock in nanoseconds since 1970: CLOCK_REALTIME, plus the offset of a fake
// clock file when one is given (re-read when the file changes, looked at every 100 ms at most).
class DeviceClock {
public:
    explicit DeviceClock(std::string offsetFile = {}) : offsetFile_(std::move(offsetFile)) {}
    int64_t nowNs();

private:
    void refreshOffset();

    std::string offsetFile_;
    int64_t offsetNs_ = 0;
    int64_t nextCheckNs_ = 0;  // CLOCK_MONOTONIC
    struct timespec seenMtime_ {};
    ino_t seenInode_ = 0;
};

int64_t monotonicNs();

class DevicePort {
public:
    DevicePort() = default;
    ~DevicePort();
    DevicePort(const DevicePort&) = delete;
    DevicePort& operator=(const DevicePort&) = delete;

    // A new pseudo-terminal at `baud`, its slave put in raw mode and, when `linkPath` is not
    // empty, a symbolic link to it there (replacing an old link, never another kind of file).
    bool openPseudoTerminal(const std::string& linkPath, int baud, std::string& error);
    // A real serial port, raw 8N1 at `baud`, no flow control, modem lines ignored.
    bool openDevice(const std::string& path, int baud, std::string& error);

    int fd() const { return fd_; }
    bool isPseudoTerminal() const { return pseudoTerminal_; }
    const std::string& portPath() const { return portPath_; }
    const std::string& linkPath() const { return linkPath_; }

    // Whether a program holds the line's other end. A pseudo-terminal has a peer while its slave
    // is open anywhere; a serial port always counts as connected.
    bool peerPresent() const;
    // Writes all bytes, waiting up to a short time-out for room; false when they did not fit.
    bool writeAll(const uint8_t* bytes, int length);
    // Removes the link if it still points at this terminal.
    void removeLink();

private:
    int fd_ = -1;
    bool pseudoTerminal_ = false;
    std::string portPath_;
    std::string linkPath_;
};

}  // namespace zrq::clockdev
