// The serial library as the clock engine uses it: every call passed on, and which port is open
// remembered, so that the engine knows when to try its port again.
#pragma once

#include "serial/serial_library.h"

namespace zrq {

class PortWatch final : public SerialLibrary {
public:
    explicit PortWatch(SerialLibrary& serial) : serial_(serial) {}

    // Whether `port` was opened here and not closed since.
    bool isOpen(int port) const { return open_ >= 0 && open_ == port; }

    int sio_open(int port) override {
        const int result = serial_.sio_open(port);
        if ((result & 0xFF) == 0) open_ = port;  // callers test the low 8 bits only
        return result;
    }
    void sio_close(int port) override {
        serial_.sio_close(port);
        if (port == open_) open_ = -1;
    }
    void sio_flush(int port, int func) override { serial_.sio_flush(port, func); }
    int sio_ioctl(int port, int baudCode, int mode) override {
        return serial_.sio_ioctl(port, baudCode, mode);
    }
    int sio_flowctrl(int port, int mask) override { return serial_.sio_flowctrl(port, mask); }
    int sio_DTR(int port, int level) override { return serial_.sio_DTR(port, level); }
    int sio_RTS(int port, int level) override { return serial_.sio_RTS(port, level); }
    long sio_getbaud(int port) override { return serial_.sio_getbaud(port); }
    void sio_SetWriteTimeouts(int port, int timeoutMs) override {
        serial_.sio_SetWriteTimeouts(port, timeoutMs);
    }
    int sio_read(int port, uint8_t* buffer, int length) override {
        return serial_.sio_read(port, buffer, length);
    }
    int sio_write(int port, const uint8_t* bytes, int length) override {
        return serial_.sio_write(port, bytes, length);
    }
    int inputDescriptor(int port) override { return serial_.inputDescriptor(port); }
    std::string openFailureText(int port, int result) const override {
        return serial_.openFailureText(port, result);
    }

private:
    SerialLibrary& serial_;
    int open_ = -1;  // written on the loop's thread only, while the receiver is held
};

}  // namespace zrq
