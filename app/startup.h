// What the program's start-up is given from outside: the clock, the serial library, the message
// boxes, the working directory and the screen, so tests can put fakes in their place.
#pragma once

#include <QPoint>

#include <functional>
#include <string>

#include "base/journal.h"
#include "base/local_clock.h"
#include "base/message_boxes.h"
#include "base/time_services.h"
#include "base/working_directory.h"
#include "serial/port_map.h"
#include "serial/serial_library.h"

namespace zrq {

class ServiceLink;

struct AppContext {
    LocalClock& clock;
    SerialLibrary& serial;
    MessageBoxes& boxes;
    // Holds "kelvosys.conf", the daily logs and the COMn entries; "." in the program.
    std::string workDir = ".";
    // Width in pixels of the primary screen; empty asks the toolkit.
    std::function<int()> screenWidth;
    // The ports the port dialog lists; empty lists those of the port map over workDir.
    std::function<PortList()> listPorts;
    // Runs after the bar's close handler, to end the program's event loop; empty in tests.
    std::function<void()> quitApplication;
    // Where the program looks for other time services; none (no look at all) in tests.
    TimeServiceProbe* timeServices = nullptr;
    // Receives copies of the jump log's entries and of refused corrections; null in tests.
    Journal* journal = nullptr;
    // The clock service whose face the bar is; null for the standalone program.
    ServiceLink* service = nullptr;
};

// The primary screen's width as the toolkit reports it; 0 without a screen.
int primaryScreenWidth();
// The primary screen's top left corner on the desktop; 0, 0 without a screen.
QPoint primaryScreenOrigin();

}  // namespace zrq
