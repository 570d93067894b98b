// The run-time switches of port, rate and time code format that the pop-up menu, the port
// dialog and the service's reload start, with their fallbacks, messages and menu marks.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "base/message_boxes.h"
#include "serial/line_settings.h"
#include "serial/port_set.h"
#include "serial/receiver.h"
#include "serial/serial_library.h"
#include "store/clock_settings.h"
#include "timecode/receive_ring.h"
#include "timecode/status_state.h"

namespace zrq {

inline constexpr int kMenuPortCount = 4;  // menu items COM1..COM4; other ports have one entry
inline constexpr int kFormatCount = 3;    // TVZ_CODE, EB_CODE, ST_CODE
// The check marks of the pop-up menu that the switches set; without a menu they mark nothing.
class SwitchMarks {
public:
    virtual ~SwitchMarks() = default;
    virtual void setPortItemChecked(int /*tag*/, bool /*checked*/) {}       // COM1..COM4, tag 1..4
    virtual void setOtherPortChecked(bool /*checked*/) {}                   // the ">>... " entry
    virtual void setOtherPortCaption(const std::string& /*ascii*/) {}       // e.g. ">>com7"
    virtual void setBaudItemChecked(int /*baudCode*/, bool /*checked*/) {}  // 10 4800, 12 9600
    virtual void setFormatItemChecked(int /*format*/, bool /*checked*/) {}  // 1..3
};

// Everything a switch reads or changes. All of it belongs to the shell's thread, except
// `line.Port`, which the receiver reads and which is written only while the receiver is held.
struct SwitchContext {
    SerialLibrary& serial;
    LineSettings& line;
    MessageBoxes& boxes;
    ReceiverControl& receiver;
    StatusState& status;
    ClockSettings& settings;  // CodeFormat
    ReceiveRing& ring;
    SwitchMarks& marks;
    // Rewrites the configuration file from line.Port, line.BaudCode and settings; throws FileError
    // (or any std::exception) on failure, which the caller's runGuarded reports.
    std::function<void()> savecfg;
    // Told beside the box when a port does not open: the port and sio_open's result, for the
    // journal's line on the reason. None when empty.
    std::function<void(int port, int result)> openFailed = {};
};

// The port, rate and format switches. Each runs on the shell's thread; a failure of
// savecfg propagates to the caller (after the release of the receiver), so call them through
// runGuarded.
class PortSwitcher {
public:
    explicit PortSwitcher(SwitchContext context) : ctx_(std::move(context)) {}

    // PortSet over the context's library, line settings and boxes.
    bool PortSet();

    // From the port menu (COM1..COM4) or a reload: switch to `port`.
    void switchPort(int port);
    // From the rate menu or a reload: switch to rate code `baudCode` (10 or 12).
    void switchRate(int baudCode);
    // The port dialog's "使用": switch to `port` (1..128). True when the switch completed and the
    // dialog should close; false when it failed and the dialog stays open. A failing save throws.
    bool switchPortFromDialog(int port);
    // From the format menu or a reload: switch to `format` (1..3) and the rate it uses (TVZ_CODE
    // 4800, the others 9600). Whatever fails inside, the ring indices end at 1 and the receiver is
    // released; a failing save is rethrown after that.
    void switchFormat(int format);

private:
    enum class Variant { PortMenu, BaudMenu, PortDialog };
    bool runSwitch(Variant variant, int newValue);
    void storeSwitchedValue(Variant variant, int value);
    bool openOrFallBack(Variant variant, int oldValue);
    bool opened(int port);
    void setPortMarks(Variant variant);
    void setBaudMarks();

    SwitchContext ctx_;
};

}  // namespace zrq
