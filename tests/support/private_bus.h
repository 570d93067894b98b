// A system-like message bus of one test's own: a dbus-daemon started with a generated
// configuration (the system bus's default policy plus the policies the test gives), its socket
// in a temporary folder, and DBUS_SYSTEM_BUS_ADDRESS pointing at it while it runs. The daemon is
// ended by its PID; no bus of the machine is ever used.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/support/temp_dir.h"

namespace zrq::testing {

inline constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";

class PrivateBus {
public:
    // Anyone may own any name and call anything: for a test that plays the service itself.
    static constexpr const char* kOpenPolicy =
        "  <policy context=\"default\">\n"
        "    <allow send_destination=\"*\"/>\n"
        "    <allow own=\"*\"/>\n"
        "  </policy>\n";

    // `policies`: <policy> and <include> elements put after the default policy, so they punch
    // holes in it as a package's policy file does on the machine's system bus.
    explicit PrivateBus(const std::string& policies) {
        // Other users (the tests' unprivileged callers) must reach the socket.
        ::chmod(dir_.path().c_str(), 0755);
        const std::string config = dir_ / "bus.conf";
        std::ofstream(config) << configuration(policies);
        start(config);
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (hadAddress_) {
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", savedAddress_.c_str(), 1);
        } else {
            ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        }
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    static bool available() { return ::access(kDbusDaemon, X_OK) == 0; }

    // The dbus-daemon's answer to the configuration: empty when it started.
    const std::string& failure() const { return failure_; }
    const std::string& address() const { return address_; }
    const TempDir& dir() const { return dir_; }

    // The policy file the package installs, as a text to include or to adapt.
    static std::string shippedPolicyPath() {
        return std::string(ZRQ_SOURCE_DIR) + "/packaging/dbus/org.horivo.Zrq1.conf";
    }
    static std::string readFile(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // A policy file's <policy> elements, for a configuration of a test's own.
    static std::string policiesOf(const std::string& busconfig) {
        const size_t from = busconfig.find("<policy");
        const size_t to = busconfig.rfind("</busconfig>");
        if (from == std::string::npos || to == std::string::npos) return "";
        return busconfig.substr(from, to - from);
    }

private:
    // The machine's system bus configuration, less what a test must not have: no user switch,
    // no activation, no syslog, no pid file, a socket of its own.
    std::string configuration(const std::string& policies) const {
        return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <auth>EXTERNAL</auth>
  <listen>unix:path=)" +
               dir_.file("system_bus_socket") + R"(</listen>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"
          send_member="UpdateActivationEnvironment"/>
  </policy>
)" + policies + R"(
</busconfig>
)";
    }

    void start(const std::string& config) {
        int addressPipe[2];
        if (::pipe2(addressPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        // What the daemon says goes to a file: a closed pipe would end it at its first warning.
        const std::string log = dir_ / "bus.log";
        pid_ = ::fork();
        if (pid_ == 0) {
            // A test that dies takes its bus with it.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::dup2(addressPipe[1], 3);
            const int logFile = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(logFile, STDERR_FILENO);
            const std::string configOption = "--config-file=" + config;
            ::execl(kDbusDaemon, kDbusDaemon, configOption.c_str(), "--print-address=3", "--nofork",
                    "--nopidfile", "--nosyslog", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(addressPipe[1]);
        address_ = readLine(addressPipe[0]);
        ::close(addressPipe[0]);
        if (address_.empty()) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            failure_ = readFile(log);
            if (failure_.empty()) failure_ = "dbus-daemon gave no address";
        }
        if (const char* saved = ::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
            hadAddress_ = true;
            savedAddress_ = saved;
        }
        if (!address_.empty()) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    }

    // The first line the daemon prints, waiting at most 10 s; empty when it ends first.
    static std::string readLine(int fd) {
        std::string line;
        char c = 0;
        pollfd wait{fd, POLLIN, 0};
        while (::poll(&wait, 1, 10000) > 0 && ::read(fd, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }

    TempDir dir_;
    pid_t pid_ = -1;
    std::string address_;
    std::string failure_;
    bool hadAddress_ = false;
    std::string savedAddress_;
};

}  // namespace zrq::testing
