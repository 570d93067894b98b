// Program entry: the single-instance lock, the real clock, serial library, message boxes and
// journal, the five windows, and the event loop. The program ends through the bar's close handler
// only.
#include <QApplication>

#include "app/application_setup.h"
#include "app/exit_signals.h"
#include "app/information_request.h"
#include "app/program_windows.h"
#include "app/qt_message_boxes.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "base/journal.h"
#include "base/local_clock.h"
#include "base/time_services.h"
#include "serial/termios_serial.h"

int main(int argc, char** argv) {
    zrq::catchExitSignals();
    if (const auto status = zrq::answerInformationRequest(argc, argv, stdout)) return *status;
    QApplication app(argc, argv);
    zrq::ExitSignalNotifier exitSignals;
    zrq::configureApplication();

    zrq::QtMessageBoxes boxes;
    const zrq::SingleInstanceLock lock;
    if (zrq::refuseSecondCopy(lock, boxes)) return 0;

    zrq::SystemClock clock;
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
                                  .journal = &journal};

    zrq::ProgramWindows windows(context);
    exitSignals.onSignal([&windows] { windows.bar().N8Click(); });  // as "关闭退出"
    windows.bar().show();
    return QApplication::exec();
}
