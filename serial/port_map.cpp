// Port numbers to device paths through COMn entries and the fixed device table; the port listing.
#include "serial/port_map.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace zrq {
namespace {

namespace fs = std::filesystem;

// The device families of the table, in port order: ports 1..32 are the first family, and so on.
constexpr const char* kTableFamilies[] = {"ttyS", "ttyUSB", "ttyACM", "rfcomm"};
constexpr int kOnboardFamily = 0;  // ttyS: legacy UARTs are registered whether present or not

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string comEntryPath(int port, const PortMapPlaces& places) {
    return joinPath(places.workDir, portName(port));
}

bool entryExists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

std::string tableDeviceName(int port) {
    const int family = (port - 1) / kDevicesPerFamily;
    return kTableFamilies[family] + std::to_string((port - 1) % kDevicesPerFamily);
}

bool isTablePort(int port) {
    return port >= 1 && port <= kHighestTablePort;
}

// A tty that another open holds exclusively refuses non-root opens with EBUSY; it is present.
constexpr int kHeldExclusively = -2;

// An open descriptor on a character device, or -1, or kHeldExclusively.
int openCharacterDevice(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return -1;
    // Non-blocking so that a modem line without carrier does not hold the listing up.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EBUSY) return kHeldExclusively;
    return fd;
}

// Legacy UART ports exist in /dev and sysfs even without a chip; the driver reports the chip
// type, and PORT_UNKNOWN means nothing answers there.
bool hasSerialHardware(int fd, const std::string& deviceName, const PortMapPlaces& places) {
    struct serial_struct serial {};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) return serial.type != PORT_UNKNOWN;
    std::error_code error;
    return fs::exists(joinPath(joinPath(places.sysClassTty, deviceName), "device"), error);
}

bool isPresentTerminal(int port, const std::string& path, bool onboardTableDevice,
                       const PortMapPlaces& places) {
    const int fd = openCharacterDevice(path);
    if (fd == kHeldExclusively) return true;
    if (fd < 0) return false;
    bool present = ::isatty(fd) == 1;
    if (present && onboardTableDevice)
        present = hasSerialHardware(fd, tableDeviceName(port), places);
    ::close(fd);
    return present;
}

// The device a COMn entry stands for: its link target made absolute, or the entry itself.
std::string shownDevicePath(const std::string& entryPath) {
    std::error_code error;
    const fs::path entry(entryPath);
    const fs::path target = fs::read_symlink(entry, error);
    if (error) return fs::absolute(entry, error).lexically_normal().string();
    if (target.is_absolute()) return target.lexically_normal().string();
    return fs::absolute(entry.parent_path() / target, error).lexically_normal().string();
}

}  // namespace

std::string portName(int port) {
    return "COM" + std::to_string(port);
}

std::string devicePathForPort(int port, const PortMapPlaces& places) {
    if (port < 0) return {};
    const std::string entry = comEntryPath(port, places);
    if (entryExists(entry)) return entry;
    if (!isTablePort(port)) return {};
    return joinPath(places.devRoot, tableDeviceName(port));
}

PortList listPorts(const PortMapPlaces& places) {
    PortList ports;
    for (int port = 1; port <= kHighestListedPort; ++port) {
        const std::string entry = comEntryPath(port, places);
        if (entryExists(entry)) {
            if (isPresentTerminal(port, entry, false, places))
                ports.emplace_back(shownDevicePath(entry), portName(port));
            continue;
        }
        if (!isTablePort(port)) continue;
        const std::string device = joinPath(places.devRoot, tableDeviceName(port));
        const bool onboard = (port - 1) / kDevicesPerFamily == kOnboardFamily;
        if (isPresentTerminal(port, device, onboard, places))
            ports.emplace_back(device, portName(port));
    }
    return ports;
}

}  // namespace zrq
