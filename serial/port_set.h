// Applying the line parameters to an open port: PortSet and the write time-out it derives from the
// rate read back.
#pragma once

#include "base/message_boxes.h"
#include "serial/line_settings.h"
#include "serial/serial_library.h"

namespace zrq {

inline constexpr int kWriteTimeoutUnitMs = 10;

// True when an sio_open result means "open": callers look at its low 8 bits only.
inline bool openSucceeded(int openResult) { return (openResult & 0xFF) == 0; }

// Write time-out in ms for a line running at `rate` bit/s: (1000 div rate) x 10 ms, where a
// factor below 1 (rates above 1000, and a rate of zero or less) counts as 1.
int writeTimeoutMs(long rate);

// Applies `line` to its port, which the caller has opened: ioctl (rate and 8N1), flow control,
// DTR, RTS (only without hardware flow) and the write time-out. The first library call that fails
// shows its error box and ends with false; the port is left as it is (the caller closes it).
bool PortSet(SerialLibrary& serial, const LineSettings& line, MessageBoxes& boxes);

}  // namespace zrq
