// The simulated device's end of the line and its own clock.
#include "tools/clockdev_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tests/support/fake_clock_file.h"

namespace zrq::clockdev {
namespace {

constexpr int64_t kOffsetRecheckNs = 100 * kNsPerMs;
constexpr int kWriteTimeoutMs = 200;

int64_t readClockNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

speed_t speedFor(int baud) { return baud == 9600 ? B9600 : B4800; }

// Raw 8N1 without flow control or modem-line handling, so that every byte passes unchanged.
bool makeRaw(int fd, int baud) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, speedFor(baud));
    cfsetospeed(&settings, speedFor(baud));
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

std::string describe(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

// Points `linkPath` at `target` in one step (new link under a temporary name, then rename).
bool placeLink(const std::string& target, const std::string& linkPath, std::string& error) {
    struct stat existing {};
    if (lstat(linkPath.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
        error = "refusing to replace " + linkPath + ": not a symbolic link";
        return false;
    }
    const std::string temp = linkPath + ".clockdev-" + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0) {
        error = describe("cannot create link", temp);
        return false;
    }
    if (rename(temp.c_str(), linkPath.c_str()) != 0) {
        error = describe("cannot create link", linkPath);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

int64_t monotonicNs() { return readClockNs(CLOCK_MONOTONIC); }

int64_t DeviceClock::nowNs() {
    if (!offsetFile_.empty()) refreshOffset();
    return readClockNs(CLOCK_REALTIME) + offsetNs_;
}

void DeviceClock::refreshOffset() {
    const int64_t now = monotonicNs();
    if (now < nextCheckNs_) return;
    nextCheckNs_ = now + kOffsetRecheckNs;
    struct stat st {};
    if (stat(offsetFile_.c_str(), &st) != 0) {
        offsetNs_ = 0;  // no file yet: the fake clock equals the real one
        seenInode_ = 0;
        return;
    }
    if (st.st_ino == seenInode_ && st.st_mtim.tv_sec == seenMtime_.tv_sec &&
        st.st_mtim.tv_nsec == seenMtime_.tv_nsec) {
        return;
    }
    const int fd = open(offsetFile_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char text[ZRQ_FAKE_CLOCK_FILE_MAX];
    const ssize_t got = read(fd, text, sizeof text);
    close(fd);
    int64_t offset = 0;
    if (got > 0 && zrq_parse_offset_ns(text, static_cast<size_t>(got), &offset) == 0) {
        offsetNs_ = offset;
        seenInode_ = st.st_ino;
        seenMtime_ = st.st_mtim;
    }
}

DevicePort::~DevicePort() {
    removeLink();
    if (fd_ >= 0) close(fd_);
}

bool DevicePort::openPseudoTerminal(const std::string& linkPath, int baud, std::string& error) {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[PATH_MAX];
    if (ptsname_r(fd_, name, sizeof name) != 0) {
        error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    portPath_ = name;
    pseudoTerminal_ = true;
    // Configure the slave once: the settings stay with the terminal while the master is open,
    // so a program opening it later gets raw bytes (no echo, no line editing) from the start.
    // Closing it again leaves the master reporting a hang-up until a program opens the slave:
    // that is how the device tells whether anyone listens.
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0 || !makeRaw(slave, baud)) {
        error = describe("cannot configure", portPath_);
        if (slave >= 0) close(slave);
        return false;
    }
    close(slave);
    if (!linkPath.empty()) {
        if (!placeLink(portPath_, linkPath, error)) return false;
        linkPath_ = linkPath;
    }
    return true;
}

bool DevicePort::openDevice(const std::string& path, int baud, std::string& error) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error = describe("cannot open", path);
        return false;
    }
    if (!isatty(fd_) || !makeRaw(fd_, baud)) {
        error = describe("cannot configure", path);
        return false;
    }
    tcflush(fd_, TCIOFLUSH);
    portPath_ = path;
    return true;
}

bool DevicePort::peerPresent() const {
    if (!pseudoTerminal_) return true;
    pollfd probe{fd_, 0, 0};
    return poll(&probe, 1, 0) == 0 || !(probe.revents & POLLHUP);
}

bool DevicePort::writeAll(const uint8_t* bytes, int length) {
    const int64_t deadline = monotonicNs() + kWriteTimeoutMs * kNsPerMs;
    while (length > 0) {
        const ssize_t written = write(fd_, bytes, static_cast<size_t>(length));
        if (written > 0) {
            bytes += written;
            length -= static_cast<int>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) return false;
        const int64_t left = deadline - monotonicNs();
        if (left <= 0) return false;
        pollfd room{fd_, POLLOUT, 0};
        poll(&room, 1, static_cast<int>(left / kNsPerMs) + 1);
    }
    return true;
}

void DevicePort::removeLink() {
    if (linkPath_.empty()) return;
    char target[PATH_MAX];
    const ssize_t length = readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (length > 0 && portPath_ == std::string(target, static_cast<size_t>(length))) {
        unlink(linkPath_.c_str());
    }
    linkPath_.clear();
}

}  // namespace zrq::clockdev
