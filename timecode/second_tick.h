// The per-second tick: on each new second of the PC clock it shows the time, sends the PC time
// frame to the device, refreshes the date and sets the status lamp and message.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "base/gbk_text.h"
#include "base/local_clock.h"
#include "serial/line_settings.h"
#include "serial/serial_library.h"
#include "timecode/status_state.h"

namespace zrq {

using PcTimeFrame = std::array<uint8_t, 12>;

// AA AA 00, year%100, month, day, hour, minute, second (BCD), ms/100, ms%100 (BCD), A3.
PcTimeFrame buildPcTimeFrame(const LocalTimeRecord& time, const LocalTimeRecord& date);

enum class Lamp { Red, Yellow, Green };
struct LampRgb {
    uint8_t r, g, b;
};
LampRgb lampRgb(Lamp lamp);  // red 255,0,0; yellow 255,255,0; green 0,128,0
// "red", "yellow", "green": the lamp in the service's status line and on the bus.
const char* lampName(Lamp lamp);
// The first state that holds: NoSignal -> red, SetRefused -> yellow, JumpDetected -> yellow,
// else green.
Lamp chooseLamp(bool noSignal, bool setRefused, bool jumpDetected);
// The message of each colour; a yellow lamp for a refused set shows SetRefusedMessage instead.
const GbkText& lampMessage(Lamp lamp);
// "未收到标准时间码，请检查通讯连接和设置!", the message shown before the first good frame.
const GbkText& noSignalMessage();

// The bar as the tick sees it.
class BarView {
public:
    virtual ~BarView() = default;
    virtual void setTimeText(const std::string& ascii) = 0;  // "h:nn:ss"
    virtual void setDateText(const GbkText& text) = 0;       // "yyyy-mm-dd " + weekday
    virtual void setLamp(Lamp lamp) = 0;
};

class SecondTick {
public:
    SecondTick(LocalClock& clock, SerialLibrary& serial, const LineSettings& line,
               StatusState& status, BarView& bar);

    // Start-up's part: LastShownSecond 60, LastShownDate 0,0,0.
    void reset();
    // One timer event (at the start of each second, and after a set of the clock). Without a new
    // second it costs one clock reading. True when a new second was shown.
    bool onTimer();

private:
    LocalClock& clock_;
    SerialLibrary& serial_;
    const LineSettings& line_;
    StatusState& status_;
    BarView& bar_;
    uint16_t lastShownSecond_ = 60;
    std::array<uint16_t, 3> lastShownDate_{0, 0, 0};  // year % 100, month, day
};

}  // namespace zrq
