// The port, rate and format switches with their fallbacks and messages.
#include "timecode/port_switch.h"

#include <exception>
#include <string>

#include "timecode/time_code_format.h"

namespace zrq {
namespace {

constexpr int kFlushBuffers = 0;  // sio_flush function code, passed right after sio_close

// Texts of the switch messages (UTF-8 here; shown as GBK). B ends in an ASCII "!" on purpose.
constexpr const char* kPortMessageA = "所改端口不能打开！系统采用原来端口！";
constexpr const char* kBaudMessageA = "端口不能打开！系统采用原来波特率！";
constexpr const char* kMessageB = "端口不能打开!";
constexpr const char* kPortMessageC = "端口无效或已经被占用！请重新设置。";
constexpr const char* kBaudMessageC = "端口设置无效或已经被占用！请重新设置。";

bool isMenuPort(int port) { return port >= 1 && port <= kMenuPortCount; }

}  // namespace

bool PortSwitcher::PortSet() { return zrq::PortSet(ctx_.serial, ctx_.line, ctx_.boxes); }

void PortSwitcher::switchPort(int port) { runSwitch(Variant::PortMenu, port); }

void PortSwitcher::switchRate(int baudCode) { runSwitch(Variant::BaudMenu, baudCode); }

bool PortSwitcher::switchPortFromDialog(int port) { return runSwitch(Variant::PortDialog, port); }

void PortSwitcher::storeSwitchedValue(Variant variant, int value) {
    if (variant == Variant::BaudMenu) {
        ctx_.line.BaudCode = value;
    } else {
        ctx_.line.Port = value;
    }
}

// True when the port opened; otherwise the reason is told (the box follows at the caller).
bool PortSwitcher::opened(int port) {
    const int result = ctx_.serial.sio_open(port);
    if (openSucceeded(result)) return true;
    if (ctx_.openFailed) ctx_.openFailed(port, result);
    return false;
}

// Opens the port with the new value in place; when that fails, goes back to the old value with
// the fixed line values and opens again. True when a port is open afterwards.
bool PortSwitcher::openOrFallBack(Variant variant, int oldValue) {
    SerialLibrary& serial = ctx_.serial;
    LineSettings& line = ctx_.line;
    if (opened(line.Port)) return true;

    ctx_.boxes.plain(gbk(variant == Variant::BaudMenu ? kBaudMessageA : kPortMessageA));
    serial.sio_close(line.Port);
    storeSwitchedValue(variant, oldValue);
    line.setFixedValues();
    if (variant == Variant::PortDialog) line.BaudCode = kBaudCode9600;
    if (opened(line.Port)) return true;

    ctx_.boxes.plain(gbk(kMessageB));
    ctx_.status.NoSignal = true;
    return false;
}

// Ends with the receiver held and nothing saved when neither the new nor the old port (or rate)
// can be brought up; the next switch that reaches its release restarts reception.
bool PortSwitcher::runSwitch(Variant variant, int newValue) {
    SerialLibrary& serial = ctx_.serial;
    LineSettings& line = ctx_.line;
    const bool portVariant = variant != Variant::BaudMenu;

    ctx_.receiver.HoldReceiver();
    const int oldValue = portVariant ? line.Port.load() : line.BaudCode;
    serial.sio_close(line.Port);
    serial.sio_flush(line.Port, kFlushBuffers);
    storeSwitchedValue(variant, newValue);
    if (!openOrFallBack(variant, oldValue)) return false;

    if (!PortSet()) {
        serial.sio_close(line.Port);
        ctx_.boxes.plain(gbk(portVariant ? kPortMessageC : kBaudMessageC));
        ctx_.status.NoSignal = true;
        // A rate that failed stays in place so that the next switch applies it again.
        if (portVariant) line.Port = oldValue;
        return false;
    }

    if (portVariant) setPortMarks(variant);
    // The dialog's fallback changes the rate as well; its baud marks follow the rate in use.
    if (variant != Variant::PortMenu) setBaudMarks();

    ctx_.status.NoSignal = true;
    ctx_.receiver.ReleaseReceiver();
    ctx_.savecfg();
    return true;
}

void PortSwitcher::setPortMarks(Variant variant) {
    const int port = ctx_.line.Port;
    for (int tag = 1; tag <= kMenuPortCount; ++tag) ctx_.marks.setPortItemChecked(tag, false);
    if (isMenuPort(port)) {
        ctx_.marks.setOtherPortChecked(false);
        ctx_.marks.setPortItemChecked(port, true);
        return;
    }
    // The menu can only come back to a port outside 1..4 by falling back to it: the other-port
    // entry already names it. The dialog chose it, so that entry takes its name.
    if (variant == Variant::PortDialog) {
        ctx_.marks.setOtherPortCaption(">>com" + std::to_string(port));
        ctx_.marks.setOtherPortChecked(true);
    }
}

void PortSwitcher::setBaudMarks() {
    ctx_.marks.setBaudItemChecked(kBaudCode4800, false);
    ctx_.marks.setBaudItemChecked(kBaudCode9600, false);
    const int code = ctx_.line.BaudCode;
    if (code == kBaudCode4800 || code == kBaudCode9600) ctx_.marks.setBaudItemChecked(code, true);
}

void PortSwitcher::switchFormat(int format) {
    ctx_.receiver.HoldReceiver();
    for (int item = 1; item <= kFormatCount; ++item) ctx_.marks.setFormatItemChecked(item, false);
    ctx_.marks.setFormatItemChecked(format, true);
    ctx_.settings.CodeFormat = static_cast<uint8_t>(format);

    // A failing save (the rate switch's or this one's) must not leave the ring with stale
    // indices or the receiver held for good; the failure is still reported afterwards.
    std::exception_ptr saveFailure;
    try {
        switchRate(format == TVZ_CODE ? kBaudCode4800 : kBaudCode9600);
        ctx_.savecfg();
    } catch (...) {
        saveFailure = std::current_exception();
    }
    ctx_.ring.resetAfterFormatSwitch();
    ctx_.receiver.ReleaseReceiver();
    if (saveFailure) std::rethrow_exception(saveFailure);
}

}  // namespace zrq
