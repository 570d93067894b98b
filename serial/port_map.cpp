// Port numbers to device paths through COMn entries and the fixed device table; the port listing,
// which looks at device nodes and sysfs only and never opens a device.
#include "serial/port_map.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "serial/terminal_devices.h"

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

bool isTablePort(int port) { return port >= 1 && port <= kHighestTablePort; }

// A port to list: a terminal device, not a system console, and for the onboard ttyS family
// only with a chip behind it.
bool isListablePort(int port, const std::string& path, bool onboardTableDevice,
                    const PortMapPlaces& places) {
    if (!isTerminalDevice(path, places) || isSystemConsole(path, places)) return false;
    return !onboardTableDevice || hasSerialHardware(tableDeviceName(port), places);
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

std::string portName(int port) { return "COM" + std::to_string(port); }

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
            if (isListablePort(port, entry, false, places))
                ports.emplace_back(shownDevicePath(entry), portName(port));
            continue;
        }
        if (!isTablePort(port)) continue;
        const std::string device = joinPath(places.devRoot, tableDeviceName(port));
        const bool onboard = (port - 1) / kDevicesPerFamily == kOnboardFamily;
        if (isListablePort(port, device, onboard, places))
            ports.emplace_back(device, portName(port));
    }
    return ports;
}

}  // namespace zrq
