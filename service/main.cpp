// zrqd: the clock keeper as a system service. Reads its settings from its working directory,
// runs until SIGTERM or SIGINT; --show and --set work on the same settings file.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/capabilities.h"
#include "base/clock_privilege.h"
#include "base/instance_lock.h"
#include "base/journal.h"
#include "base/local_clock.h"
#include "base/time_services.h"
#include "base/working_directory.h"
#include "serial/termios_serial.h"
#include "service/clock_service.h"
#include "service/journal_boxes.h"
#include "service/settings_command.h"
#include "service/system_notify.h"
#include "service/unit_time_services.h"
#include "store/config_file.h"

#ifndef ZRQ_VERSION
#define ZRQ_VERSION "0.0.0"
#endif

namespace {

constexpr const char* kHelp =
    "Usage: zrqd [--help | --version | --show | --set KEY=VALUE...]\n"
    "\n"
    "Keeps the PC clock right from a standard-time clock device on a serial port, without a\n"
    "display: the service of the desktop program zrq, with the same settings file "
    "(kelvosys.conf),\n"
    "daily logs, offset record, COMn links and chrony.sock in its working directory.\n"
    "Without options it runs until SIGTERM or SIGINT. SIGHUP reads kelvosys.conf again and\n"
    "applies what changed; SIGUSR1 corrects the clock at the next frame. Messages go to standard\n"
    "error and the system journal. Only one copy of zrqd or zrq runs at a time.\n"
    "On the system bus it is org.horivo.Zrq1: zrqctl(1) shows its state and changes its\n"
    "settings at once; --show and --set are meant for the service's user (_zrq) in its folder.\n"
    "\n"
    "  -h, --help          show this text and exit\n"
    "      --version       show the version and exit\n"
    "      --show          show the settings of ./kelvosys.conf (or the defaults) and exit\n"
    "      --set KEY=VALUE...\n"
    "                      check and save settings in ./kelvosys.conf, then exit; keys:\n"
    "                        port=1..255   baud=4800|9600   format=TVZ_CODE|EB_CODE|ST_CODE\n"
    "                        schedule=minute:SS | hour:MM:SS | daily:HH:MM:SS[,...] (at most\n"
    "                          24 points; daily: for none)\n"
    "                        threshold=2..59 (seconds)   fine=0..999 (milliseconds)\n"
    "                      a format brings its rate (TVZ_CODE 4800, the others 9600) unless\n"
    "                      baud= is given too; a bad key or value changes nothing (status 2)\n";

constexpr const char* kVersion = "zrqd " ZRQ_VERSION "\n";
constexpr int kUsageStatus = 2;
// Said once at start instead of leaving each refused correction to name the cause.
constexpr const char* kNoClockRight =
    "zrqd has no right to set the clock (CAP_SYS_TIME): the unit or the container gives it none. "
    "Frames are still received, shown in the status and fed to chrony; every correction is "
    "refused until the right is given.";

int print(const char* text) {
    return std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
}

int runService() {
    zrq::blockServiceSignals();  // before any thread exists, so that every one inherits it
    zrq::SyslogJournal journal;
    zrq::JournalBoxes boxes(&journal, stderr);
    const zrq::InstanceLock lock;
    if (lock.outcome() == zrq::InstanceLock::Outcome::AlreadyRunning) {
        boxes.plainWithCaption(zrq::gbk("警告"), zrq::gbk("Horivo程序已经在运行！"));
        return 1;
    }
    if (lock.outcome() == zrq::InstanceLock::Outcome::Refused) {
        boxes.fault(lock.refusal());
        return 1;
    }
    // Before any file or port is touched: a folder another user can write is no place to work.
    if (zrq::refuseUnsafeWorkingDirectory(boxes)) return 1;
    if (!zrq::hasPermittedCapability(zrq::kClockCapability)) boxes.warning(zrq::gbk(kNoClockRight));
    // The service holds the right itself: each set is range-checked and journaled here.
    zrq::JournaledSetter setter(journal);
    zrq::SystemClock clock(&setter);
    zrq::TermiosSerial serial;
    zrq::SystemTimeServiceProbe processes;
    zrq::UnitTimeServiceProbe timeServices(processes);
    zrq::SystemNotify notify;
    zrq::ClockService service(zrq::ServiceContext{.clock = clock,
                                                  .serial = serial,
                                                  .boxes = boxes,
                                                  .notify = notify,
                                                  .journal = &journal,
                                                  .timeServices = &timeServices,
                                                  .workDir = ".",
                                                  .useBus = true,
                                                  .busProbe = &timeServices});
    if (!service.start()) return 1;
    return service.run();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return runService();
    const std::string option = argv[1];
    if (option == "--help" || option == "-h") return print(kHelp);
    if (option == "--version") return print(kVersion);
    if (option == "--show" && argc == 2)
        return zrq::showSettings(zrq::kConfigFileName, stdout, stderr);
    if (option == "--set") {
        const std::vector<std::string> assignments(argv + 2, argv + argc);
        return zrq::setSettings(zrq::kConfigFileName, assignments, stdout, stderr);
    }
    std::fprintf(stderr, "zrqd: unknown argument %s\n%s", argv[1], kHelp);
    return kUsageStatus;
}
