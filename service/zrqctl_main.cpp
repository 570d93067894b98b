// zrqctl: shows and steers the clock keeper service zrqd over the system bus.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "service/bus_names.h"
#include "service/settings_command.h"

#ifndef ZRQ_VERSION
#define ZRQ_VERSION "0.0.0"
#endif

namespace {

constexpr const char* kHelp =
    "Usage: zrqctl [--help | --version] COMMAND\n"
    "\n"
    "Shows and steers the clock keeper service zrqd over the system bus\n"
    "(DBUS_SYSTEM_BUS_ADDRESS where set). Reading needs no right; set, correct-now and monitor\n"
    "are for root and the members of the group zrq.\n"
    "\n"
    "Commands:\n"
    "  status              the lamp, the status message, the line, the schedule, the last frame\n"
    "                      and the last correction\n"
    "  show                the settings in words\n"
    "  set KEY=VALUE...    check all, then apply them at once and save them; keys:\n"
    "                        port=1..255   baud=4800|9600   format=TVZ_CODE|EB_CODE|ST_CODE\n"
    "                        schedule=minute:SS | hour:MM:SS | daily:HH:MM:SS[,...]\n"
    "                        threshold=2..59 (seconds)   fine=0..999 (milliseconds)\n"
    "                        jumplog=on|off   commlog=on|off (not saved)\n"
    "                      a bad key or value changes nothing\n"
    "  correct-now         correct the clock at the next frame\n"
    "  monitor             print the monitor lines until Ctrl+C\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 bad usage, key or value, 3 the service is not running,\n"
    "4 not allowed.\n";

constexpr const char* kVersion = "zrqctl " ZRQ_VERSION "\n";

enum Status : int { kDone = 0, kFailed = 1, kUsage = 2, kNotRunning = 3, kNotAllowed = 4 };

struct BusDeleter {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;

struct MessageDeleter {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageDeleter>;

// An sd_bus_error freed at the end of its scope.
struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
    sd_bus_error* get() { return &error; }
};

// What a failed call says, and the status it ends with.
int callFailed(const char* what, sd_bus_error* error, int r) {
    const char* message = error->message ? error->message : std::strerror(-r);
    if (sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER,
                               SD_BUS_ERROR_NO_REPLY)) {
        std::fprintf(stderr, "zrqctl: the service zrqd is not running (no answer from %s)\n",
                     zrq::bus::kServiceName);
        return kNotRunning;
    }
    if (sd_bus_error_has_name(error, SD_BUS_ERROR_ACCESS_DENIED)) {
        std::fprintf(stderr, "zrqctl: %s refused: %s\n", what, message);
        std::fprintf(stderr, "zrqctl: only root and the members of the group %s may do that\n",
                     zrq::bus::kOperatorGroup);
        return kNotAllowed;
    }
    if (sd_bus_error_has_name(error, SD_BUS_ERROR_INVALID_ARGS)) {
        std::fprintf(stderr, "zrqctl: %s\n", message);
        return kUsage;
    }
    std::fprintf(stderr, "zrqctl: %s failed: %s\n", what, message);
    return kFailed;
}

BusPtr connectSystemBus() {
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_system_with_description(&bus, "zrqctl");
    if (r < 0) {
        std::fprintf(stderr, "zrqctl: cannot connect to the system bus: %s\n", std::strerror(-r));
        return nullptr;
    }
    return BusPtr(bus);
}

// A call to the service's object; it never starts the service: the service runs or it does not.
MessagePtr newCall(sd_bus* bus, const char* interface, const char* method) {
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus, &call, zrq::bus::kServiceName, zrq::bus::kObjectPath,
                                       interface, method) < 0) {
        return nullptr;
    }
    sd_bus_message_set_auto_start(call, 0);
    return MessagePtr(call);
}

