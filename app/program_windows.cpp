// Creation of the five windows in order, and their wiring to the bar's shared state.
#include "app/program_windows.h"

#include "serial/port_map.h"

namespace zrq {

ProgramWindows::ProgramWindows(const AppContext& context) {
    bar_ = std::make_unique<TForm1>(context);
    aboutBox_ = std::make_unique<TAboutBox>();
    TForm1& bar = *bar_;
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
}

ProgramWindows::~ProgramWindows() {
    bar_->stopReceiver();
    bar_->attachMonitor(nullptr);
    portDialog_.reset();
    monitorWindow_.reset();
    settingsDialog_.reset();
    aboutBox_.reset();
    bar_.reset();
}

}  // namespace zrq
