// TForm1: the main display bar. It holds the state the whole program shares (settings, status,
// ring indices, line settings), brings the system up in FormCreate and takes it down in FormClose.
#pragma once

#include <QPoint>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>

#include "app/popup_menu.h"
#include "app/port_switch.h"
#include "app/startup.h"
#include "serial/hand_off_gate.h"
#include "serial/line_settings.h"
#include "serial/receiver.h"
#include "store/clock_settings.h"
#include "store/config_file.h"
#include "store/event_log.h"
#include "timecode/frame_processor.h"
#include "timecode/monitor_lines.h"
#include "timecode/receive_ring.h"
#include "timecode/second_tick.h"
#include "timecode/status_state.h"
#include "timecode/tick_timer.h"

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

// The monitor window as the frame processing sees it. The window is created after the bar, so
// the bar hands lines on once it is attached; before that no chunk can be handled anyway.
class MonitorLink final : public MonitorLines {
public:
    void attach(MonitorLines* target) { target_ = target; }
    void appendLine(const GbkText& line) override {
        if (target_) target_->appendLine(line);
    }

private:
    MonitorLines* target_ = nullptr;
};

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

class BarTray;

class TForm1 final : public QWidget, public BarView {
    Q_OBJECT
public:
    // Creating the bar runs FormCreate to its end.
    explicit TForm1(const AppContext& context, QWidget* parent = nullptr);
    ~TForm1() override;

    // The monitor window, once it exists.
    void attachMonitor(MonitorLines* monitor) { monitorLink_.attach(monitor); }
    // The dialogs of the menu, once they exist; an entry whose dialog is missing does nothing.
    void attachDialogs(const MenuDialogs& dialogs) { dialogs_ = dialogs; }
    ShellServices& services() { return services_; }
    BarTray& tray() { return *tray_; }

    // BarView, for the tick.
    void setTimeText(const std::string& ascii) override;
    void setDateText(const GbkText& text) override;
    void setLamp(Lamp lamp) override;

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

    // Rewrites the configuration file from the current settings; throws FileError.
    void saveConfiguration();
    // Stops the receiver for good without ever leaving it blocked in a hand-off: no chunk is
    // handled after this returns. Safe to call more than once.
    void stopReceiver();

    // State, for the other windows and for tests.
    ClockSettings& settings() { return settings_; }
    StatusState& status() { return status_; }
    RingIndices& ringIndices() { return indices_; }
    LineSettings& lineSettings() { return line_; }
    // Exists from the bar's creation; its thread runs once start-up has reached it.
    Tcomm& receiver() { return tcomm_; }
    EventLog& eventLog() { return log_; }
    PortSwitcher& switcher() { return switcher_; }
    PopupMenu1* popupMenu() const { return PopupMenu1_; }
    const QPoint& dragAnchor() const { return dragAnchor_; }
    // How the last start-up went: false when it ended at the settings load.
    bool startupCompleted() const { return startupCompleted_; }
    // Chunks the received-data handler has worked on.
    long chunksHandled() const { return chunksHandled_; }

    QFrame* Panel1 = nullptr;
    QFrame* Panel2 = nullptr;  // the status lamp
    QLabel* Label1 = nullptr;  // time
    QLabel* Label2 = nullptr;  // date and weekday
    // Timer1: watches the tick's timer, which wakes it at the start of each second and when the
    // clock is stepped.
    QSocketNotifier* Timer1 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Start-up, in its order (startup.cpp).
    void FormCreate();
    void placeOnScreen();
    void showStartTimeAndDate();
    bool loadStoredSettings();
    void forceRunValues();
    void markMenu();
    void openPort();
    void startReceiver();

    void FormClose();
    void createControls();
    void connectMenu();
    void showDialog(QDialog* dialog);
    void handleReceivedData(const ReceivedChunk& chunk);  // user-interface thread, in the hand-off
    void startTimer1();
    StoredSettings storedSettings() const;

    AppContext ctx_;
    std::string configPath_;

    // Shared state, all on the user-interface thread except line_.Port (read by the receiver).
    LineSettings line_;
    ClockSettings settings_;
    StatusState status_;
    RingIndices indices_;
    QPoint dragAnchor_;  // last press on the lamp or a label, in that control's coordinates

    MonitorLink monitorLink_;
    EventLog log_;
    OffsetRecord offsetRecord_;
    ChronySampleSender chronySamples_;
    FrameProcessor processor_;
    SecondTick tick_;
    TickTimer tickTimer_;
    HandOffGate gate_;  // before the receiver, whose hand-offs go through it
    Tcomm tcomm_;
    ReceiveRing ring_;  // storage in the receiver, indices in indices_
    PopupMenu1* PopupMenu1_;
    PortSwitcher switcher_;
    ShellServices services_;
    MenuDialogs dialogs_;
    BarTray* tray_;
    QPoint shownPosition_;  // where the bar stood when it went into the tray

    bool startupCompleted_ = false;
    bool lampShown_ = false;
    Lamp lamp_ = Lamp::Red;
    long chunksHandled_ = 0;
};

}  // namespace zrq
