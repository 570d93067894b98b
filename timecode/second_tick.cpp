// The per-second tick: the bar's time and date, the PC time frame to the device, the status lamp.
#include "timecode/second_tick.h"

#include <limits>

#include "base/date_patterns.h"

namespace zrq {
namespace {

constexpr uint16_t kNoSecondShown = 60;   // no clock reading has this seconds value
constexpr int32_t kMaxSilentSeconds = 5;  // more new seconds than this without a frame: no signal
constexpr uint8_t kFrameStart = 0xAA;
constexpr uint8_t kFrameZero = 0x00;
constexpr uint8_t kFrameEnd = 0xA3;

// Two decimal digits in one byte, tens in the high nibble.
uint8_t bcd(unsigned value) { return static_cast<uint8_t>((value / 10) * 16 + value % 10); }

struct LampTexts {
    GbkText noSignal = gbk("未收到标准时间码，请检查通讯连接和设置!");
    GbkText jump = gbk("标准与本地时间跳跃，如校正请选择菜单立即校时！");
    GbkText normal = gbk("工作正常！");
};

const LampTexts& lampTexts() {
    static const LampTexts instance;
    return instance;
}

}  // namespace

PcTimeFrame buildPcTimeFrame(const LocalTimeRecord& time, const LocalTimeRecord& date) {
    return {kFrameStart,
            kFrameStart,
            kFrameZero,
            bcd(date.year % 100u),
            bcd(date.month),
            bcd(date.day),
            bcd(time.hour),
            bcd(time.minute),
            bcd(time.second),
            static_cast<uint8_t>(time.milliseconds / 100u),  // one digit: binary equals BCD
            bcd(time.milliseconds % 100u),
            kFrameEnd};
}

const char* lampName(Lamp lamp) {
    switch (lamp) {
        case Lamp::Red:
            return "red";
        case Lamp::Yellow:
            return "yellow";
        case Lamp::Green:
            break;
    }
    return "green";
}

LampRgb lampRgb(Lamp lamp) {
    switch (lamp) {
        case Lamp::Red:
            return {255, 0, 0};
        case Lamp::Yellow:
            return {255, 255, 0};
        case Lamp::Green:
            break;
    }
    return {0, 128, 0};
}

Lamp chooseLamp(bool noSignal, bool setRefused, bool jumpDetected) {
    if (noSignal) return Lamp::Red;
    if (setRefused || jumpDetected) return Lamp::Yellow;
    return Lamp::Green;
}

const GbkText& lampMessage(Lamp lamp) {
    switch (lamp) {
        case Lamp::Red:
            return lampTexts().noSignal;
        case Lamp::Yellow:
            return lampTexts().jump;
        case Lamp::Green:
            break;
    }
    return lampTexts().normal;
}

const GbkText& noSignalMessage() { return lampTexts().noSignal; }

SecondTick::SecondTick(LocalClock& clock, SerialLibrary& serial, const LineSettings& line,
                       StatusState& status, BarView& bar)
    : clock_(clock), serial_(serial), line_(line), status_(status), bar_(bar) {
    lampTexts();  // converted here, not in the first tick
}

void SecondTick::reset() {
    lastShownSecond_ = kNoSecondShown;
    lastShownDate_ = {0, 0, 0};
}

bool SecondTick::onTimer() {
    const LocalTimeRecord time = clock_.now();
    if (time.second == lastShownSecond_) return false;
    lastShownSecond_ = time.second;

    bar_.setTimeText(formatBarTime(clock_.now()));

    // The date comes from its own reading, taken after the time.
    const LocalTimeRecord date = clock_.now();
    const PcTimeFrame frame = buildPcTimeFrame(time, date);
    // Sent whatever the port's state; a failed or short write changes nothing here.
    serial_.sio_write(line_.Port, frame.data(), static_cast<int>(frame.size()));

    const std::array<uint16_t, 3> shownDate{static_cast<uint16_t>(date.year % 100), date.month,
                                            date.day};
    if (shownDate != lastShownDate_) {
        lastShownDate_ = shownDate;
        bar_.setDateText(formatDateWithWeekday(clock_.now()));
    }

    if (status_.SilentSeconds < std::numeric_limits<int32_t>::max()) ++status_.SilentSeconds;
    status_.NoSignal = status_.SilentSeconds > kMaxSilentSeconds;

    const Lamp lamp = chooseLamp(status_.NoSignal, status_.SetRefused, status_.JumpDetected);
    bar_.setLamp(lamp);
    // A refused set outranks a jump: its yellow says why the clock is not being corrected.
    const bool refused = lamp == Lamp::Yellow && status_.SetRefused;
    status_.StatusMessage = refused ? status_.SetRefusedMessage : lampMessage(lamp);
    return true;
}

}  // namespace zrq
