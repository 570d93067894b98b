// What a device node is, decided without opening it: a terminal or not, a serial port with
// hardware behind it, the active system console. Opening a real serial line raises DTR and RTS,
// which resets boards and hangs up modems, so nothing here ever opens a device.
#pragma once

#include <optional>
#include <string>

#include "serial/port_map.h"

namespace zrq {

// A character device that the kernel runs as a terminal: its /sys/dev/char/MAJOR:MINOR entry
// belongs to the tty class, or it is a pseudo-terminal (which has no sysfs entry). Follows links.
bool isTerminalDevice(const std::string& path, const PortMapPlaces& places);

// Whether the legacy UART `ttyName` (e.g. "ttyS1") answers: the kernel registers ttyS0..n
// whether a chip is there or not, and reports type 0 (unknown) for an empty slot.
bool hasSerialHardware(const std::string& ttyName, const PortMapPlaces& places);

// Whether the device at `path` (links followed) is one of the active system consoles listed in
// places.consoles, by device number. An unreadable list names no console.
bool isSystemConsole(const std::string& path, const PortMapPlaces& places);

// The latency timer of the USB serial adapter behind port n (its COMn link or table device
// followed), in milliseconds, as sysfs shows it (ftdi_sio and kin); empty when the port has no
// device or its driver shows none.
std::optional<int> adapterLatencyTimerMs(int port, const PortMapPlaces& places = {});

}  // namespace zrq
