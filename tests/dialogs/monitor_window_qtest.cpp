// The monitor window: saving its lines, clearing, the line cap, what the view shows while lines
// come and go, the save dialog on special files, and observing that follows activation, the stop
// and continue buttons and closing.
#include <QClipboard>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "base/message_boxes.h"
#include "dialogs/monitor_view.h"
#include "dialogs/monitor_window.h"
#include "tests/support/recording_boxes.h"
#include "timecode/status_state.h"

using zrq::GbkText;
using zrq::RecordingMessageBoxes;

namespace {

using Kind = RecordingMessageBoxes::Kind;

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return "<cannot read>";
    return file.readAll();
}

// A window of the program other than the monitor, such as a message box.
std::unique_ptr<QWidget> showOtherWindow() {
    auto other = std::make_unique<QWidget>();
    other->setWindowTitle(QStringLiteral("other"));
    other->show();
    other->activateWindow();
    return other;
}

}  // namespace

class MonitorWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void savedLinesAreGbkBytesEachEndedByCrLf();
    void clearThenSaveGivesEmptyFile();
    void defaultSuffixIsAddedToBareNames_data();
    void defaultSuffixIsAddedToBareNames();
    void failedSaveReportsAndKeepsLines_data();
    void failedSaveReportsAndKeepsLines();
    void cancelledSaveDoesNothing();
    void appendedLinesShowInTheView();
    void viewFollowsTheEndUnlessScrolledBack();
    void selectedLinesAreCopied();
    void lineCapDropsTheOldest();
    void saveDialogNeverReadsTheFilesItLists();

    void activationAndButtonsDriveObserving();
    void anotherProgramWindowEndsObserving();
    void switchingAwayFromTheProgramKeepsObserving();
    void stopThenSaveObservesAgainAfterTheBox();
    void closeAndReopenKeepsLinesAndObserves();

private:
    QToolButton* button(const char* name) { return window->findChild<QToolButton*>(name); }
    zrq::MonitorView* memo() { return window->findChild<zrq::MonitorView*>("Memo1"); }
    // The lines the view shows, laid out at the window's size.
    QStringList shown() {
        if (!window->isVisible()) {
            window->show();
            if (!QTest::qWaitForWindowExposed(window.get())) return {"<not shown>"};
        }
        return memo()->visibleLines();
    }
    void chooseFile(const QString& path) {
        window->setFileChooser([path] { return std::optional<QString>(path); });
    }
    void showAndActivate() {
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }
    void appendLines(std::initializer_list<const char*> utf8Lines) {
        for (const char* line : utf8Lines) window->appendLine(zrq::gbk(line));
    }

    std::unique_ptr<QTemporaryDir> dir;
    zrq::StatusState status;
    RecordingMessageBoxes boxes;
    std::unique_ptr<zrq::TForm3> window;
};

void MonitorWindowTest::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    status = zrq::StatusState{};
    boxes = RecordingMessageBoxes{};
    window = std::make_unique<zrq::TForm3>([this](bool on) { status.MonitorActive = on; }, boxes);
}

void MonitorWindowTest::cleanup() {
    window.reset();
    dir.reset();
}

void MonitorWindowTest::savedLinesAreGbkBytesEachEndedByCrLf() {
    appendLines({"12:00:31 AA 00 24", "校时成功", "12:00:32 55 AA"});
    const QString path = dir->filePath("three.txt");
    chooseFile(path);
    button("SpeedButton1")->click();

    QCOMPARE(fileBytes(path), QByteArray("12:00:31 AA 00 24\r\n"
                                         "\xD0\xA3\xCA\xB1\xB3\xC9\xB9\xA6\r\n"
                                         "12:00:32 55 AA\r\n"));
    QCOMPARE(boxes.shown.size(), size_t(1));
    QCOMPARE(boxes.shown[0].kind, Kind::Plain);
    QCOMPARE(boxes.shown[0].caption, std::string("ZRQ"));
    QCOMPARE(boxes.shown[0].text, std::string("保存成功~！"));
}

