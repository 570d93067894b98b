// A serial library that keeps nothing: every call succeeds and writes are only counted, so that a
// test counting allocations sees the code under test alone.
#pragma once

#include <cstdint>

#include "serial/serial_library.h"

namespace zrq::testing {

class QuietSerial final : public SerialLibrary {
public:
    int writeCount = 0;
    int sio_open(int) override { return 0; }
    void sio_close(int) override {}
    void sio_flush(int, int) override {}
    int sio_ioctl(int, int, int) override { return 0; }
    int sio_flowctrl(int, int) override { return 0; }
    int sio_DTR(int, int) override { return 0; }
    int sio_RTS(int, int) override { return 0; }
    long sio_getbaud(int) override { return 4800; }
    void sio_SetWriteTimeouts(int, int) override {}
    int sio_read(int, uint8_t*, int) override { return 0; }
    int sio_write(int, const uint8_t*, int length) override {
        ++writeCount;
        return length;
    }
};

}  // namespace zrq::testing
