// The serial library: every byte on the serial line goes through these functions. Ports are
// numbered from 1 (COM1); the caller passes LineSettings.Port at the moment of the call.
#pragma once

#include <cstdint>
#include <string>

namespace zrq {

// Rate codes 0..19 of sio_ioctl, in bit/s.
inline constexpr int kBaudRates[20] = {50,    75,    110,    134,    150,    300,   600,
                                       1200,  1800,  2400,   4800,   7200,   9600,  19200,
                                       38400, 57600, 115200, 230400, 460800, 921600};
inline constexpr int kBaudCode4800 = 10;
inline constexpr int kBaudCode9600 = 12;
inline constexpr int kLineMode8N1 = 3;  // parity none (0) | 8 data bits (3) | one stop bit (0)
inline constexpr int kFlowHardware = 3;
inline constexpr int kFlowSoftware = 12;
inline constexpr int kMaxChunk = 255;  // sio_read never returns more
// What sio_read returns once the line has hung up (the device went away, the far end closed): no
// byte will come again until the port is closed and opened anew. Distinct from the negative
// errno values of a port that is not open.
inline constexpr int kReadHungUp = -1000;

class SerialLibrary {
public:
    virtual ~SerialLibrary() = default;
    virtual int sio_open(int port) = 0;  // 0 = open, else not opened
    virtual void sio_close(int port) = 0;
    virtual void sio_flush(int port, int func) = 0;               // discards buffered data
    virtual int sio_ioctl(int port, int baudCode, int mode) = 0;  // 0 = applied
    virtual int sio_flowctrl(int port, int mask) = 0;             // 0 = applied
    virtual int sio_DTR(int port, int level) = 0;                 // 0 = applied
    virtual int sio_RTS(int port, int level) = 0;                 // 0 = applied
    virtual long sio_getbaud(int port) = 0;                       // bit/s, <= 0 when unknown
    virtual void sio_SetWriteTimeouts(int port, int timeoutMs) = 0;
    // Returns at once: bytes placed in buffer (at most length, at most 255); below 1 = nothing,
    // and kReadHungUp when the line hung up.
    virtual int sio_read(int port, uint8_t* buffer, int length) = 0;
    // Bytes written (callers ignore it); negative when the port is not open.
    virtual int sio_write(int port, const uint8_t* bytes, int length) = 0;

    // The descriptor that becomes readable when bytes arrive on the port, for a receiver that
    // watches for arrivals (epoll) between its reads; -1 when the port is not open or the library
    // has none to offer. Valid until the port is closed.
    virtual int inputDescriptor(int /*port*/) { return -1; }
    // True when inputDescriptor() gives every open port's descriptor: a port without one is then
    // not open, and nothing can arrive on it before it is opened again.
    virtual bool offersInputDescriptors() const { return false; }

    // One line for the journal and standard error on why sio_open(port) gave `result`: the
    // device and, where the library knows it, the system's reason. UTF-8.
    virtual std::string openFailureText(int port, int result) const {
        return "COM" + std::to_string(port) + ": the port did not open (" + std::to_string(result) +
               ")";
    }
};

}  // namespace zrq
