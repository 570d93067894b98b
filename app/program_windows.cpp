// Creation of the five windows in order, and their wiring to the bar's shared state.
#include "app/program_windows.h"

#include <QApplication>

#include "app/tray.h"
#include "serial/port_map.h"

namespace zrq {
ProgramWindows::ProgramWindows(const AppContext& context) {
    // Every window without an icon of its own takes the program's.
    QApplication::setWindowIcon(programIcon());
    bar_ = std::make_unique<TForm1>(context);
    aboutBox_ = std::make_unique<TAboutBox>();
    TForm1& bar = *bar_;
    // Through the bar's services at the moment of the click, so a replaced opener applies.
    aboutBox_->setLinkOpener([&bar](const QUrl& url) { return bar.services().openUrl(url); });
    BarCommands& commands = bar.commands();
    settingsDialog_ = std::make_unique<TForm2>(
        commands.settings(), context.boxes,
        [&commands](const ClockSettings& values) { commands.applySettings(values); });
    monitorWindow_ =
        std::make_unique<TForm3>([&commands](bool on) { commands.observe(on); }, context.boxes);
    bar.attachMonitor(monitorWindow_.get());

    TForm4::PortLister lister = context.listPorts;
    if (!lister) {
        const PortMapPlaces places{context.workDir};
        lister = [places] { return listPorts(places); };
    }
    portDialog_ = std::make_unique<TForm4>(
        std::move(lister), [&commands](int port) { return commands.switchPortFromDialog(port); },
        context.boxes);
    bar.attachDialogs(MenuDialogs{.about = aboutBox_.get(),
                                  .settings = settingsDialog_.get(),
                                  .monitor = monitorWindow_.get(),
                                  .port = portDialog_.get()});
    // Now that every window is there to take its line; the face keeps no clock to watch over.
    if (!bar.isServiceFace()) bar.core().watchTimeServices();
}

ProgramWindows::~ProgramWindows() {
    bar_->core().stop();
    bar_->attachMonitor(nullptr);
    bar_->attachDialogs({});
    portDialog_.reset();
    monitorWindow_.reset();
    settingsDialog_.reset();
    aboutBox_.reset();
    bar_.reset();
}

}  // namespace zrq
