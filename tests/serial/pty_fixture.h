// A pseudo-terminal standing in for a serial device, and a temporary directory for COMn links.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace zrq::testing {

// The device end is the master; the program end is the slave, reached through links.
class Pty {
public:
    Pty() {
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        slaveName_ = name;
        struct termios raw {};
        ::tcgetattr(master_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(master_, TCSANOW, &raw);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() {
        closeMaster();
        if (slave_ >= 0) ::close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slaveName() const { return slaveName_; }
    // An extra descriptor on the program end: it sees the tty's settings and input queue.
    int slave() const { return slave_; }
    int master() const { return master_; }
    void closeMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    // Sends bytes from the device end, waiting for room as needed.
    void send(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += size_t(n);
            } else {
                pollfd watch{master_, POLLOUT, 0};
                ::poll(&watch, 1, 100);
            }
        }
    }
    // Collects what reached the device end until `count` bytes came or the time ran out.
    std::vector<uint8_t> receive(size_t count, std::chrono::milliseconds timeout = kPatience) {
        std::vector<uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        uint8_t buffer[4096];
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0) {
                got.insert(got.end(), buffer, buffer + n);
            } else {
                pollfd watch{master_, POLLIN, 0};
                ::poll(&watch, 1, 20);
            }
        }
        return got;
    }
    // Waits until the program end's input queue holds at least `count` bytes.
    bool waitQueued(int count, std::chrono::milliseconds timeout = kPatience) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int queued = 0;
            ::ioctl(slave_, FIONREAD, &queued);
            if (queued >= count) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    static constexpr std::chrono::milliseconds kPatience{5000};

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
};

// Counts the opens of watched files (inotify), so a test can tell that nothing opened them.
class OpenWatch {
public:
    OpenWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~OpenWatch() { ::close(fd_); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    void watch(const std::string& path) { ::inotify_add_watch(fd_, path.c_str(), IN_OPEN); }
    int opens() {
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                if (event->mask & IN_OPEN) ++opens_;
                p += sizeof(inotify_event) + event->len;
            }
        }
        return opens_;
    }

private:
    int fd_;
    int opens_ = 0;
};

// A stand-in for /proc/consoles naming these pseudo-terminals (by device number) as consoles,
// plus a console without a device, which names none.
inline void writeConsoles(const std::string& path, std::initializer_list<const Pty*> consoles) {
    std::ofstream out(path);
    for (const Pty* pty : consoles) {
        struct stat info {};
        ::stat(pty->slaveName().c_str(), &info);
        out << "ttyS0                -W- (EC  p a)    " << major(info.st_rdev) << ":"
            << minor(info.st_rdev) << "\n";
    }
    out << "netcon0              -W- (E     a)\n";
}

inline std::vector<uint8_t> everyByteValue() {
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i) bytes[i] = uint8_t(i);
    return bytes;
}

}  // namespace zrq::testing
