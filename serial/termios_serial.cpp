// The serial library over POSIX terminals (termios, flock, poll).
#include "serial/termios_serial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "base/system_calls.h"
#include "serial/line_speed.h"
#include "serial/terminal_devices.h"

namespace zrq {
namespace {

constexpr int kRateCodes = 20;
constexpr speed_t kNoConstant = B0;  // the rate has no B-constant; set it through termios2

// The termios speed of each rate code (kBaudRates gives the same rates in bit/s).
constexpr speed_t kSpeeds[kRateCodes] = {
    B50,   B75,         B110,  B134,   B150,   B300,   B600,    B1200,   B1800,   B2400,
    B4800, kNoConstant, B9600, B19200, B38400, B57600, B115200, B230400, B460800, B921600};

constexpr int kDataBitsMask = 3;  // mode bits 0..1: 0 = 5 data bits .. 3 = 8 data bits
constexpr tcflag_t kDataBits[4] = {CS5, CS6, CS7, CS8};
constexpr int kFlowMaskBits = kFlowHardware | kFlowSoftware;

bool validPort(int port) { return port >= 0 && port < TermiosSerial::kPortSlots; }

// A pseudo-terminal has no modem-control lines and answers ENOTTY (some drivers EINVAL).
bool noModemLines(int error) { return error == ENOTTY || error == EINVAL; }

int rawMode(int fd) {
    struct termios settings {};
    if (::tcgetattr(fd, &settings) != 0) return errno;
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;  // ignore carrier, receive
    settings.c_cc[VMIN] = 0;             // reads return at once with what is there
    settings.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) return errno;
    return 0;
}

// USB serial drivers hold received bytes back for their latency timer (16 ms by default) unless
// asked for low latency, which they grant without privilege (the timer goes to 1 ms). Drivers
// and pseudo-terminals that refuse are left as they are.
void askForLowLatency(int fd) {
    serial_struct line{};
    if (::ioctl(fd, TIOCGSERIAL, &line) != 0 || (line.flags & ASYNC_LOW_LATENCY) != 0) return;
    line.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &line);
}

// A terminal whose device went away or whose far end closed reports POLLHUP for good.
bool hungUp(int fd) {
    pollfd watch{fd, POLLIN, 0};
    return ::poll(&watch, 1, 0) > 0 && (watch.revents & (POLLHUP | POLLNVAL)) != 0;
}

void closeDescriptor(int fd) {
    ::ioctl(fd, TIOCNXCL);  // the exclusive mark belongs to the tty, not to this descriptor
    ::close(fd);            // also drops the flock
}

timespec toTimespec(std::chrono::nanoseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    return {static_cast<time_t>(seconds.count()), static_cast<long>((duration - seconds).count())};
}

// Waits until the descriptor takes more bytes or the deadline passes; false when it will not.
bool waitForRoom(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero()) return false;
        const timespec timeout = toTimespec(left);
        pollfd watch{fd, POLLOUT, 0};
        const int ready = ::ppoll(&watch, 1, &timeout, nullptr);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        return (watch.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
    }
}

}  // namespace

TermiosSerial::TermiosSerial(PortMapPlaces places) : places_(std::move(places)) {
    for (auto& fd : descriptors_) fd.store(-1);
    for (auto& timeout : writeTimeoutsMs_) timeout.store(kDefaultWriteTimeoutMs);
}

TermiosSerial::~TermiosSerial() {
    for (int port = 0; port < kPortSlots; ++port) sio_close(port);
}

int TermiosSerial::descriptorOf(int port) const {
    return validPort(port) ? descriptors_[port].load(std::memory_order_acquire) : -1;
}

int TermiosSerial::sio_open(int port) {
    if (!validPort(port)) return EINVAL;
    if (descriptorOf(port) >= 0) return EBUSY;
    const std::string path = devicePathForPort(port, places_);
    if (path.empty()) return ENOENT;
    // The system console carries the machine's own messages and logins: a time-code port there
    // would put it into raw mode and write frames into it every second.
    if (isSystemConsole(path, places_)) return EBUSY;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;  // EBUSY when another open holds it with TIOCEXCL
    if (::isatty(fd) != 1) {
        ::close(fd);
        return ENOTTY;
    }
    // The lock comes first: TIOCEXCL marks the tty itself, and must not be left on a line that
    // another program holds. TIOCEXCL keeps out other users' opens; the flock also keeps out root.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return EBUSY;
    }
    ::ioctl(fd, TIOCEXCL);  // best effort: the flock already decides who has the port
    if (const int error = rawMode(fd); error != 0) {
        closeDescriptor(fd);
        return error;
    }
    askForLowLatency(fd);
    writeTimeoutsMs_[port].store(kDefaultWriteTimeoutMs);
    descriptors_[port].store(fd, std::memory_order_release);
    return 0;
}

void TermiosSerial::sio_close(int port) {
    if (!validPort(port)) return;
    const int fd = descriptors_[port].exchange(-1, std::memory_order_acq_rel);
    if (fd >= 0) closeDescriptor(fd);
}

