// The service on the system bus: the name org.horivo.Zrq1, the object /org/horivo/Zrq1 and its
// interface org.horivo.Zrq1.Manager, served over a ManagerModel through sd-bus. Everything runs
// on the thread that calls process(); the service's epoll loop watches descriptor().
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/manager_model.h"

namespace zrq {

// The id of the group called `name`, if there is one.
std::optional<gid_t> groupNamed(const char* name);

// Checks a Set call's pairs as a whole against `change` (which holds the settings in force) and
// fills it in: the keys and values of `zrqd --set`, plus jumplog and commlog ("on" or "off").
// An explicit baud wins over the rate a format brings, wherever it stands. The reason when any
// pair is refused; `change` is then as it was.
std::optional<std::string> checkSettingsChange(
    const std::vector<std::pair<std::string, std::string>>& pairs, SettingsChange& change);

class BusManager {
public:
    enum class BoxKind { Error, Warning, Plain };

    struct Options {
        // Besides root, the members of this group may call the methods; empty: root only.
        std::optional<gid_t> operatorGroup;
    };

    BusManager(ManagerModel& model, Options options);
    ~BusManager();
    BusManager(const BusManager&) = delete;
    BusManager& operator=(const BusManager&) = delete;

    // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS where set), serves the object and
    // takes the name. Empty when done; otherwise what failed, and nothing is served.
    std::optional<std::string> start();

    // For the caller's epoll loop: watch descriptor() for events() (EPOLLIN, EPOLLOUT: they
    // change, so set them again before each wait) and wait at most timeoutMs() (-1: no limit);
    // then call process(), which handles everything pending. process() is false when the
    // connection to the bus is lost (the service then goes on without it).
    int descriptor() const;
    uint32_t events() const;
    int timeoutMs() const;
    bool process();

    // The connection, for other clients of the system bus in the same loop (the look for
    // other time services); null before start().
    sd_bus* connection() const { return bus_; }

    // Sends PropertiesChanged for the properties whose values differ from those last sent. The
    // service calls it after anything that may have changed one (cheap when nothing did).
    void propertiesChanged();
    // The signal MonitorLine, while at least one client observes.
    void monitorLine(std::string_view utf8);
    // The signal Box: a box the desktop program would show.
    void box(BoxKind kind, std::string_view utf8);
    // The clients observing now.
    unsigned observers() const;

private:
    // The property values as last sent, to find those that changed.
    struct Snapshot {
        std::string lamp, statusMessage, format, schedule, lastFrame, lastCorrection;
        int32_t port = 0;
        uint32_t baudRate = 0, jumpThreshold = 0, fineTuneMs = 0;
        bool jumpLog = false, commLog = false;
    };
    Snapshot snapshot() const;

    static int onCorrectNow(sd_bus_message* m, void* self, sd_bus_error* error);
    static int onSet(sd_bus_message* m, void* self, sd_bus_error* error);
    static int onObserve(sd_bus_message* m, void* self, sd_bus_error* error);
    static int onStopObserving(sd_bus_message* m, void* self, sd_bus_error* error);
    static int onObserversGone(sd_bus_track* track, void* self);
    static int getProperty(sd_bus* bus, const char* path, const char* interface,
                           const char* property, sd_bus_message* reply, void* self,
                           sd_bus_error* error);
    int appendProperty(std::string_view property, sd_bus_message* reply) const;

    // Root, or a member of the operator group; otherwise fills `error` and is false.
    bool callerMayChange(sd_bus_message* m, sd_bus_error* error) const;
    void stop();

    ManagerModel& model_;
    Options options_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* object_ = nullptr;
    sd_bus_track* observers_ = nullptr;
    bool observing_ = false;
    Snapshot sent_;
};

}  // namespace zrq
