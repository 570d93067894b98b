// Line speed in bit/s through the kernel's termios2 interface, which also takes rates that have
// no B-constant (7200 bit/s). Kept apart because its header clashes with <termios.h>.
#pragma once

namespace zrq {

// Sets input and output speed of the terminal to exactly this rate; 0 or an errno value.
int setLineSpeed(int fd, unsigned bitsPerSecond);

// The terminal's output speed in bit/s; -1 when it cannot be read.
long lineSpeed(int fd);

}  // namespace zrq
