// Other time services as systemd sees them: the state of their units, asked over the system bus.
// The service's unit hides other users' processes from it, so the process list alone misses a
// time service run by systemd; systemd tells anyone the state of a unit.
#pragma once

#include <systemd/sd-bus.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/time_services.h"

namespace zrq {

// The units of the known time services, as systemd names them (aliases included).
extern const std::vector<std::string> kTimeServiceUnits;

// The name of the process a known unit runs, as the process list shows it ("chrony.service" ->
// "chronyd"), so that the look maps it to its service; empty for any other unit.
std::optional<std::string_view> processOfUnit(std::string_view unit);

// Whether a unit in this ActiveState runs or is about to: active, reloading, activating.
bool unitStateRuns(std::string_view activeState);

class UnitTimeServiceProbe final : public TimeServiceProbe {
public:
    // `processes`: the look at the process list, kept beside systemd's word (a program started
    // by hand shows only there), and the kernel's state. Without a bus, only `processes` count.
    explicit UnitTimeServiceProbe(TimeServiceProbe& processes, sd_bus* bus = nullptr);
    ~UnitTimeServiceProbe() override;
    UnitTimeServiceProbe(const UnitTimeServiceProbe&) = delete;
    UnitTimeServiceProbe& operator=(const UnitTimeServiceProbe&) = delete;

    // The process list's names and, for each known unit that runs, its process's name. The
    // first look asks systemd and waits for the answer (briefly); later looks use the answer
    // to the question the look before asked, so that the caller's loop never waits on systemd.
    std::vector<std::string> processNames() override;
    bool kernelSynchronised() override { return processes_.kernelSynchronised(); }

    // A system-bus connection that the caller's loop processes (the service's bus object's),
    // once there is one; the next look asks systemd and waits for its answer.
    void useBus(sd_bus* bus);

private:
    void askAsync();
    void askAndWait();
    bool takeAnswer(sd_bus_message* reply);
    static int onAnswer(sd_bus_message* reply, void* self, sd_bus_error* error);

    TimeServiceProbe& processes_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* pending_ = nullptr;
    bool answered_ = false;
    std::vector<std::string> unitProcesses_;  // from systemd's last answer
};

}  // namespace zrq