int callManager(sd_bus* bus, const char* method, const char* what) {
    const MessagePtr call = newCall(bus, zrq::bus::kManagerInterface, method);
    if (!call) return kFailed;
    BusError error;
    const int r = sd_bus_call(bus, call.get(), 0, error.get(), nullptr);
    return r < 0 ? callFailed(what, error.get(), r) : kDone;
}

// --- Reading the properties.

struct LastCorrection {
    std::string time;  // empty: none yet
    bool offsetKnown = false;
    int64_t offsetUs = 0;
    int64_t stepUs = 0;
    std::string result;  // "set" or why it was refused
};

struct Properties {
    std::map<std::string, std::string> text;
    std::map<std::string, int64_t> number;
    std::map<std::string, bool> flag;
    LastCorrection lastCorrection;

    std::string textOf(const char* name) const {
        const auto it = text.find(name);
        return it == text.end() ? "?" : it->second;
    }
    int64_t numberOf(const char* name) const {
        const auto it = number.find(name);
        return it == number.end() ? 0 : it->second;
    }
    const char* onOff(const char* name) const {
        const auto it = flag.find(name);
        return it == flag.end() ? "?" : it->second ? "on" : "off";
    }
};

// One value of GetAll's answer, inside its variant.
int readValue(sd_bus_message* m, const std::string& name, Properties& p) {
    char type = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, &type, &contents);
    if (r < 0 || (r = sd_bus_message_enter_container(m, 'v', contents)) < 0) return r;
    if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0) return r;
    if (type == 's') {
        const char* value = nullptr;
        r = sd_bus_message_read_basic(m, 's', &value);
        if (r >= 0) p.text[name] = value;
    } else if (type == 'i') {
        int32_t value = 0;
        r = sd_bus_message_read_basic(m, 'i', &value);
        if (r >= 0) p.number[name] = value;
    } else if (type == 'u') {
        uint32_t value = 0;
        r = sd_bus_message_read_basic(m, 'u', &value);
        if (r >= 0) p.number[name] = value;
    } else if (type == 'b') {
        int value = 0;
        r = sd_bus_message_read_basic(m, 'b', &value);
        if (r >= 0) p.flag[name] = value != 0;
    } else if (type == 'r' && name == "LastCorrection") {
        LastCorrection& c = p.lastCorrection;
        const char* time = nullptr;
        const char* result = nullptr;
        int known = 0;
        r = sd_bus_message_read(m, "(sbxxs)", &time, &known, &c.offsetUs, &c.stepUs, &result);
        if (r >= 0) {
            c.time = time;
            c.offsetKnown = known != 0;
            c.result = result;
        }
    } else {
        r = sd_bus_message_skip(m, contents);  // a property of a later version
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int readProperties(sd_bus* bus, Properties& p) {
    const MessagePtr call = newCall(bus, "org.freedesktop.DBus.Properties", "GetAll");
    if (!call || sd_bus_message_append(call.get(), "s", zrq::bus::kManagerInterface) < 0) {
        return kFailed;
    }
    BusError error;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call(bus, call.get(), 0, error.get(), &reply);
    if (r < 0) return callFailed("reading the service's state", error.get(), r);
    const MessagePtr owned(reply);
    r = sd_bus_message_enter_container(reply, 'a', "{sv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
        const char* name = nullptr;
        if ((r = sd_bus_message_read_basic(reply, 's', &name)) < 0) break;
        if ((r = readValue(reply, name, p)) < 0) break;
        r = sd_bus_message_exit_container(reply);
    }
    if (r < 0) {
        std::fprintf(stderr, "zrqctl: the service's answer cannot be read: %s\n",
                     std::strerror(-r));
        return kFailed;
    }
    return kDone;
}

// "+1.234 ms" for microseconds.
std::string milliseconds(int64_t us) {
    char text[48];
    std::snprintf(text, sizeof text, "%+.3f ms", static_cast<double>(us) / 1000.0);
    return text;
}

std::string correctionText(const LastCorrection& c) {
    if (c.time.empty()) return "none yet";
    std::string text = c.time;
    text += c.offsetKnown ? ", offset " + milliseconds(c.offsetUs) + " (PC minus device)"
                          : ", offset unknown";
    if (c.result == "set") return text + ", set, step " + milliseconds(c.stepUs);
    return text + ", refused: " + c.result;
}

std::string rateText(int64_t rate) {
    return rate == 0 ? "unknown" : std::to_string(rate) + " bit/s";
}

int status(sd_bus* bus) {
    Properties p;
    if (const int r = readProperties(bus, p); r != kDone) return r;
    const std::string frame = p.textOf("LastFrame");
    std::printf("lamp             %s\n", p.textOf("Lamp").c_str());
    std::printf("status           %s\n", p.textOf("StatusMessage").c_str());
    std::printf("port             COM%" PRId64 "\n", p.numberOf("Port"));
    std::printf("rate             %s\n", rateText(p.numberOf("BaudRate")).c_str());
    std::printf("format           %s\n", p.textOf("Format").c_str());
    std::printf("schedule         %s\n", p.textOf("Schedule").c_str());
    std::printf("last frame       %s\n", frame.empty() ? "none yet" : frame.c_str());
    std::printf("last correction  %s\n", correctionText(p.lastCorrection).c_str());
    return std::fflush(stdout) == 0 ? kDone : kFailed;
}

// The settings the properties show, read back through --set's own parser so that they are
// described in the same words as `zrqd --show`; a value it does not take is shown as it is.
int show(sd_bus* bus) {
    Properties p;
    if (const int r = readProperties(bus, p); r != kDone) return r;
    zrq::StoredSettings settings{};
    const std::pair<const char*, std::string> values[] = {
        {"port", std::to_string(p.numberOf("Port"))},
        {"baud", std::to_string(p.numberOf("BaudRate"))},
        {"format", p.textOf("Format")},
        {"schedule", p.textOf("Schedule")},
        {"threshold", std::to_string(p.numberOf("JumpThreshold"))},
        {"fine", std::to_string(p.numberOf("FineTuneMs"))},
    };
    std::string unread;
    for (const auto& [key, value] : values) {
        if (zrq::applySetting(settings, std::string(key) + "=" + value, true)) {
            unread += std::string(key) + "      " + value + "  (not a value the settings take)\n";
        }
    }
    if (unread.empty()) {
        std::fputs(zrq::describeSettings(settings).c_str(), stdout);
    } else {
        std::fputs(unread.c_str(), stdout);
    }
    std::printf("jumplog    %s  (the jump log, not saved)\n", p.onOff("JumpLog"));
    std::printf("commlog    %s  (the communication log, not saved)\n", p.onOff("CommLog"));
    return std::fflush(stdout) == 0 ? kDone : kFailed;
}

int set(sd_bus* bus, char** assignments, int count) {
    if (count == 0) {
        std::fputs("zrqctl: set needs at least one KEY=VALUE\n", stderr);
        return kUsage;
    }
    const MessagePtr owned = newCall(bus, zrq::bus::kManagerInterface, "Set");
    if (!owned) return kFailed;
    sd_bus_message* call = owned.get();
    int r = sd_bus_message_open_container(call, 'a', "{ss}");
    for (int i = 0; r >= 0 && i < count; ++i) {
        const std::string assignment = assignments[i];
        const size_t equals = assignment.find('=');
        if (equals == std::string::npos) {
            std::fprintf(stderr, "zrqctl: expected KEY=VALUE, got %s; nothing was changed\n",
                         assignment.c_str());
            return kUsage;
        }
        r = sd_bus_message_append(call, "{ss}", assignment.substr(0, equals).c_str(),
                                  assignment.substr(equals + 1).c_str());
    }
    if (r >= 0) r = sd_bus_message_close_container(call);
    if (r < 0) {
        std::fprintf(stderr, "zrqctl: %s\n", std::strerror(-r));
        return kUsage;  // a text that is not UTF-8
    }
    BusError error;
    r = sd_bus_call(bus, call, 0, error.get(), nullptr);
    if (r < 0) return callFailed("set", error.get(), r);
    return show(bus);
}

// --- Monitor.

int onMonitorLine(sd_bus_message* m, void*, sd_bus_error*) {
    const char* line = nullptr;
    if (sd_bus_message_read(m, "s", &line) >= 0) {
        std::printf("%s\n", line);
        std::fflush(stdout);
    }
    return 0;
}

int onBox(sd_bus_message* m, void*, sd_bus_error*) {
    const char* kind = nullptr;
    const char* text = nullptr;
    if (sd_bus_message_read(m, "ss", &kind, &text) >= 0) {
        std::fprintf(stderr, "zrqctl: the service says (%s): %s\n", kind, text);
    }
    return 0;
}

// The service left the bus: the lines stop for good.
int onOwnerChanged(sd_bus_message* m, void* ended, sd_bus_error*) {
    const char* name = nullptr;
    const char* before = nullptr;
    const char* after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) >= 0 && *after == '\0') {
        *static_cast<bool*>(ended) = true;
    }
    return 0;
}

