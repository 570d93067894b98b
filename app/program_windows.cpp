// Creation of the five windows in order, and their wiring to the bar's shared state.
#include "app/program_windows.h"

#include <QApplication>
#include <QTimer>

#include "app/tray.h"
#include "serial/port_map.h"

namespace zrq {
namespace {

constexpr int kTimeServiceLookIntervalMs = 60'000;  // a look reads the whole process list

}  // namespace

ProgramWindows::ProgramWindows(const AppContext& context) {
    // Every window without an icon of its own takes the program's.
    QApplication::setWindowIcon(programIcon());
    bar_ = std::make_unique<TForm1>(context);
    aboutBox_ = std::make_unique<TAboutBox>();
    TForm1& bar = *bar_;
    // Through the bar's services at the moment of the click, so a replaced opener applies.
    aboutBox_->setLinkOpener([&bar](const QUrl& url) { return bar.services().openUrl(url); });
    settingsDialog_ = std::make_unique<TForm2>(bar.settings(), context.boxes,
                                               [&bar] { bar.saveConfiguration(); });
    monitorWindow_ = std::make_unique<TForm3>(bar.status(), context.boxes);
    bar.attachMonitor(monitorWindow_.get());

    TForm4::PortLister lister = context.listPorts;
    if (!lister) {
        const PortMapPlaces places{context.workDir};
        lister = [places] { return listPorts(places); };
    }
    portDialog_ = std::make_unique<TForm4>(
        std::move(lister), [&bar](int port) { return bar.switcher().dialogSwitch(port); },
        context.boxes);
    bar.attachDialogs(MenuDialogs{.about = aboutBox_.get(),
                                  .settings = settingsDialog_.get(),
                                  .monitor = monitorWindow_.get(),
                                  .port = portDialog_.get()});
    if (context.timeServices) startTimeServiceWatch(*context.timeServices, context);
}

// Looks now, with every window there to take its lines, then once a minute on a timer of its
// own, so the 2 ms tick never pays for it.
void ProgramWindows::startTimeServiceWatch(TimeServiceProbe& probe, const AppContext& context) {
    TForm1& bar = *bar_;
    timeServiceWatch_ = std::make_unique<TimeServiceWatch>(probe, context.clock, bar.eventLog(),
                                                           *monitorWindow_, bar.status());
    TimeServiceWatch& watch = *timeServiceWatch_;
    MessageBoxes& boxes = context.boxes;
    runGuarded(boxes, [&watch] { watch.check(); });
    auto* timer = new QTimer(&bar);
    timer->setObjectName("TimeServiceTimer");
    timer->setInterval(kTimeServiceLookIntervalMs);
    QObject::connect(timer, &QTimer::timeout, &bar,
                     [&watch, &boxes] { runGuarded(boxes, [&watch] { watch.check(); }); });
    timer->start();
}

ProgramWindows::~ProgramWindows() {
    bar_->stopReceiver();
    bar_->attachMonitor(nullptr);
    bar_->attachDialogs({});
    portDialog_.reset();
    monitorWindow_.reset();
    settingsDialog_.reset();
    aboutBox_.reset();
    bar_.reset();
}

}  // namespace zrq
