// FormCreate of the main bar: the bar placed, then the engine's start-up up to the receiver
// thread, with the menu marked from the settings it loaded; or, as the service's face, the
// service's state shown.
#include <QAction>
#include <QGuiApplication>
#include <QPoint>
#include <QScreen>
#include <QString>

#include "app/main_bar.h"
#include "app/service_face.h"
#include "app/task_bar_exclusion.h"
#include "serial/serial_library.h"
#include "timecode/time_code_format.h"

namespace zrq {
namespace {}  // namespace

int primaryScreenWidth() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().width() : 0;
}

QPoint primaryScreenOrigin() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().topLeft() : QPoint(0, 0);
}

void TForm1::FormCreate() {
    excludeFromTaskBar(*this);  // failures are of no consequence
    placeOnScreen();
    // The date conventions ("-", "yyyy-mm-dd") are fixed in the date pattern helpers.
    if (face_) {
        face_->start();  // the service keeps the clock
    } else {
        core_.start();
    }
}

// The primary screen need not stand at the desktop's origin (a screen on its left, or above):
// the bar goes to its own top right edge.
void TForm1::placeOnScreen() {
    const int screenWidth = ctx_.screenWidth ? ctx_.screenWidth() : primaryScreenWidth();
    const QPoint origin = primaryScreenOrigin();
    move(origin.x() + screenWidth - kBarWidth - kBarRightMargin, origin.y());
}

// The menu's marks from the settings just loaded.
void TForm1::startMarks() {
    PopupMenu1_->N4->setChecked(core_.settings().JumpNoCorrect != 0);
    markMenu(MenuMarks{.format = core_.settings().CodeFormat,
                       .port = core_.line().Port,
                       .baudCode = core_.line().BaudCode,
                       .jumpLog = core_.status().JumpLogEnabled,
                       .commLog = core_.status().CommLogEnabled});
}

// Each group's marks from the values alone, whatever they showed before.
void TForm1::markMenu(const MenuMarks& marks) {
    PopupMenu1* menu = PopupMenu1_;
    menu->N12->setChecked(marks.jumpLog);
    menu->N18->setChecked(marks.commLog);
    for (int format = TVZ_CODE; format <= ST_CODE; ++format) {
        menu->setFormatItemChecked(format, format == marks.format);
    }
    for (int tag = 1; tag <= 4; ++tag) menu->setPortItemChecked(tag, tag == marks.port);
    const bool otherPort = !menu->portItem(marks.port);
    if (otherPort) menu->setOtherPortCaption(">>COM" + std::to_string(marks.port));
    menu->N21->setChecked(otherPort);
    for (const int baudCode : {kBaudCode4800, kBaudCode9600}) {
        menu->setBaudItemChecked(baudCode, baudCode == marks.baudCode);
    }
}

}  // namespace zrq