void MonitorWindowTest::clearThenSaveGivesEmptyFile() {
    appendLines({"one", "two"});
    const QString path = dir->filePath("empty.txt");
    QFile old(path);  // an earlier save's content is replaced
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("old content\r\n");
    old.close();

    button("SpeedButton3")->click();
    QVERIFY(window->lines().empty());
    QCOMPARE(shown(), QStringList());
    chooseFile(path);
    button("SpeedButton1")->click();

    QVERIFY(QFile::exists(path));
    QCOMPARE(fileBytes(path), QByteArray());
    QCOMPARE(boxes.texts(), std::vector<std::string>{"保存成功~！"});
}

void MonitorWindowTest::defaultSuffixIsAddedToBareNames_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("written");
    QTest::newRow("bare name") << "log"
                               << "log.txt";
    QTest::newRow("with txt") << "log.txt"
                              << "log.txt";
    QTest::newRow("other extension") << "notes.dat"
                                     << "notes.dat";
    QTest::newRow("point only in the folder") << "sub.d/log"
                                              << "sub.d/log.txt";
}

void MonitorWindowTest::defaultSuffixIsAddedToBareNames() {
    QFETCH(QString, typed);
    QFETCH(QString, written);
    QVERIFY(QDir(dir->path()).mkpath("sub.d"));
    appendLines({"line"});
    chooseFile(dir->filePath(typed));
    button("SpeedButton1")->click();

    QCOMPARE(fileBytes(dir->filePath(written)), QByteArray("line\r\n"));
    if (typed != written) QVERIFY(!QFile::exists(dir->filePath(typed)));
}

void MonitorWindowTest::failedSaveReportsAndKeepsLines_data() {
    QTest::addColumn<QString>("target");
    QTest::newRow("path through a regular file") << "plain/out.txt";
    QTest::newRow("a folder where the file should be") << "folder.txt";
    QTest::newRow("missing folder") << "missing/out.txt";
}

