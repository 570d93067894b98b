// sd_notify through libsystemd.
#include "service/system_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace zrq {

SystemNotify::SystemNotify() {
    uint64_t intervalUs = 0;
    watchdogWanted_ = sd_watchdog_enabled(0, &intervalUs) > 0;
}

void SystemNotify::ready(const std::string& status) {
    sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}

void SystemNotify::status(const std::string& status) { sd_notifyf(0, "STATUS=%s", status.c_str()); }

void SystemNotify::watchdog() {
    if (watchdogWanted_) sd_notify(0, "WATCHDOG=1");
}

void SystemNotify::stopping() { sd_notify(0, "STOPPING=1"); }

}  // namespace zrq
