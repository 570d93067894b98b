// The windows as the window manager sees them on a real X display (an Xvfb server of its own):
// captions exactly each window's own, with nothing of the application added; a window class and
// application id that lead docks to the desktop entry; the bar's task-bar exclusion states once
// each, however often it comes back from the tray.
// Skips when Xvfb or xprop is missing.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <functional>
#include <optional>
#include <string>

#include "app/about_box.h"
#include "app/application_setup.h"
#include "app/qt_message_boxes.h"
#include "app_test_support.h"
#include "dialogs/monitor_window.h"
#include "dialogs/port_dialog.h"
#include "dialogs/settings_dialog.h"
#include "tests/support/recording_boxes.h"

using namespace zrq;

namespace {

constexpr int kWaitMs = 10'000;

pid_t gServer = -1;
const char* gSkipReason = nullptr;

// Starts Xvfb on a display it picks itself (-displayfd) and names it in DISPLAY.
bool startServer() {
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("xprop")).isEmpty()) {
        return false;
    }
    int fds[2];
    if (pipe(fds) != 0) return false;
    gServer = fork();
    if (gServer == 0) {
        dup2(fds[1], STDOUT_FILENO);
        const std::string path = xvfb.toStdString();
        execl(path.c_str(), path.c_str(), "-displayfd", "1", "-screen", "0", "1024x768x24",
              "-nolisten", "tcp", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    while (gServer > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) return false;
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return true;
}

void stopServer() {
    if (gServer <= 0) return;
    kill(gServer, SIGTERM);
    waitpid(gServer, nullptr, 0);
}

// A property of the window as xprop prints it, read from outside the program.
QString propertyOf(const QWidget& window, const char* name) {
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"),
                {"-id", QString::number(window.winId()), QLatin1String(name)});
    xprop.waitForFinished(kWaitMs);
    return QString::fromUtf8(xprop.readAllStandardOutput());
}

// The caption the window manager is given (_NET_WM_NAME).
QString captionOf(const QWidget& window) {
    static const QRegularExpression value(R"re(= "(.*)"\s*$)re");
    const QRegularExpressionMatch m = value.match(propertyOf(window, "_NET_WM_NAME"));
    return m.hasMatch() ? m.captured(1) : QStringLiteral("<no caption>");
}

// Shows a modal box through `show`, reads its caption while it is open, then closes it.
QString captionOfModalBox(const std::function<void()>& show) {
    QString caption;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (!box || !box->isVisible() || !QTest::qWaitForWindowExposed(box)) return;
        poll.stop();
        caption = captionOf(*box);
        box->close();
    });
    poll.start(20);
    show();
    return caption;
}

// The value of a key of the program's desktop entry, as docks read it.
QString desktopEntryValue(const QString& id, const char* key) {
    QFile entry(QStringLiteral(ZRQ_SOURCE_DIR "/packaging/") + id + QStringLiteral(".desktop"));
    if (!entry.open(QIODevice::ReadOnly)) return QStringLiteral("<no entry %1>").arg(id);
    const QRegularExpression line(QStringLiteral("^%1=(.*)$").arg(QLatin1String(key)),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = line.match(QString::fromUtf8(entry.readAll()));
    return m.hasMatch() ? m.captured(1) : QStringLiteral("<no %1>").arg(QLatin1String(key));
}

}  // namespace

class X11WindowsTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void windowsCarryExactlyTheirOwnCaptions();
    void windowClassLeadsToTheDesktopEntry();
    void messageBoxesCarryExactlyTheirCaptions();
    void barStatesStayOnceThroughTrayRoundTrips();
};

void X11WindowsTest::init() {
    if (gSkipReason) QSKIP(gSkipReason);
}

void X11WindowsTest::windowsCarryExactlyTheirOwnCaptions() {
    ClockSettings settings{};
    RecordingMessageBoxes boxes;
    TAboutBox about;
    TForm2 settingsDialog(settings, boxes, [](const ClockSettings&) {});
    TForm3 monitor([](bool) {}, boxes);
    TForm4 portDialog([] { return TForm4::PortLister::result_type{}; }, [](int) { return false; },
                      boxes);
    const std::pair<QDialog*, const char*> windows[] = {{&about, "关于软件"},
                                                        {&settingsDialog, "校时设置"},
                                                        {&monitor, "通讯观测"},
                                                        {&portDialog, "Serial Port"}};
    for (const auto& [window, expected] : windows) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(captionOf(*window), QString::fromUtf8(expected));
        window->hide();
    }
}

void X11WindowsTest::windowClassLeadsToTheDesktopEntry() {
    TAboutBox about;
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    // WM_CLASS(STRING) = "<instance>", "<class>"; docks match the class to StartupWMClass.
    static const QRegularExpression classValue(R"re(, "([^"]*)"\s*$)re");
    const QRegularExpressionMatch m = classValue.match(propertyOf(about, "WM_CLASS"));
    QVERIFY(m.hasMatch());
    const QString id = QGuiApplication::desktopFileName();
    QCOMPARE(m.captured(1), desktopEntryValue(id, "StartupWMClass"));
    QCOMPARE(desktopEntryValue(id, "Icon"), QStringLiteral("zrq"));
}

void X11WindowsTest::messageBoxesCarryExactlyTheirCaptions() {
    QtMessageBoxes boxes;
    const GbkText text = gbk("x");
    QCOMPARE(captionOfModalBox([&] { boxes.error(text); }), QString::fromUtf8("错误"));
    QCOMPARE(captionOfModalBox([&] { boxes.warning(text); }), QStringLiteral("Warning"));
    QCOMPARE(captionOfModalBox([&] { boxes.plain(text); }), QStringLiteral("ZRQ"));
    QCOMPARE(captionOfModalBox([&] { boxes.plainWithCaption(gbk("警告"), text); }),
             QString::fromUtf8("警告"));
    QCOMPARE(captionOfModalBox([&] { boxes.generalError("x"); }), QStringLiteral("ZRQ"));
}

void X11WindowsTest::barStatesStayOnceThroughTrayRoundTrips() {
    testing::AppRig rig;
    TForm1 bar(rig.context());
    bar.services().trayAvailable = [] { return true; };
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    constexpr int kRoundTrips = 3;
    for (int i = 0; i < kRoundTrips; ++i) {
        bar.N19Click();
        QTest::qWait(20);
        bar.N20Click();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
    }
    const QString states = propertyOf(bar, "_NET_WM_STATE");
    QCOMPARE(states.count(QLatin1String("_NET_WM_STATE_SKIP_TASKBAR")), 1);
    QCOMPARE(states.count(QLatin1String("_NET_WM_STATE_SKIP_PAGER")), 1);
}

int main(int argc, char** argv) {
    if (startServer()) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        gSkipReason = "no Xvfb or xprop to show the windows on";
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int result = 0;
    {
        QApplication app(argc, argv);
        configureApplication();
        X11WindowsTest test;
        result = QTest::qExec(&test, argc, argv);
    }
    stopServer();
    return result;
}

#include "x11_windows_review_qtest.moc"
