// Another time service on this PC: chronyd, ntpd, systemd-timesyncd, ptp4l or phc2sys stepping
// or slewing the same clock makes the two fight, and the clock wanders for no visible reason.
// The watch looks at start-up and then once a minute, and says once per run and per service
// what it found and what to do: a jump-log entry and a monitor line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/local_clock.h"
#include "base/time_services.h"
#include "store/event_log.h"
#include "timecode/monitor_lines.h"
#include "timecode/status_state.h"

namespace zrq {

enum class TimeService : uint8_t {
    Chrony,
    Ntp,        // ntpd of ntp, ntpsec or OpenNTPD
    Timesyncd,  // systemd-timesyncd
    Ptp4l,
    Phc2sys,
    Unnamed,  // no process of a known name, but the kernel says its clock is synchronised
};

// The service a process name (as /proc/<pid>/comm gives it) stands for, if any.
std::optional<TimeService> timeServiceOfProcess(std::string_view name);

// The services the probe shows now: those of the known process names, in the enumeration's
// order, or Unnamed alone when none runs and the kernel reports its clock synchronised.
std::vector<TimeService> findTimeServices(TimeServiceProbe& probe);

// The notice for one service, in UTF-8: which service, why it matters, and the two ways out
// (stop it, or let chrony take the device's time and turn the scheduled corrections off).
std::string timeServiceReport(TimeService service);

class TimeServiceWatch {
public:
    TimeServiceWatch(TimeServiceProbe& probe, LocalClock& clock, EventLog& log,
                     MonitorLines& monitor, const StatusState& status);

    // One look; reports each service not reported before in this run. The caller decides how
    // often (start-up, then once a minute): a look reads the whole process list.
    void check();

private:
    void report(TimeService service);

    TimeServiceProbe& probe_;
    LocalClock& clock_;
    EventLog& log_;
    MonitorLines& monitor_;
    const StatusState& status_;
    uint32_t reported_ = 0;  // bit (1 << service) once reported
};

}  // namespace zrq
