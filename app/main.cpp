// Program entry: the split of the right to set the clock, the choice between keeping the clock
// and being the clock service's face, the single-instance lock, the real clock, serial library,
// message boxes and journal, the five windows, and the event loop. The program ends through the
// bar's close handler only.
#include <QApplication>
#include <cstdio>
#include <memory>

#include "app/application_setup.h"
#include "app/exit_signals.h"
#include "app/information_request.h"
#include "app/program_windows.h"
#include "app/qt_message_boxes.h"
#include "app/service_link.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "base/clock_privilege.h"
#include "base/journal.h"
#include "base/local_clock.h"
#include "base/time_services.h"
#include "serial/termios_serial.h"

int main(int argc, char** argv) {
    zrq::catchExitSignals();
    if (const auto status = zrq::answerInformationRequest(argc, argv, stdout)) return *status;
    // Before the toolkit reads its environment, arguments or plug-ins: the right to set the clock
    // goes to a part of its own, and this process gives up every capability.
    zrq::PrivilegeSplit privilege = zrq::splitClockPrivilege();
    if (!privilege.error.empty()) {
        std::fprintf(stderr, "zrq: %s\n", privilege.error.c_str());
        return 1;
    }
    QApplication app(argc, argv);
    zrq::ExitSignalNotifier exitSignals;
    zrq::configureApplication();

    zrq::QtMessageBoxes boxes;
    // With the clock service on the system bus the bar is its face: the privileged part ends
    // unused, and the lock is the user session's, not the clock keeper's.
    auto service = std::make_unique<zrq::ServiceLink>();
    const bool face = service->serviceRunning();
    if (face) {
        privilege.setter.reset();
    } else {
        service.reset();
    }
    const zrq::InstanceLock lock(face ? zrq::InstanceLock::facePlaces()
                                      : zrq::InstanceLock::defaultPlaces());
    if (zrq::refuseSecondCopy(lock, boxes)) return 0;
    if (lock.outcome() == zrq::InstanceLock::Outcome::Refused) {
        std::fprintf(stderr, "zrq: %s\n", lock.refusal().c_str());
        boxes.generalError(lock.refusal());
        return 1;
    }
    if (zrq::refuseUnsafeWorkingDirectory(boxes)) return 1;

    zrq::SystemClock clock(privilege.setter.get());
    zrq::TermiosSerial serial;
    zrq::SystemTimeServiceProbe timeServices;
    zrq::SyslogJournal journal;
    const zrq::AppContext context{.clock = clock,
                                  .serial = serial,
                                  .boxes = boxes,
                                  .workDir = ".",
                                  .screenWidth = zrq::primaryScreenWidth,
                                  .listPorts = {},
                                  .quitApplication = [] { QApplication::quit(); },
                                  .timeServices = &timeServices,
                                  .journal = &journal,
                                  .service = service.get()};

    zrq::ProgramWindows windows(context);
    exitSignals.onSignal([&windows] { windows.bar().N8Click(); });  // as "关闭退出"
    windows.bar().show();
    return QApplication::exec();
}
