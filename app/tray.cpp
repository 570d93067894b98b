// The tray icon with its tip and picture, and what a mouse action on it does.
#include "app/tray.h"

#include <QApplication>
#include <QCursor>
#include <QMouseEvent>
#include <QStyle>

namespace zrq {
namespace {

// The class of the toolkit's own top-level window for an icon in an XEmbed tray.
constexpr const char* kEmbeddedIconClass = "QSystemTrayIconSys";

}  // namespace

QIcon programIcon() {
    QIcon packaged(QString::fromLatin1(kProgramIconResource));
    if (!packaged.isNull() && !packaged.availableSizes().isEmpty()) return packaged;
    return QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
}

BarTray::BarTray(std::function<void(const QPoint&)> openMenuAt, QObject* parent)
    : QObject(parent), icon_(new QSystemTrayIcon(this)), openMenuAt_(std::move(openMenuAt)) {
    icon_->setObjectName(QStringLiteral("TrayIcon"));
    icon_->setIcon(programIcon());
    icon_->setToolTip(QString::fromLatin1(kTrayTip));
    // No context menu is attached: the toolkit would then open it by itself, and the bar's menu
    // is opened here instead, at the pointer.
    connect(icon_, &QSystemTrayIcon::activated, this, &BarTray::TrayIconMessage);
}

void BarTray::addIcon() {
    icon_->show();
    watchEmbeddedIcon();
}

// The window exists from the moment the icon is shown into an XEmbed tray; other trays (or none)
// have no such window and send their context request when the menu is due.
void BarTray::watchEmbeddedIcon() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (qstrcmp(window->metaObject()->className(), kEmbeddedIconClass) == 0) {
            embeddedIcon_ = window;
            window->installEventFilter(this);
            return;
        }
    }
}

bool BarTray::eventFilter(QObject* watched, QEvent* event) {
    if (watched == embeddedIcon_ && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::RightButton && openMenuAt_) {
        openMenuAt_(QCursor::pos());
    }
    return QObject::eventFilter(watched, event);
}

void BarTray::removeIcon() { icon_->hide(); }

bool BarTray::iconPresent() const { return icon_->isVisible(); }

void BarTray::TrayIconMessage(QSystemTrayIcon::ActivationReason reason) {
    // Left click (Trigger), double-click and middle click do nothing.
    if (reason != QSystemTrayIcon::Context || embeddedIcon_) return;
    if (openMenuAt_) openMenuAt_(QCursor::pos());
}

}  // namespace zrq