void TermiosSerial::sio_flush(int port, int func) {
    const int fd = descriptorOf(port);
    if (fd < 0) return;
    if (func == kFlushInput) ::tcflush(fd, TCIFLUSH);
    if (func == kFlushOutput) ::tcflush(fd, TCOFLUSH);
    if (func == kFlushBoth) ::tcflush(fd, TCIOFLUSH);
}

int TermiosSerial::sio_ioctl(int port, int baudCode, int mode) {
    const int fd = descriptorOf(port);
    if (fd < 0) return EBADF;
    if (baudCode < 0 || baudCode >= kRateCodes || (mode & ~kDataBitsMask) != 0) return EINVAL;
    struct termios settings {};
    if (::tcgetattr(fd, &settings) != 0) return errno;
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    settings.c_cflag |= kDataBits[mode & kDataBitsMask] | CLOCAL | CREAD;
    const speed_t speed = kSpeeds[baudCode];
    if (speed != kNoConstant) ::cfsetspeed(&settings, speed);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) return errno;
    if (speed == kNoConstant) return setLineSpeed(fd, static_cast<unsigned>(kBaudRates[baudCode]));
    return 0;
}

int TermiosSerial::sio_flowctrl(int port, int mask) {
    const int fd = descriptorOf(port);
    if (fd < 0) return EBADF;
    if ((mask & ~kFlowMaskBits) != 0) return EINVAL;
    struct termios settings {};
    if (::tcgetattr(fd, &settings) != 0) return errno;
    settings.c_cflag &= ~CRTSCTS;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (mask & kFlowHardware) settings.c_cflag |= CRTSCTS;
    if (mask & kFlowSoftware) settings.c_iflag |= IXON | IXOFF;
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) return errno;
    return 0;
}

int TermiosSerial::modemLine(int port, int line, int level) {
    const int fd = descriptorOf(port);
    if (fd < 0) return EBADF;
    int bits = line;
    if (::ioctl(fd, level ? TIOCMBIS : TIOCMBIC, &bits) == 0) return 0;
    return noModemLines(errno) ? 0 : errno;
}

int TermiosSerial::sio_DTR(int port, int level) { return modemLine(port, TIOCM_DTR, level); }

int TermiosSerial::sio_RTS(int port, int level) { return modemLine(port, TIOCM_RTS, level); }

long TermiosSerial::sio_getbaud(int port) {
    const int fd = descriptorOf(port);
    return fd < 0 ? -1 : lineSpeed(fd);
}

void TermiosSerial::sio_SetWriteTimeouts(int port, int timeoutMs) {
    if (descriptorOf(port) < 0) return;
    writeTimeoutsMs_[port].store(std::max(timeoutMs, 0));
}

int TermiosSerial::sio_read(int port, uint8_t* buffer, int length) {
    const int fd = descriptorOf(port);
    if (fd < 0) return -EBADF;
    if (buffer == nullptr || length <= 0) return 0;
    const ssize_t count = ::read(fd, buffer, std::min(length, kMaxChunk));
    if (count > 0) return static_cast<int>(count);
    // EAGAIN: nothing there. A hung-up terminal reads as an end of file (0) and a pseudo-terminal
    // whose other end closed as EIO; a device unplugged gives EIO or ENODEV.
    if (count < 0 && errno != EAGAIN && errno != EINTR) return kReadHungUp;
    return hungUp(fd) ? kReadHungUp : 0;
}

std::string TermiosSerial::openFailureText(int port, int result) const {
    const std::string name = portName(port);
    const std::string path = validPort(port) ? devicePathForPort(port, places_) : std::string();
    if (path.empty())
        return name + ": no device for this port (no " + name +
               " link in the working directory and none in the device table)";
    std::string text = name + " (" + path;
    std::error_code error;
    const auto target = std::filesystem::canonical(path, error);
    if (!error && target.string() != path) text += " -> " + target.string();
    const auto link = std::filesystem::read_symlink(path, error);
    if (!error && !std::filesystem::exists(path, error)) text += " -> " + link.string();
    text += "): " + errorText(result);
    if (result == EACCES || result == EPERM)
        text += "; the user running the program needs read and write access to the device";
    if (result == EBUSY) text += "; another program holds it, or it is the system console";
    return text;
}

int TermiosSerial::sio_write(int port, const uint8_t* bytes, int length) {
    const int fd = descriptorOf(port);
    if (fd < 0) return -EBADF;
    if (bytes == nullptr || length <= 0) return 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(writeTimeoutsMs_[port].load());
    int written = 0;
    while (written < length) {
        const ssize_t count = ::write(fd, bytes + written, size_t(length - written));
        if (count > 0) {
            written += static_cast<int>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && errno != EAGAIN) {
            break;  // hung up or failed: what is written stays written
        } else if (!waitForRoom(fd, deadline)) {
            break;
        }
    }
    return written;
}

}  // namespace zrq