void MonitorWindowTest::failedSaveReportsAndKeepsLines() {
    QFETCH(QString, target);
    QFile plain(dir->filePath("plain"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QVERIFY(QDir(dir->path()).mkdir("folder.txt"));
    appendLines({"first", "second"});

    chooseFile(dir->filePath(target));
    button("SpeedButton1")->click();

    QCOMPARE(boxes.shown.size(), size_t(1));
    QCOMPARE(boxes.shown[0].kind, Kind::Plain);
    QCOMPARE(boxes.shown[0].text, std::string("保存失败~！"));
    QCOMPARE(window->lines().size(), size_t(2));
    QCOMPARE(shown(), (QStringList{"first", "second"}));
}

void MonitorWindowTest::cancelledSaveDoesNothing() {
    appendLines({"line"});
    window->setFileChooser([] { return std::optional<QString>(); });
    button("SpeedButton1")->click();
    QVERIFY(boxes.shown.empty());
    QCOMPARE(QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), 0);
}

void MonitorWindowTest::appendedLinesShowInTheView() {
    showAndActivate();
    appendLines({"12:00:31 AA 00", "校时成功"});
    QCOMPARE(shown(), (QStringList{"12:00:31 AA 00", QString::fromUtf8("校时成功")}));
    QCOMPARE(window->lines().back().bytes(), std::string("\xD0\xA3\xCA\xB1\xB3\xC9\xB9\xA6"));
}

// At the end the view shows each new line as it comes; scrolled back, it stays on its lines.
void MonitorWindowTest::viewFollowsTheEndUnlessScrolledBack() {
    showAndActivate();
    for (int i = 0; i < 200; ++i) window->appendLine(GbkText::fromBytes(std::to_string(i)));
    QStringList view = shown();
    QVERIFY(view.size() > 5 && view.size() < 200);
    QCOMPARE(view.back(), QStringLiteral("199"));

    // A line longer than the view is wide wraps and still ends at the bottom.
    window->appendLine(GbkText::fromBytes(std::string(2000, 'W') + " end"));
    QVERIFY(shown().back().endsWith(QStringLiteral(" end")));

    memo()->verticalScrollBar()->setValue(10);
    window->appendLine(GbkText::fromBytes("new"));
    QCOMPARE(shown().front(), QStringLiteral("10"));
    memo()->verticalScrollBar()->setValue(memo()->verticalScrollBar()->maximum());
    window->appendLine(GbkText::fromBytes("newest"));
    QCOMPARE(shown().back(), QStringLiteral("newest"));
}

// Whole lines: a click selects one, a shift-click extends to another, Ctrl+A takes all; the
// selection stays on its lines while the oldest lines go.
void MonitorWindowTest::selectedLinesAreCopied() {
    showAndActivate();
    appendLines({"first", "校时成功", "third", "fourth"});
    QWidget* lines = memo()->viewport();
    const int rowHeight = memo()->fontMetrics().lineSpacing();
    const auto rowCentre = [&](int row) { return QPoint(20, 4 + row * rowHeight + rowHeight / 2); };
    const auto copied = [&] {
        QTest::keyClick(memo(), Qt::Key_C, Qt::ControlModifier);
        return QGuiApplication::clipboard()->text();
    };
    QTest::mouseClick(lines, Qt::LeftButton, {}, rowCentre(1));
    QTest::mouseClick(lines, Qt::LeftButton, Qt::ShiftModifier, rowCentre(2));
    QCOMPARE(copied(), QString::fromUtf8("校时成功\nthird"));

    window->appendLine(GbkText::fromBytes("fifth"));
    QCOMPARE(copied(), QString::fromUtf8("校时成功\nthird"));

    QTest::keyClick(memo(), Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(copied(), QString::fromUtf8("first\n校时成功\nthird\nfourth\nfifth"));
}

void MonitorWindowTest::lineCapDropsTheOldest() {
    showAndActivate();
    const int extra = 5;
    const int total = static_cast<int>(zrq::kMonitorLineCap) + extra;
    for (int i = 0; i < total; ++i) {
        window->appendLine(GbkText::fromBytes("line " + std::to_string(i)));
    }
    QCOMPARE(window->lines().size(), zrq::kMonitorLineCap);
    QCOMPARE(window->lines().front().bytes(), std::string("line 5"));
    const std::string last = "line " + std::to_string(total - 1);
    QCOMPARE(window->lines().back().bytes(), last);
    QCOMPARE(shown().back(), QString::fromStdString(last));
    // Scrolled to the top, the view shows the oldest line kept, and keeps showing it as the
    // lines above it go.
    memo()->verticalScrollBar()->setValue(0);
    QCOMPARE(shown().front(), QStringLiteral("line 5"));
    QTest::mouseClick(memo()->viewport(), Qt::LeftButton, {}, QPoint(20, 6));
    window->appendLine(GbkText::fromBytes("one more"));
    QCOMPARE(shown().front(), QStringLiteral("line 6"));
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(memo(), Qt::Key_C, Qt::ControlModifier);  // its line went: nothing to copy
    QCOMPARE(QGuiApplication::clipboard()->text(), QString());
    memo()->verticalScrollBar()->setValue(3);
    window->appendLine(GbkText::fromBytes("and another"));
    QCOMPARE(shown().front(), QStringLiteral("line 9"));
}

// The save dialog must not read the files it lists: typed into it, /proc/kmsg would make a read
// wait for the next kernel message, and the user-interface thread (the tick, the received data)
// would wait with it. A plain file whose name says nothing of its type shows a read by its
// access time; /proc/kmsg shows whether the event loop keeps turning.
void MonitorWindowTest::saveDialogNeverReadsTheFilesItLists() {
    auto* dialog = window->findChild<QFileDialog*>("SaveDialog1");
    QVERIFY(dialog);
    dialog->open();
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    QVERIFY(name);

    const QString probe = dir->filePath("no-extension");
    QFile file(probe);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("%PDF-1.4\n");
    const QDateTime lastRead = QDateTime::currentDateTime().addDays(-2);
    QVERIFY(file.setFileTime(lastRead, QFileDevice::FileAccessTime));
    file.close();
    QTest::keyClicks(name, probe);
    QTest::qWait(300);
    QCOMPARE(QFileInfo(probe).lastRead().toSecsSinceEpoch(), lastRead.toSecsSinceEpoch());

    name->clear();
    int beats = 0;
    QTimer heart;
    heart.setInterval(10);
    connect(&heart, &QTimer::timeout, [&] { ++beats; });
    heart.start();
    std::atomic<bool> typed{false};
    std::thread watchdog([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!typed.load()) {
            if (std::chrono::steady_clock::now() > deadline) {
                std::fprintf(stderr, "FAIL: the event loop stopped while /proc/kmsg was typed\n");
                std::_Exit(1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    QTest::keyClicks(name, QStringLiteral("/proc/kmsg"));
    QTest::qWait(300);
    typed.store(true);
    watchdog.join();
    QVERIFY(beats > 10);
    dialog->reject();
}

void MonitorWindowTest::activationAndButtonsDriveObserving() {
    QVERIFY(!status.MonitorActive);
    showAndActivate();
    QVERIFY(status.MonitorActive);
    button("SpeedButton2")->click();
    QVERIFY(!status.MonitorActive);
    button("SpeedButton2")->click();
    QVERIFY(!status.MonitorActive);
    button("SpeedButton4")->click();
    QVERIFY(status.MonitorActive);
}

void MonitorWindowTest::anotherProgramWindowEndsObserving() {
    showAndActivate();
    auto other = showOtherWindow();
    QVERIFY(QTest::qWaitForWindowActive(other.get()));
    QVERIFY(!status.MonitorActive);
    button("SpeedButton4")->click();  // the buttons still work on an inactive window
    QVERIFY(status.MonitorActive);
    other->activateWindow();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QVERIFY(status.MonitorActive);
}

void MonitorWindowTest::switchingAwayFromTheProgramKeepsObserving() {
    showAndActivate();
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QApplication::setActiveWindow(nullptr);  // no window of the program is active any more
    QT_WARNING_POP
    QVERIFY(!window->isActiveWindow());
    QVERIFY(status.MonitorActive);
}

void MonitorWindowTest::stopThenSaveObservesAgainAfterTheBox() {
    showAndActivate();
    button("SpeedButton2")->click();
    QVERIFY(!status.MonitorActive);
    bool observingWhileBoxOpen = true;
    boxes.whileShown = [&](const RecordingMessageBoxes::Shown&) {
        auto box = showOtherWindow();
        QVERIFY(QTest::qWaitForWindowActive(box.get()));
        observingWhileBoxOpen = status.MonitorActive;
        box->close();
        window->activateWindow();  // a closing box hands the activation back
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    };
    chooseFile(dir->filePath("log"));
    button("SpeedButton1")->click();

    QCOMPARE(boxes.texts(), std::vector<std::string>{"保存成功~！"});
    QVERIFY(!observingWhileBoxOpen);
    QVERIFY(status.MonitorActive);
}

void MonitorWindowTest::closeAndReopenKeepsLinesAndObserves() {
    showAndActivate();
    appendLines({"before close"});
    window->close();
    QVERIFY(!window->isVisible());
    QVERIFY(!status.MonitorActive);
    appendLines({"while closed"});

    showAndActivate();
    QVERIFY(status.MonitorActive);
    QCOMPARE(shown(), (QStringList{"before close", "while closed"}));

    QTest::keyClick(window.get(), Qt::Key_Escape);  // Escape closes too
    QVERIFY(!window->isVisible());
    QVERIFY(!status.MonitorActive);
    QCOMPARE(window->lines().size(), size_t(2));
}

QTEST_MAIN(MonitorWindowTest)
#include "monitor_window_qtest.moc"
