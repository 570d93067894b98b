// Port numbers (COM1, COM2, ...) to device paths, and the list of ports present on this machine.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zrq {

// Where the port map looks. Tests point these at temporary directories and fixture files.
struct PortMapPlaces {
    std::string workDir;                         // holds the COMn entries; empty = current dir
    std::string devRoot = "/dev";                // holds ttyS*, ttyUSB*, ttyACM*, rfcomm*
    std::string sysClassTty = "/sys/class/tty";  // tells which ttyS* have hardware behind them
    std::string sysDevChar = "/sys/dev/char";    // MAJOR:MINOR entries tell terminals apart
    std::string consoles = "/proc/consoles";     // the active system consoles, never opened
};

inline constexpr int kDevicesPerFamily = 32;    // ttyS0..31, ttyUSB0..31, ...
inline constexpr int kHighestTablePort = 128;   // ports above resolve only through COMn
inline constexpr int kHighestListedPort = 255;  // a stored port number is one byte

// "COM7" for 7.
std::string portName(int port);

// The device that port n opens: the entry "COMn" of the working directory when it exists (even
// a dangling link: the user named that port, another device must not stand in for it), else
// 1..32 /dev/ttyS0..31, 33..64 /dev/ttyUSB0..31, 65..96 /dev/ttyACM0..31, 97..128
// /dev/rfcomm0..31. Empty when the port maps to nothing.
std::string devicePathForPort(int port, const PortMapPlaces& places = {});

// (device path, port name) for every port 1..255 whose device exists and is a terminal, in
// ascending port order. A table ttyS device counts only with hardware behind it; a system
// console never counts. A COMn entry shows the device its link names. Decided from stat and
// sysfs alone: no device is opened (an open raises DTR and RTS on a real line).
using PortList = std::vector<std::pair<std::string, std::string>>;
PortList listPorts(const PortMapPlaces& places = {});

}  // namespace zrq
