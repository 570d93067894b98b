// A dbus-daemon of the test's own, its socket in the test's folder, ended by its process id: the
// bus the tests of the service's bus interface use instead of any bus of the machine.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <string>

extern char** environ;

namespace zrq::testing {

class PrivateBus {
public:
    // Anyone may own any name, send to anyone and receive anything.
    static constexpr const char* kOpenPolicy =
        "  <policy context=\"default\">\n"
        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
        "    <allow eavesdrop=\"true\"/>\n"
        "    <allow own=\"*\"/>\n"
        "  </policy>\n";

    // Writes `folder`/bus.conf, with `policy` (policy elements, or an <include> of a policy
    // file) after the socket's address, and starts the daemon on it; throws when it does not
    // start.
    explicit PrivateBus(const std::string& folder, const std::string& policy = kOpenPolicy) {
        const std::string config = folder + "/bus.conf";
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC "
                                 "\"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/"
                                 "busconfig.dtd\">\n"
                                 "<busconfig>\n"
                                 "  <type>session</type>\n"
                                 "  <listen>unix:path="
                              << folder << "/bus</listen>\n"
                              << "  <auth>EXTERNAL</auth>\n"
                              << policy << "</busconfig>\n";
        start(config);
    }
    ~PrivateBus() { stop(); }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // The address clients connect to, e.g. "unix:path=/tmp/.../bus,guid=...".
    const std::string& address() const { return address_; }
    pid_t pid() const { return pid_; }

private:
    void start(const std::string& config) {
        int out[2];
        if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, out[1]);
        const std::string configArgument = "--config-file=" + config;
        char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>(configArgument.c_str()),
                        const_cast<char*>("--print-address"), const_cast<char*>("--nofork"),
                        nullptr};
        const int spawned = ::posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (spawned != 0) {
            ::close(out[0]);
            throw std::runtime_error("dbus-daemon cannot be started (is the package installed?)");
        }
        // The daemon prints its address once it listens.
        char c = 0;
        while (::read(out[0], &c, 1) == 1 && c != '\n') address_ += c;
        ::close(out[0]);
        if (address_.empty()) {
            stop();
            throw std::runtime_error("dbus-daemon printed no address");
        }
    }
    void stop() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }

    pid_t pid_ = -1;
    std::string address_;
};

}  // namespace zrq::testing
