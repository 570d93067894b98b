// PortSet: rate and mode, flow control, DTR, RTS and the write time-out, each with its error box.
#include "serial/port_set.h"

namespace zrq {
namespace {

constexpr int kMillisecondsPerSecond = 1000;

// A library result other than 0 is a failure: show the step's error box and report it.
bool stepSucceeded(int result, MessageBoxes& boxes, const char* failureText) {
    if (result == 0) return true;
    boxes.error(gbk(failureText));
    return false;
}

}  // namespace

int writeTimeoutMs(long rate) {
    long factor = rate > 0 ? kMillisecondsPerSecond / rate : 0;
    if (factor < 1) factor = 1;
    return static_cast<int>(factor) * kWriteTimeoutUnitMs;
}

bool PortSet(SerialLibrary& serial, const LineSettings& line, MessageBoxes& boxes) {
    const int port = line.Port.load();
    const int mode = line.Parity | line.ByteSize | line.StopBits;
    if (!stepSucceeded(serial.sio_ioctl(port, line.BaudCode, mode), boxes, "通讯参数设置错误！")) {
        return false;
    }
    const int flowMask = (line.Hw ? kFlowHardware : 0) + (line.Sw ? kFlowSoftware : 0);
    if (!stepSucceeded(serial.sio_flowctrl(port, flowMask), boxes, "流控制设置失败！")) {
        return false;
    }
    if (!stepSucceeded(serial.sio_DTR(port, line.Dtr ? 1 : 0), boxes, "DTR设置失败！")) {
        return false;
    }
    // With hardware flow control RTS belongs to the flow control.
    if (!line.Hw &&
        !stepSucceeded(serial.sio_RTS(port, line.Rts ? 1 : 0), boxes, "RTS设置失败！")) {
        return false;
    }
    serial.sio_SetWriteTimeouts(port, writeTimeoutMs(serial.sio_getbaud(port)));
    return true;
}

}  // namespace zrq
