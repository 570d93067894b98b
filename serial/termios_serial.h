// The serial library over POSIX terminals: ports resolved through the port map, opened
// exclusively, raw, non-blocking; reads return at once, writes give up after the write time-out.
#pragma once

#include <array>
#include <atomic>

#include "serial/port_map.h"
#include "serial/serial_library.h"

namespace zrq {

// Results other than 0 are errno values. They are all below 256, so a caller that tests only the
// low 8 bits of the result still sees the failure.
class TermiosSerial final : public SerialLibrary {
public:
    static constexpr int kPortSlots = 256;  // ports 0..255: the range a stored port can name
    static constexpr int kDefaultWriteTimeoutMs = 10;  // until sio_SetWriteTimeouts says otherwise
    // sio_flush functions.
    static constexpr int kFlushInput = 0;   // discard bytes received and not yet read
    static constexpr int kFlushOutput = 1;  // discard bytes written and not yet sent
    static constexpr int kFlushBoth = 2;

    explicit TermiosSerial(PortMapPlaces places = {});
    ~TermiosSerial() override;  // closes every port still open

    TermiosSerial(const TermiosSerial&) = delete;
    TermiosSerial& operator=(const TermiosSerial&) = delete;

    // Fails for a port already open here, or held by another program (flock), or not a terminal,
    // or an active system console (EBUSY, without opening it). Asks the driver for low latency.
    int sio_open(int port) override;
    void sio_close(int port) override;
    void sio_flush(int port, int func) override;
    // Rate code 0..19; mode: bits 0..1 give 5..8 data bits. Only no parity and one stop bit are
    // supported (the device line never uses others), so any other mode bit is refused.
    int sio_ioctl(int port, int baudCode, int mode) override;
    // kFlowHardware bits: RTS/CTS; kFlowSoftware bits: XON/XOFF both ways.
    int sio_flowctrl(int port, int mask) override;
    // A line without modem-control lines (a pseudo-terminal) takes these as a no-op.
    int sio_DTR(int port, int level) override;
    int sio_RTS(int port, int level) override;
    long sio_getbaud(int port) override;  // bit/s; -1 when the port is not open
    void sio_SetWriteTimeouts(int port, int timeoutMs) override;
    // At most min(length, 255) bytes of what has arrived; 0 when nothing; kReadHungUp when the
    // line hung up (end of file, EIO, POLLHUP); other negatives when the port is not open. Never
    // blocks.
    int sio_read(int port, uint8_t* buffer, int length) override;
    // Writes everything, waiting for room at most the write time-out in total; returns the bytes
    // written, negative when the port is not open.
    int sio_write(int port, const uint8_t* bytes, int length) override;
    // The open port's terminal descriptor.
    int inputDescriptor(int port) override { return descriptorOf(port); }
    bool offersInputDescriptors() const override { return true; }
    // "COM3 (/dev/ttyUSB0): Permission denied; ...": the device path, where the COMn link leads,
    // and the errno text of `result`.
    std::string openFailureText(int port, int result) const override;

    // The places the port map looks in.
    const PortMapPlaces& places() const { return places_; }

private:
    int descriptorOf(int port) const;  // -1 when not open
    int modemLine(int port, int line, int level);

    PortMapPlaces places_;
    // Read by the reader and the writer thread on every call; changed only by open and close,
    // which happen while the reader is held.
    std::array<std::atomic<int>, kPortSlots> descriptors_;
    std::array<std::atomic<int>, kPortSlots> writeTimeoutsMs_;
};

}  // namespace zrq
