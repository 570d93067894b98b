// FormCreate of the main bar: the bar placed, then the engine's start-up up to the receiver
// thread, with the menu marked from the settings it loaded.
#include <QAction>
#include <QGuiApplication>
#include <QPoint>
#include <QScreen>
#include <QString>

#include "app/main_bar.h"
#include "app/task_bar_exclusion.h"

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
    core_.start();
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
    PopupMenu1* menu = PopupMenu1_;
    const ClockSettings& settings = core_.settings();
    const StatusState& status = core_.status();
    menu->N4->setChecked(settings.JumpNoCorrect != 0);
    menu->N12->setChecked(status.JumpLogEnabled);
    menu->N18->setChecked(status.CommLogEnabled);
    if (QAction* format = menu->formatItem(settings.CodeFormat)) format->setChecked(true);

    const int port = core_.line().Port;
    if (QAction* item = menu->portItem(port)) {
        item->setChecked(true);
    } else {
        menu->setOtherPortCaption(">>COM" + std::to_string(port));
        menu->N21->setChecked(true);
    }
    if (QAction* baud = menu->baudItem(core_.line().BaudCode)) baud->setChecked(true);
}

}  // namespace zrq
