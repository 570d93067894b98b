// FormCreate of the main bar: brings the system up in its fixed order, from the bar's placement
// to the receiver thread.
#include <QAction>
#include <QGuiApplication>
#include <QPoint>
#include <QScreen>
#include <QString>

#include "app/main_bar.h"
#include "app/task_bar_exclusion.h"
#include "base/date_patterns.h"
#include "base/working_directory.h"
#include "serial/port_map.h"
#include "timecode/run_settings.h"
#include "timecode/time_code_format.h"

namespace zrq {
namespace {

constexpr int32_t kSilentSecondsAtStart = 50;  // red lamp until the first good frame
constexpr const char* kPortOpenFailed = "串口打开失败！原因是串口不存在或者串口已被其他程序占用！";

}  // namespace

int primaryScreenWidth() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().width() : 0;
}

QPoint primaryScreenOrigin() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().topLeft() : QPoint(0, 0);
}

std::string pathInWorkDir(const std::string& workDir, const std::string& name) {
    if (workDir.empty() || workDir == ".") return name;
    return workDir.back() == '/' ? workDir + name : workDir + "/" + name;
}

void TForm1::FormCreate() {
    excludeFromTaskBar(*this);  // failures are of no consequence
    placeOnScreen();
    // The date conventions ("-", "yyyy-mm-dd") are fixed in the date pattern helpers.
    showStartTimeAndDate();
    status_.StatusMessage = noSignalMessage();
    if (!loadStoredSettings()) return;
    forceRunValues();
    markMenu();
    openPort();
    ring_.resetAtStartUp();
    tcomm_.ReleaseReceiver();
    startReceiver();
    startupCompleted_ = true;
}

// The primary screen need not stand at the desktop's origin (a screen on its left, or above):
// the bar goes to its own top right edge.
void TForm1::placeOnScreen() {
    const int screenWidth = ctx_.screenWidth ? ctx_.screenWidth() : primaryScreenWidth();
    const QPoint origin = primaryScreenOrigin();
    move(origin.x() + screenWidth - kBarWidth - kBarRightMargin, origin.y());
}

// Everything the tick reads is set here, before any box of start-up can let it run.
void TForm1::showStartTimeAndDate() {
    setTimeText(formatBarTime(ctx_.clock.now()));
    tick_.reset();
    status_.SilentSeconds = kSilentSecondsAtStart;
    setDateText(formatDateWithWeekday(ctx_.clock.now()));
}

// False when the file exists but cannot be opened: start-up ends there.
bool TForm1::loadStoredSettings() {
    return loadRunSettings(configPath_, storedSettings(), ctx_.boxes, settings_, line_);
}

void TForm1::forceRunValues() { zrq::forceRunValues(settings_, status_); }

void TForm1::markMenu() {
    PopupMenu1* menu = PopupMenu1_;
    menu->N4->setChecked(settings_.JumpNoCorrect != 0);
    menu->N12->setChecked(status_.JumpLogEnabled);
    menu->N18->setChecked(status_.CommLogEnabled);
    if (QAction* format = menu->formatItem(settings_.CodeFormat)) format->setChecked(true);
    status_.CorrectNowRequested = false;
    line_.setFixedValues();

    const int port = line_.Port;
    if (QAction* item = menu->portItem(port)) {
        item->setChecked(true);
    } else {
        menu->setN21Caption(">>COM" + std::to_string(port));
        menu->N21->setChecked(true);
    }
    if (QAction* baud = menu->baudItem(line_.BaudCode)) baud->setChecked(true);
}

void TForm1::openPort() {
    SerialLibrary& serial = ctx_.serial;
    if (!openSucceeded(serial.sio_open(line_.Port))) {
        ctx_.boxes.error(gbk(kPortOpenFailed));
        status_.NoSignal = true;
    }
    // Applied even after a failed open; it then fails with its own box and the port is closed.
    if (!switcher_.PortSet()) {
        serial.sio_close(line_.Port);
        status_.NoSignal = true;
    }
}

void TForm1::startReceiver() { tcomm_.start(); }

}  // namespace zrq
