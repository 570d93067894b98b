// The bar's notification-area icon: present while the bar is hidden in the tray, it opens the
// bar's menu when the right button is released over it and ignores every other mouse action.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>
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

    // A mouse action on the icon: only the context request (right button) does something. Where
    // the toolkit reports the right button's press, the menu waits for its release instead.
    void TrayIconMessage(QSystemTrayIcon::ActivationReason reason);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watchEmbeddedIcon();

    QSystemTrayIcon* icon_;
    // The toolkit's window of an icon embedded in an XEmbed tray, while there is one: it reports
    // the press of the right button as the context request, so its release is watched here.
    QPointer<QWidget> embeddedIcon_;
    std::function<void(const QPoint&)> openMenuAt_;
};

}  // namespace zrq
