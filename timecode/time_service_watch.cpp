// Finding other time services and saying so once per run and per service.
#include "timecode/time_service_watch.h"

#include "base/date_patterns.h"

namespace zrq {
namespace {

struct KnownProcess {
    std::string_view name;  // as /proc/<pid>/comm gives it: at most 15 bytes
    TimeService service;
};

// ntpsec and OpenNTPD name their daemon ntpd too; systemd-timesyncd is cut to 15 bytes.
constexpr KnownProcess kKnownProcesses[] = {
    {"chronyd", TimeService::Chrony},
    {"ntpd", TimeService::Ntp},
    {"systemd-timesyn", TimeService::Timesyncd},
    {"ptp4l", TimeService::Ptp4l},
    {"phc2sys", TimeService::Phc2sys},
};

constexpr TimeService kAllServices[] = {TimeService::Chrony,    TimeService::Ntp,
                                        TimeService::Timesyncd, TimeService::Ptp4l,
                                        TimeService::Phc2sys,   TimeService::Unnamed};

// What to call the service and how to stop it.
struct ServiceText {
    const char* name;
    const char* stop;
};

ServiceText serviceText(TimeService service) {
    switch (service) {
        case TimeService::Chrony:
            return {"chronyd", "sudo systemctl disable --now chrony"};
        case TimeService::Ntp:
            return {"ntpd", "sudo systemctl disable --now ntpsec（或 ntp、openntpd）"};
        case TimeService::Timesyncd:
            return {"systemd-timesyncd", "sudo timedatectl set-ntp false"};
        case TimeService::Ptp4l:
            return {"ptp4l", "sudo systemctl disable --now ptp4l"};
        case TimeService::Phc2sys:
            return {"phc2sys", "sudo systemctl disable --now phc2sys"};
        case TimeService::Unnamed:
            break;
    }
    return {"未知服务（内核报告时钟已由其他程序同步）",
            "找到并停止它（timedatectl status 显示同步状态）"};
}

uint32_t bitOf(TimeService service) { return 1u << static_cast<unsigned>(service); }

}  // namespace

std::optional<TimeService> timeServiceOfProcess(std::string_view name) {
    for (const KnownProcess& known : kKnownProcesses) {
        if (known.name == name) return known.service;
    }
    return std::nullopt;
}

std::vector<TimeService> findTimeServices(TimeServiceProbe& probe) {
    uint32_t running = 0;
    for (const std::string& name : probe.processNames()) {
        if (const auto service = timeServiceOfProcess(name)) running |= bitOf(*service);
    }
    // Without a known process the kernel's word is the only sign (a service in another
    // container, or under another name).
    if (running == 0 && probe.kernelSynchronised()) running = bitOf(TimeService::Unnamed);
    std::vector<TimeService> found;
    for (const TimeService service : kAllServices) {
        if (running & bitOf(service)) found.push_back(service);
    }
    return found;
}

std::string timeServiceReport(TimeService service) {
    const ServiceText text = serviceText(service);
    return std::string("发现其他时间服务：") + text.name +
           "。它与本程序同时调整系统时钟，两者会互相干扰，时钟因此漂移。请二选一：停止该服务（" +
           text.stop +
           "）；或者让 chrony 采用本设备的时间，并关闭本程序的定时校时（见帮助“其他时间服务”）。";
}

TimeServiceWatch::TimeServiceWatch(TimeServiceProbe& probe, LocalClock& clock, EventLog& log,
                                   MonitorLines& monitor, const StatusState& status)
    : probe_(probe), clock_(clock), log_(log), monitor_(monitor), status_(status) {}

void TimeServiceWatch::check() {
    for (const TimeService service : findTimeServices(probe_)) {
        if (reported_ & bitOf(service)) continue;
        reported_ |= bitOf(service);
        report(service);
    }
}

void TimeServiceWatch::report(TimeService service) {
    const GbkText text = gbk(timeServiceReport(service));
    GbkText line;
    line.appendAscii(formatHms(clock_.now())).appendAscii("[TIME SERVICE:] ");
    monitor_.appendLine(line += text);
    // Each service is reported once a run, so the journal hears every report, log on or off.
    if (status_.JumpLogEnabled) log_.savelogline(kJumpLog, text);
    log_.copyToJournal(text);
}

}  // namespace zrq
