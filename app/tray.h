// The bar's notification-area icon: present while the bar is hidden in the tray, it opens the
// bar's menu on a right-button request and ignores every other mouse action.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QSystemTrayIcon>
#include <functional>

namespace zrq {

inline constexpr const char* kTrayTip = "Horivo";
inline constexpr const char* kProgramIconResource = ":/icons/zrq.png";

// The program's icon: the packaged picture when the build carries it, else a standard one of the
// style, so that the window, the tray and the about box never show an empty square.
QIcon programIcon();

class BarTray final : public QObject {
    Q_OBJECT
  public:
    // `openMenuAt` pops up the bar's menu at a screen position.
    explicit BarTray(std::function<void(const QPoint&)> openMenuAt, QObject* parent = nullptr);

    void addIcon();
    void removeIcon();
    bool iconPresent() const;
    QSystemTrayIcon* icon() const { return icon_; }

    // A mouse action on the icon: only the context request (right button) does something.
    void TrayIconMessage(QSystemTrayIcon::ActivationReason reason);

  private:
    QSystemTrayIcon* icon_;
    std::function<void(const QPoint&)> openMenuAt_;
};

}  // namespace zrq
