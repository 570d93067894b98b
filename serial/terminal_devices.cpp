// Terminal, serial hardware and system console tests over stat, sysfs and /proc/consoles.
#include "serial/terminal_devices.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace zrq {
namespace {

namespace fs = std::filesystem;

// Unix98 pseudo-terminal slaves use majors 136..143 and have no entry under /sys/dev/char.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;
constexpr unsigned kUnknownPortType = 0;  // PORT_UNKNOWN in the uart's "type" attribute

bool characterDevice(const std::string& path, dev_t& device) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    device = info.st_rdev;
    return true;
}

std::string deviceNumberText(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// A console line ends in the device number, "4:64"; consoles without a device end otherwise.
bool consoleLineNames(const std::string& line, dev_t device) {
    const size_t last = line.find_last_of(" \t");
    unsigned majorNumber = 0, minorNumber = 0;
    char rest = 0;
    const std::string number = last == std::string::npos ? line : line.substr(last + 1);
    if (std::sscanf(number.c_str(), "%u:%u%c", &majorNumber, &minorNumber, &rest) != 2)
        return false;
    return makedev(majorNumber, minorNumber) == device;
}

constexpr int kMaxLatencyTimerMs = 255;  // the adapters keep it in one byte

std::optional<int> readLatencyTimer(const fs::path& file) {
    std::ifstream in(file);
    int milliseconds = -1;
    if (!(in >> milliseconds) || milliseconds < 0 || milliseconds > kMaxLatencyTimerMs)
        return std::nullopt;
    return milliseconds;
}

}  // namespace

bool isTerminalDevice(const std::string& path, const PortMapPlaces& places) {
    dev_t device = 0;
    if (!characterDevice(path, device)) return false;
    if (major(device) >= kFirstPtySlaveMajor && major(device) <= kLastPtySlaveMajor) return true;
    std::error_code error;
    const fs::path subsystem = fs::read_symlink(
        fs::path(places.sysDevChar) / deviceNumberText(device) / "subsystem", error);
    return !error && subsystem.filename() == "tty";
}

bool hasSerialHardware(const std::string& ttyName, const PortMapPlaces& places) {
    const fs::path tty = fs::path(places.sysClassTty) / ttyName;
    std::error_code error;
    if (!fs::exists(tty / "device", error)) return false;
    std::ifstream typeFile(tty / "type");
    unsigned type = 0;
    // Drivers other than the UART core have no "type": their device alone says enough.
    if (!(typeFile >> type)) return true;
    return type != kUnknownPortType;
}

bool isSystemConsole(const std::string& path, const PortMapPlaces& places) {
    dev_t device = 0;
    if (!characterDevice(path, device)) return false;
    std::ifstream consoles(places.consoles);
    for (std::string line; std::getline(consoles, line);) {
        if (consoleLineNames(line, device)) return true;
    }
    return false;
}

std::optional<int> adapterLatencyTimerMs(int port, const PortMapPlaces& places) {
    const std::string path = devicePathForPort(port, places);
    if (path.empty()) return std::nullopt;
    std::error_code error;
    const fs::path device = fs::canonical(path, error);
    if (error) return std::nullopt;
    // The attribute sits on the tty's own device (ftdi_sio) or on its parent interface.
    const fs::path ttyDevice = fs::path(places.sysClassTty) / device.filename() / "device";
    for (const fs::path& file : {ttyDevice / "latency_timer", ttyDevice / ".." / "latency_timer"})
        if (auto milliseconds = readLatencyTimer(file)) return milliseconds;
    return std::nullopt;
}

}  // namespace zrq
