// The tray on a real X display: an Xvfb server of its own with an XEmbed tray host (trayer); the
// icon is embedded in the host, a right-click on it opens the bar's menu, a left click does
// nothing, and restoring takes the icon out again. Skips when Xvfb or trayer is missing.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>
#include <optional>

#include "app/program_windows.h"
#include "app/tray.h"
#include "app_test_support.h"

extern char** environ;

using namespace zrq;
using namespace zrq::testing;

namespace {

constexpr int kStartWaitMs = 10'000;
constexpr int kQuietMs = 300;  // time given to an action that must have no effect

// A child process started here and ended here, by its id.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { stop(); }

    // Starts the program with its arguments; `outputFd` (>= 0) becomes its standard output.
    bool start(const std::vector<std::string>& argv, int outputFd = -1) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (outputFd >= 0) posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        const int error = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) pid_ = -1;
        return pid_ > 0;
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

// Xvfb on a display number it picks itself, and trayer on it. DISPLAY names it once started.
class TrayDisplay {
public:
    bool start() {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        const QString trayer = QStandardPaths::findExecutable(QStringLiteral("trayer"));
        for (const char* tool : {"Xvfb", "trayer", "xwininfo", "xdotool"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) {
                missing_ = tool;
                return false;
            }
        }
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return false;
        // -displayfd: the server picks a free display and writes its number when it is ready.
        const bool started = server_.start({xvfb.toStdString(), "-displayfd", "1", "-screen", "0",
                                            "1024x768x24", "-nolisten", "tcp"},
                                           pipeFds[1]);
        close(pipeFds[1]);
        const std::optional<int> display = started ? readDisplayNumber(pipeFds[0]) : std::nullopt;
        close(pipeFds[0]);
        if (!display) {
            missing_ = "Xvfb (it did not start)";
            return false;
        }
        display_ = ":" + std::to_string(*display);
        setenv("DISPLAY", display_.c_str(), 1);
        if (!host_.start({trayer.toStdString(), "--edge", "top", "--align", "left", "--widthtype",
                          "pixel", "--width", "200", "--height", "24"})) {
            missing_ = "trayer (it did not start)";
            return false;
        }
        return true;
    }
    void stop() {
        host_.stop();
        server_.stop();
    }
    // What was missing or failed, for the skip message.
    const char* missing() const { return missing_; }

private:
    static std::optional<int> readDisplayNumber(int fd) {
        std::string text;
        char c;
        while (read(fd, &c, 1) == 1 && c != '\n') text += c;
        if (text.empty()) return std::nullopt;
        return std::stoi(text);
    }

    Child server_;
    Child host_;
    std::string display_;
    const char* missing_ = nullptr;
};

const char* gSkipReason = nullptr;  // set when no tray display could be had

QString run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(kStartWaitMs);
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// Where a window with a class name stands inside the tray host's panel, in root coordinates:
// the icon once the host has embedded it.
std::optional<QRect> embeddedIcon() {
    const QString tree = run(QStringLiteral("xwininfo"), {"-name", "panel", "-tree"});
    static const QRegularExpression child(
        R"(^\s*0x[0-9a-f]+ "[^"]*": \("[^"]*" "[^"]*"\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))",
        QRegularExpression::MultilineOption);
    QRegularExpressionMatchIterator matches = child.globalMatch(tree);
    while (matches.hasNext()) {
        const QRegularExpressionMatch m = matches.next();
        // The panel's own line carries the class ("panel" "trayer"): skip it.
        if (m.captured(0).contains(QLatin1String("\"trayer\""))) continue;
        return QRect(m.captured(3).toInt(), m.captured(4).toInt(), m.captured(1).toInt(),
                     m.captured(2).toInt());
    }
    return std::nullopt;
}

void clickAt(const QPoint& at, int button) {
    run(QStringLiteral("xdotool"), {"mousemove", QString::number(at.x()), QString::number(at.y()),
                                    "click", QString::number(button)});
}

void pressAt(const QPoint& at, int button) {
    run(QStringLiteral("xdotool"), {"mousemove", QString::number(at.x()), QString::number(at.y()),
                                    "mousedown", QString::number(button)});
}

}  // namespace

class TrayDisplayTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void theHostMakesTheTrayAvailable();
    void iconIsEmbeddedAndOnlyTheRightButtonOpensTheMenu();
};

void TrayDisplayTest::init() {
    if (gSkipReason) QSKIP(qPrintable(QStringLiteral("no tray display: %1").arg(gSkipReason)));
}

void TrayDisplayTest::theHostMakesTheTrayAvailable() {
    QVERIFY(processEventsUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10s));
    QVERIFY(desktopShellServices().trayAvailable());
}

void TrayDisplayTest::iconIsEmbeddedAndOnlyTheRightButtonOpensTheMenu() {
    QVERIFY(processEventsUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10s));
    AppRig rig;
    ProgramWindows windows(rig.context());
    TForm1& bar = windows.bar();
    PopupMenu1& menu = *bar.popupMenu();
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    QVERIFY(!embeddedIcon());

    menu.N19->trigger();
    QVERIFY(rig.boxes.shown.empty());
    QVERIFY(!bar.isVisible());
    std::optional<QRect> icon;
    QVERIFY(processEventsUntil([&] { return (icon = embeddedIcon()).has_value(); }, 10s));

    // A left click does nothing.
    clickAt(icon->center(), 1);
    QTest::qWait(kQuietMs);
    QVERIFY(!menu.isVisible());
    QVERIFY(!bar.isVisible());

    // Releasing the right button opens the bar's menu, offering the way back; pressing it does not.
    pressAt(icon->center(), 3);
    QTest::qWait(kQuietMs);
    QVERIFY(!menu.isVisible());
    run(QStringLiteral("xdotool"), {"mouseup", "3"});
    QVERIFY(processEventsUntil([&] { return menu.isVisible(); }));
    QVERIFY(menu.N20->isVisible());
    QVERIFY(!menu.N19->isVisible());
    menu.hide();

    menu.N20->trigger();
    QVERIFY(bar.isVisible());
    QVERIFY(processEventsUntil([] { return !embeddedIcon().has_value(); }, 10s));
}

int main(int argc, char** argv) {
    TrayDisplay display;
    if (display.start()) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        gSkipReason = display.missing();
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int result = 0;
    {
        QApplication app(argc, argv);
        TrayDisplayTest test;
        result = QTest::qExec(&test, argc, argv);
    }
    display.stop();  // after the application has left the display
    return result;
}

#include "tray_xvfb_qtest.moc"
