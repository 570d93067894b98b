// TForm1: the main display bar. It holds the clock engine, brings the system up in FormCreate and
// takes it down in FormClose, and shows the engine's time, date, lamp and menu marks; as the
// clock service's face it leaves the engine idle and shows the service's.
#pragma once

#include <QPoint>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/bar_commands.h"
#include "app/popup_menu.h"
#include "app/startup.h"
#include "timecode/clock_core.h"
#include "timecode/monitor_lines.h"

class QCloseEvent;
class QDialog;
class QFrame;
class QLabel;
class QMouseEvent;
class QSocketNotifier;

namespace zrq {

inline constexpr int kBarWidth = 185;
inline constexpr int kBarHeight = 17;
inline constexpr int kBarRightMargin = 80;  // pixels between the bar and the screen's right edge

// How the menu reaches the desktop: modal dialogs, the tray, the help viewer and the browser.
// Tests replace these, so that no dialog blocks them and nothing leaves the program.
struct ShellServices {
    // Shows a dialog modally and returns when it closes; the event loop runs on inside it, so the
    // tick and the received-data handler go on.
    std::function<void(QDialog&)> showModal;
    // Whether a notification area is there to take the tray icon.
    std::function<bool()> trayAvailable;
    // Opens a document or web address with the desktop's viewer; false when none would.
    std::function<bool(const QUrl&)> openUrl;
    // The folder the program was started from, where the help document lies.
    std::function<QString()> programDir;
};

// The toolkit's own: exec, QSystemTrayIcon, QDesktopServices, the application's folder.
ShellServices desktopShellServices();

// The four windows the menu opens. They are created after the bar, which finds them here.
struct MenuDialogs {
    QDialog* about = nullptr;     // TAboutBox
    QDialog* settings = nullptr;  // TForm2
    QDialog* monitor = nullptr;   // TForm3
    QDialog* port = nullptr;      // TForm4
};

// The menu's marks of the clock's line, format and logs.
struct MenuMarks {
    int format = 0;    // 1..3
    int port = 0;      // a port above 4 names the ">>" entry
    int baudCode = 0;  // kBaudCode4800 or kBaudCode9600; no mark for any other
    bool jumpLog = false;
    bool commLog = false;
};

class BarTray;
class ServiceFace;

class TForm1 final : public QWidget, CoreObserver {
    Q_OBJECT
public:
    // Creating the bar runs FormCreate to its end. With a service in the context the bar is its
    // face: the engine is never started, and the menu acts on the service.
    explicit TForm1(const AppContext& context, QWidget* parent = nullptr);
    ~TForm1() override;

    // The monitor window, once it exists (the engine's monitor lines go there); null detaches.
    // The window is created after the bar; before it is attached no chunk can be handled anyway.
    void attachMonitor(MonitorLines* monitor) { monitor_ = monitor; }
    MonitorLines* monitor() const { return monitor_; }
    // The dialogs of the menu, once they exist; an entry whose dialog is missing does nothing.
    void attachDialogs(const MenuDialogs& dialogs) { dialogs_ = dialogs; }
    ShellServices& services() { return services_; }
    BarTray& tray() { return *tray_; }
    ClockCore& core() { return core_; }
    // What the menu and the dialogs act on: the engine, or the service.
    BarCommands& commands() { return *commands_; }
    bool isServiceFace() const { return face_ != nullptr; }

    // What the bar shows, from the engine's events or the service's.
    void timeShown(const std::string& ascii) override;
    void dateShown(const GbkText& text) override;
    void setLamp(Lamp lamp);
    void markMenu(const MenuMarks& marks);

    // Mouse handlers shared by the lamp and both labels (and the bar's face).
    void Panel2MouseDown(const QPoint& pointer);
    void Panel2MouseMove(const QPoint& pointer, Qt::MouseButtons buttons);
    void Panel2DblClick();
    void openPopupMenu(const QPoint& globalPosition);

    // Menu handlers.
    void N31Click(QAction* item);     // format entries
    void com11Click(QAction* item);   // COM1..COM4
    void N48001Click(QAction* item);  // 4800, 9600
    void N21Click();                  // ">>... ": the port dialog
    void N6Click();                   // "立即校正"
    void N16Click();                  // "通讯观测>>"
    void N3Click();                   // "校时设置>>"
    void N12Click();                  // "跳动记录"
    void N18Click();                  // "通讯记录"
    void N15Click();                  // "ZEQU帮助"
    void About1Click();               // "关于软件>>"
    void N20Click();                  // "恢复显示条"
    void N19Click();                  // "缩至任务栏"
    void N8Click();                   // "关闭退出"

    PopupMenu1* popupMenu() const { return PopupMenu1_; }
    const QPoint& dragAnchor() const { return dragAnchor_; }

    QFrame* Panel1 = nullptr;
    QFrame* Panel2 = nullptr;  // the status lamp
    QLabel* Label1 = nullptr;  // time
    QLabel* Label2 = nullptr;  // date and weekday
    // Timer1: watches the tick's timer, which wakes it at the start of each second and when the
    // clock is stepped.
    QSocketNotifier* Timer1 = nullptr;
    // Watches the port's retry timer: a line that hung up is tried again every 5 s.
    QSocketNotifier* retryWatch_ = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // CoreObserver.
    void lampChanged(Lamp lamp) override { setLamp(lamp); }
    void monitorLine(const GbkText& line) override {
        if (monitor_) monitor_->appendLine(line);
    }
    void startMarks() override;
    void notice(const std::string& utf8) override;

    // Start-up, in its order (startup.cpp).
    void FormCreate();
    void placeOnScreen();

    void FormClose();
    void createControls();
    void connectMenu();
    void showDialog(QDialog* dialog);
    void startTimer1();

    AppContext ctx_;
    PopupMenu1* PopupMenu1_;  // before the engine, whose switches mark it
    ClockCore core_;
    ServiceFace* face_ = nullptr;  // a child of the bar, when it is the service's face
    std::unique_ptr<BarCommands> engineCommands_;
    BarCommands* commands_ = nullptr;
    QPoint dragAnchor_;  // last press on the lamp or a label, in that control's coordinates
    MonitorLines* monitor_ = nullptr;
    ShellServices services_;
    MenuDialogs dialogs_;
    BarTray* tray_;
    QPoint shownPosition_;  // where the bar stood when it went into the tray

    bool lampShown_ = false;
    Lamp lamp_ = Lamp::Red;
};

}  // namespace zrq
