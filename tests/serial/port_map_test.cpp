// Tests of the port map: COMn entries before the device table, and the listing of present ports.
#include "serial/port_map.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/serial/pty_fixture.h"

namespace zrq {
namespace {

namespace fs = std::filesystem;
using testing::OpenWatch;
using testing::Pty;
using testing::TempDir;

class PortMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir / "work");
        fs::create_directories(dir / "dev");
        fs::create_directories(dir / "sys");
    }
    void touch(const std::string& path) { std::fclose(std::fopen(path.c_str(), "w")); }

    // Makes the fake /sys/dev/char entry of a device name the kernel subsystem it belongs to.
    void subsystem(const std::string& device, const std::string& name) {
        struct stat info;
        ASSERT_EQ(::stat(device.c_str(), &info), 0);
        const fs::path entry =
            fs::path(dir / "sysdev") /
            (std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev)));
        fs::create_directories(entry);
        fs::create_symlink("../../class/" + name, entry / "subsystem");
    }

    TempDir dir;
    PortMapPlaces places{dir / "work", dir / "dev", dir / "sys", dir / "sysdev", dir / "consoles"};
};

TEST_F(PortMapTest, TablePortsResolveToTheirDeviceFamily) {
    const struct {
        int port;
        const char* device;  // under the device root; "" = no device
    } table[] = {
        {1, "ttyS0"},    {32, "ttyS31"},   {33, "ttyUSB0"}, {64, "ttyUSB31"},
        {65, "ttyACM0"}, {96, "ttyACM31"}, {97, "rfcomm0"}, {128, "rfcomm31"},
        {129, ""},       {255, ""},        {0, ""},         {-4, ""},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.port);
        const std::string expected = *row.device ? dir / ("dev/" + std::string(row.device)) : "";
        EXPECT_EQ(devicePathForPort(row.port, places), expected);
    }
}

TEST_F(PortMapTest, AComEntryInTheWorkingDirectoryWinsAtAnyPortNumber) {
    fs::create_symlink("/dev/null", dir / "work/COM1");
    fs::create_symlink("/dev/null", dir / "work/COM200");
    fs::create_symlink(dir / "nowhere", dir / "work/COM3");
    fs::create_symlink("/dev/null", dir / "work/COM0");
    EXPECT_EQ(devicePathForPort(1, places), dir / "work/COM1");
    EXPECT_EQ(devicePathForPort(200, places), dir / "work/COM200");
    EXPECT_EQ(devicePathForPort(3, places), dir / "work/COM3")
        << "a dangling link still names the port; no other device stands in";
    EXPECT_EQ(devicePathForPort(0, places), dir / "work/COM0");
    EXPECT_EQ(devicePathForPort(2, places), dir / "dev/ttyS1");
    EXPECT_EQ(portName(17), "COM17");
}

TEST_F(PortMapTest, AnEmptyWorkingDirectoryMeansTheCurrentOne) {
    PortMapPlaces here{"", dir / "dev", dir / "sys"};
    const fs::path previous = fs::current_path();
    fs::current_path(dir / "work");
    fs::create_symlink("/dev/null", "COM4");
    EXPECT_EQ(devicePathForPort(4, here), "COM4");
    fs::current_path(previous);
}

TEST_F(PortMapTest, ListingHoldsPresentTerminalsInPortOrderAndOpensNone) {
    Pty onboard, usb, acm, linkedLow, linkedHigh, unbacked, emptySlot, console, consoleLink;
    fs::create_symlink(usb.slaveName(), dir / "dev/ttyUSB0");    // COM33
    fs::create_symlink(onboard.slaveName(), dir / "dev/ttyS0");  // COM1, has hardware
    fs::create_directories(dir / "sys/ttyS0/device");
    fs::create_symlink(unbacked.slaveName(), dir / "dev/ttyS1");   // COM2, no device in sysfs
    fs::create_symlink(emptySlot.slaveName(), dir / "dev/ttyS2");  // COM3, a UART of type 0
    fs::create_directories(dir / "sys/ttyS2/device");
    std::ofstream(dir / "sys/ttyS2/type") << "0\n";
    fs::create_symlink(console.slaveName(), dir / "dev/ttyS3");  // COM4, the system console
    fs::create_directories(dir / "sys/ttyS3/device");
    fs::create_symlink(consoleLink.slaveName(), dir / "work/COM5");  // the console, by link
    fs::create_symlink(acm.slaveName(), dir / "dev/ttyACM31");       // COM96
    touch(dir / "dev/ttyACM0");                                      // a file, not a device
    fs::create_symlink("/dev/zero", dir / "dev/rfcomm0");            // a device, not a tty
    subsystem("/dev/zero", "mem");
    fs::create_symlink("/dev/null", dir / "dev/rfcomm1");  // a tty, as the fake sysfs says
    subsystem("/dev/null", "tty");
    fs::create_symlink(linkedLow.slaveName(), dir / "work/COM34");    // beside the table
    fs::create_symlink(linkedHigh.slaveName(), dir / "work/COM250");  // above the table
    fs::create_symlink(dir / "nowhere", dir / "work/COM96");          // hides ttyACM31
    testing::writeConsoles(dir / "consoles", {&console, &consoleLink});
    OpenWatch watch;
    for (const Pty* pty : {&onboard, &usb, &acm, &linkedLow, &linkedHigh, &unbacked, &emptySlot,
                           &console, &consoleLink}) {
        watch.watch(pty->slaveName());
    }
    watch.watch(dir / "dev/ttyACM0");

    const PortList expected = {
        {dir / "dev/ttyS0", "COM1"},        {dir / "dev/ttyUSB0", "COM33"},
        {linkedLow.slaveName(), "COM34"},   {dir / "dev/rfcomm1", "COM98"},
        {linkedHigh.slaveName(), "COM250"},
    };
    EXPECT_EQ(listPorts(places), expected);
    EXPECT_EQ(watch.opens(), 0) << "listing opened a device";
    ::close(::open(onboard.slaveName().c_str(), O_RDWR | O_NOCTTY));
    EXPECT_EQ(watch.opens(), 1) << "the watch sees opens";
}

TEST_F(PortMapTest, ARelativeComLinkIsListedWithItsAbsoluteTarget) {
    Pty pty;
    fs::create_symlink(pty.slaveName(), dir / "dev/ttyUSB5");
    fs::create_symlink("../dev/ttyUSB5", dir / "work/COM7");
    const PortList ports = listPorts(places);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0], (std::pair<std::string, std::string>{dir / "dev/ttyUSB5", "COM7"}));
    EXPECT_EQ(ports[1], (std::pair<std::string, std::string>{dir / "dev/ttyUSB5", "COM38"}));
}

TEST_F(PortMapTest, NothingPresentListsNothing) { EXPECT_TRUE(listPorts(places).empty()); }

}  // namespace
}  // namespace zrq
