// Line speed in bit/s through termios2 (TCGETS2/TCSETS2 with BOTHER).
#include "serial/line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace zrq {

int setLineSpeed(int fd, unsigned bitsPerSecond) {
    struct termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) != 0) return errno;
    // BOTHER: take the rate from c_ospeed; input speed bits cleared = same as output.
    settings.c_cflag &= ~(CBAUD | CIBAUD);
    settings.c_cflag |= BOTHER;
    settings.c_ospeed = bitsPerSecond;
    settings.c_ispeed = bitsPerSecond;
    if (::ioctl(fd, TCSETS2, &settings) != 0) return errno;
    return 0;
}

long lineSpeed(int fd) {
    struct termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) != 0) return -1;
    return static_cast<long>(settings.c_ospeed);
}

}  // namespace zrq
