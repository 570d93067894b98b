// What the service tells systemd through sd_notify: ready, a status line, the watchdog's beat,
// stopping. Without NOTIFY_SOCKET (not started by systemd) every call does nothing.
#pragma once

#include <string>

namespace zrq {

class SystemNotify {
public:
    SystemNotify();

    void ready(const std::string& status);
    void status(const std::string& status);
    // Sent from the tick; only when the unit asks for a watchdog (WatchdogSec=).
    void watchdog();
    void stopping();

private:
    bool watchdogWanted_ = false;
};

}  // namespace zrq