int monitor(sd_bus* bus) {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    const int signals = signalfd(-1, &stops, SFD_CLOEXEC);
    bool serviceEnded = false;
    const char* service = zrq::bus::kServiceName;
    // The signals are subscribed to before Observe, so that no line falls between.
    int r = sd_bus_match_signal(bus, nullptr, service, zrq::bus::kObjectPath,
                                zrq::bus::kManagerInterface, "MonitorLine", onMonitorLine, nullptr);
    if (r >= 0) {
        r = sd_bus_match_signal(bus, nullptr, service, zrq::bus::kObjectPath,
                                zrq::bus::kManagerInterface, "Box", onBox, nullptr);
    }
    if (r >= 0) {
        const std::string rule = std::string(
                                     "type='signal',sender='org.freedesktop.DBus',"
                                     "member='NameOwnerChanged',arg0='") +
                                 service + "'";
        r = sd_bus_add_match(bus, nullptr, rule.c_str(), onOwnerChanged, &serviceEnded);
    }
    if (r < 0 || signals < 0) {
        std::fprintf(stderr, "zrqctl: cannot listen on the bus: %s\n", std::strerror(-r));
        return kFailed;
    }
    if (const int status = callManager(bus, "Observe", "monitor"); status != kDone) return status;
    while (!serviceEnded) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r > 0) continue;
        pollfd waits[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                           {signals, POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0 && errno != EINTR) break;
        if (waits[1].revents & POLLIN) {
            callManager(bus, "StopObserving", "stop observing");
            return kDone;
        }
    }
    std::fputs("zrqctl: the service has stopped\n", stderr);
    return kNotRunning;
}

int run(const std::string& command, char** rest, int restCount) {
    const bool takesArguments = command == "set";
    if (!takesArguments && restCount > 0) {
        std::fprintf(stderr, "zrqctl: %s takes no arguments\n%s", command.c_str(), kHelp);
        return kUsage;
    }
    const BusPtr bus = connectSystemBus();
    if (!bus) return kFailed;
    if (command == "status") return status(bus.get());
    if (command == "show") return show(bus.get());
    if (command == "set") return set(bus.get(), rest, restCount);
    if (command == "monitor") return monitor(bus.get());
    // correct-now
    const int status = callManager(bus.get(), "CorrectNow", "correct-now");
    if (status == kDone) std::puts("the clock is corrected at the next frame");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kHelp, stderr);
        return kUsage;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") return std::fputs(kHelp, stdout) < 0 ? kFailed : 0;
    if (command == "--version") return std::fputs(kVersion, stdout) < 0 ? kFailed : 0;
    for (const char* known : {"status", "show", "set", "correct-now", "monitor"}) {
        if (command == known) return run(command, argv + 2, argc - 2);
    }
    std::fprintf(stderr, "zrqctl: unknown command %s\n%s", argv[1], kHelp);
    return kUsage;
}
