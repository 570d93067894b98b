// The tray icon with its tip and picture, and what a mouse action on it does.
#include "app/tray.h"

#include <QApplication>
#include <QCursor>
#include <QStyle>

namespace zrq {

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
}

void BarTray::removeIcon() {
    icon_->hide();
}

bool BarTray::iconPresent() const {
    return icon_->isVisible();
}

void BarTray::TrayIconMessage(QSystemTrayIcon::ActivationReason reason) {
    // Left click (Trigger), double-click and middle click do nothing.
    if (reason != QSystemTrayIcon::Context) return;
    if (openMenuAt_) openMenuAt_(QCursor::pos());
}

}  // namespace zrq
