// The menu entries that open windows and documents: the monitor, the correction settings, the
// port dialog and the about box through the five program windows, and the help document.
#include <pty.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "app/about_box.h"
#include "app/help_file.h"
#include "app/program_windows.h"
#include "app_test_support.h"

using namespace zrq;
using namespace zrq::testing;

namespace {

QString utf8(const char* text) { return QString::fromUtf8(text); }

template <class T>
T* child(QWidget& parent, const char* name) {
    T* found = parent.findChild<T*>(QLatin1String(name));
    if (!found) qFatal("no child %s", name);
    return found;
}

// The five windows over a rig, with the dialogs shown without blocking and the desktop recorded.
struct WindowsRig {
    AppRig rig;
    std::unique_ptr<ProgramWindows> windows;
    std::vector<QDialog*> opened;
    std::vector<QUrl> openedUrls;
    bool urlOpens = true;
    QString programDir = QStringLiteral("/nonexistent");

    // `ownPortList`: the port dialog lists what the port map finds in the working directory.
    void start(bool ownPortList = false) {
        AppContext context = rig.context();
        if (ownPortList) context.listPorts = {};
        windows = std::make_unique<ProgramWindows>(context);
        ShellServices& services = bar().services();
        services.showModal = [this](QDialog& dialog) {
            opened.push_back(&dialog);
            dialog.show();
        };
        services.openUrl = [this](const QUrl& url) {
            openedUrls.push_back(url);
            return urlOpens;
        };
        services.programDir = [this] { return programDir; };
    }
    TForm1& bar() { return windows->bar(); }
    PopupMenu1& menu() { return *bar().popupMenu(); }
};

// A pseudo-terminal whose secondary side stands for a serial port.
struct PseudoTerminal {
    int primary = -1;
    int secondary = -1;
    char name[128] = {};
    PseudoTerminal() {
        if (openpty(&primary, &secondary, name, nullptr, nullptr) != 0) qFatal("openpty failed");
    }
    ~PseudoTerminal() {
        close(secondary);
        close(primary);
    }
};

}  // namespace

class MenuWindowsTest : public QObject {
    Q_OBJECT
private slots:
    void monitorEntryObservesAndOpensTheMonitorWindow();
    void settingsEntryLoadsTheSettingsAndApplySavesTheFile();
    void portEntryListsTheWorkingDirectoryAndUseSwitchesToThePort();
    void dialogsOpenModallyWhileTheTickGoesOn();
    void anotherTimeServiceIsNoticedAtStartUpAndLookedForEveryMinute();

    void helpEntryOpensTheFirstDocumentFound_data();
    void helpEntryOpensTheFirstDocumentFound();
    void helpDocumentThatNoViewerOpensIsReported();
    void buildPutsTheHelpDocumentBesideTheProgram();

    void aboutEntryShowsNameVersionMakerAndHistory();
    void aboutLinkOpensTheMakersSiteAndOkCloses();
};

void MenuWindowsTest::monitorEntryObservesAndOpensTheMonitorWindow() {
    WindowsRig w;
    w.start();
    QVERIFY(!w.bar().core().status().MonitorActive);

    w.menu().N16->trigger();
    QCOMPARE(w.opened, std::vector<QDialog*>{&w.windows->monitorWindow()});
    QVERIFY(w.bar().core().status().MonitorActive);
    QVERIFY(w.windows->monitorWindow().isVisible());

    // Closing ends observing; the entry starts it again.
    w.windows->monitorWindow().close();
    QVERIFY(!w.bar().core().status().MonitorActive);
    w.menu().N16->trigger();
    QVERIFY(w.bar().core().status().MonitorActive);
    QVERIFY(w.rig.boxes.shown.empty());
}

void MenuWindowsTest::settingsEntryLoadsTheSettingsAndApplySavesTheFile() {
    WindowsRig w;
    StoredSettings stored = defaultSettings();
    stored.clock.CorrectionMode = CorrectionMode::EveryHour;
    stored.clock.CorrectionMinute = 30;
    stored.clock.CorrectionSecond = 15;
    stored.clock.JumpThresholdSec = 7;
    w.rig.writeConfig(stored);
    w.start();

    w.menu().N3->trigger();
    TForm2& dialog = w.windows->settingsDialog();
    QCOMPARE(w.opened, std::vector<QDialog*>{&dialog});
    QVERIFY(child<QRadioButton>(dialog, "RadioButton2")->isChecked());
    QCOMPARE(child<QSpinBox>(dialog, "SpinEdit2")->value(), 30);
    QCOMPARE(child<QSpinBox>(dialog, "SpinEdit3")->value(), 15);
    QCOMPARE(child<QSpinBox>(dialog, "SpinEdit7")->value(), 7);

    child<QSpinBox>(dialog, "SpinEdit7")->setValue(12);
    child<QRadioButton>(dialog, "RadioButton1")->setChecked(true);
    child<QSpinBox>(dialog, "SpinEdit1")->setValue(45);
    child<QPushButton>(dialog, "Button3")->click();

    QVERIFY(!dialog.isVisible());
    const std::optional<StoredSettings> saved = w.rig.storedConfig();
    QVERIFY(saved.has_value());
    QCOMPARE(saved->clock.JumpThresholdSec, uint8_t{12});
    QCOMPARE(saved->clock.CorrectionMode, CorrectionMode::EveryMinute);
    QCOMPARE(saved->clock.CorrectionSecond, uint8_t{45});
    QCOMPARE(saved->clock.CorrectionMinute, uint8_t{30});
    // The bar's own settings are the ones edited: the frame processing sees them at once.
    QCOMPARE(w.bar().core().settings().JumpThresholdSec, uint8_t{12});
    QCOMPARE(saved->port, 1);
    QVERIFY(w.rig.boxes.shown.empty());
}

void MenuWindowsTest::portEntryListsTheWorkingDirectoryAndUseSwitchesToThePort() {
    WindowsRig w;
    PseudoTerminal terminal;
    QVERIFY(QFile::link(QString::fromLatin1(terminal.name), w.rig.path("COM7")));
    w.start(/*ownPortList=*/true);

    w.menu().N21->trigger();
    TForm4& dialog = w.windows->portDialog();
    QCOMPARE(w.opened, std::vector<QDialog*>{&dialog});
    QVERIFY(!w.menu().N21->isChecked());  // opening the dialog is no switch

    dialog.FormActivate();
    QListWidget* list = child<QListWidget>(dialog, "ListBox1");
    // The machine's own ports may be listed too; the working directory's entry is among them.
    const QList<QListWidgetItem*> lines =
        list->findItems("COM7......" + QString::fromLatin1(terminal.name), Qt::MatchExactly);
    QCOMPARE(lines.size(), 1);
    list->setCurrentItem(lines.front());
    dialog.ListBox1Click();
    QCOMPARE(child<QSpinBox>(dialog, "SpinEdit1")->value(), 7);

    child<QPushButton>(dialog, "Button1")->click();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(w.menu().N21->text(), QStringLiteral(">>com7"));
    QCOMPARE(checkedNames(portAndBaudItems(w.menu())), (QStringList{"N21", "N48001"}));
    QCOMPARE(w.bar().core().line().Port.load(), 7);
    QVERIFY(w.rig.storedConfig().has_value());
    QCOMPARE(w.rig.storedConfig()->port, 7);
    QVERIFY(w.rig.boxes.shown.empty());
}

// With the toolkit's own modal run: the dialog is the modal one, the bar's tick shows the next
// second and writes the PC time frame while it is open.
void MenuWindowsTest::dialogsOpenModallyWhileTheTickGoesOn() {
    AppRig rig;
    ProgramWindows windows(rig.context());
    windows.bar().show();
    QVERIFY(processEventsUntil([&] { return !rig.serial->written(1).empty(); }));

    struct Row {
        QAction* entry;
        QDialog* dialog;
    };
    PopupMenu1& menu = *windows.bar().popupMenu();
    const Row rows[] = {{menu.N16, &windows.monitorWindow()},
                        {menu.N3, &windows.settingsDialog()},
                        {menu.N21, &windows.portDialog()},
                        {menu.About1, &windows.aboutBox()}};
    for (const Row& row : rows) {
        const QByteArray where = row.entry->objectName().toUtf8();
        QWidget* modal = nullptr;
        bool ticked = false;
        QTimer::singleShot(0, [&] {
            modal = QApplication::activeModalWidget();
            const std::size_t before = rig.serial->written(1).size();
            const QString shown = windows.bar().Label1->text();
            rig.clock.advanceSeconds(1);
            ticked = processEventsUntil([&] {
                return rig.serial->written(1).size() > before &&
                       windows.bar().Label1->text() != shown;
            });
            row.dialog->reject();
        });
        row.entry->trigger();  // returns when the dialog has closed
        QVERIFY2(modal == row.dialog, where);
        QVERIFY2(ticked, where);
        QVERIFY2(!row.dialog->isVisible(), where);
    }
}

// The first look runs once every window exists, so its line reaches the monitor window.
void MenuWindowsTest::anotherTimeServiceIsNoticedAtStartUpAndLookedForEveryMinute() {
    struct Probe final : TimeServiceProbe {
        int looks = 0;
        std::vector<std::string> processNames() override {
            ++looks;
            return {"bash", "chronyd"};
        }
        bool kernelSynchronised() override { return false; }
    } probe;
    AppRig rig;
    AppContext context = rig.context();
    context.timeServices = &probe;
    ProgramWindows windows(context);
    QCOMPARE(probe.looks, 1);
    const std::deque<GbkText>& lines = windows.monitorWindow().lines();
    QCOMPARE(lines.size(), std::size_t{1});
    QVERIFY2(
        lines.front().toUtf8().starts_with("12:00:00[TIME SERVICE:] 发现其他时间服务：chronyd"),
        lines.front().toUtf8().c_str());
    // The next look comes with the sixtieth new second, and says nothing already said.
    for (int second = 1; second <= 60; ++second) {
        QCOMPARE(probe.looks, 1);
        rig.clock.advanceSeconds(1);
        windows.bar().core().tick();
    }
    QCOMPARE(probe.looks, 2);
    QCOMPARE(lines.size(), std::size_t{1});
}

void MenuWindowsTest::helpEntryOpensTheFirstDocumentFound_data() {
    QTest::addColumn<QStringList>("files");  // under the root; a trailing "/" makes a folder
    QTest::addColumn<QString>("opened");     // relative to the root; empty: not found
    QTest::newRow("beside the program") << QStringList{"bin/ZEQU.html"} << "bin/ZEQU.html";
    QTest::newRow("shared data folder")
        << QStringList{"bin/", "share/zrq/ZEQU.html"} << "share/zrq/ZEQU.html";
    QTest::newRow("beside wins over shared")
        << QStringList{"bin/ZEQU.html", "share/zrq/ZEQU.html"} << "bin/ZEQU.html";
    QTest::newRow("a folder of that name is no document")
        << QStringList{"bin/ZEQU.html/", "share/zrq/ZEQU.html"} << "share/zrq/ZEQU.html";
    QTest::newRow("the old help file is not shown") << QStringList{"bin/ZEQU.hlp"} << "";
    QTest::newRow("nowhere") << QStringList{"bin/"} << "";
}

void MenuWindowsTest::helpEntryOpensTheFirstDocumentFound() {
    QFETCH(QStringList, files);
    QFETCH(QString, opened);
    QTemporaryDir root;
    QDir dir(root.path());
    for (const QString& file : files) {
        if (file.endsWith('/')) {
            QVERIFY(dir.mkpath(file));
            continue;
        }
        QVERIFY(dir.mkpath(QFileInfo(file).path()));
        QFile document(dir.filePath(file));
        QVERIFY(document.open(QIODevice::WriteOnly));
        document.write("<html></html>");
    }
    WindowsRig w;
    w.start();
    w.programDir = dir.filePath("bin");

    w.menu().N15->trigger();
    if (!opened.isEmpty()) {
        QCOMPARE(w.openedUrls, std::vector<QUrl>{QUrl::fromLocalFile(dir.filePath(opened))});
        QVERIFY(w.rig.boxes.shown.empty());
        return;
    }
    QVERIFY(w.openedUrls.empty());
    QCOMPARE(w.rig.boxes.shown.size(), std::size_t{1});
    QVERIFY(w.rig.boxes.shown[0].kind == Kind::Plain);
    const QString message = QString::fromStdString(w.rig.boxes.shown[0].text);
    QVERIFY2(message.contains("ZEQU.html"), qPrintable(message));
    QVERIFY2(message.contains(dir.filePath("bin/ZEQU.html")), qPrintable(message));
    QVERIFY2(message.contains(dir.filePath("share/zrq/ZEQU.html")), qPrintable(message));
}

void MenuWindowsTest::helpDocumentThatNoViewerOpensIsReported() {
    QTemporaryDir root;
    QFile document(QDir(root.path()).filePath("ZEQU.html"));
    QVERIFY(document.open(QIODevice::WriteOnly));
    document.close();
    WindowsRig w;
    w.start();
    w.programDir = root.path();
    w.urlOpens = false;

    w.menu().N15->trigger();
    QCOMPARE(w.openedUrls.size(), std::size_t{1});
    QCOMPARE(w.rig.boxes.shown.size(), std::size_t{1});
    const QString message = QString::fromStdString(w.rig.boxes.shown[0].text);
    QVERIFY2(message.contains(document.fileName()), qPrintable(message));
}

void MenuWindowsTest::buildPutsTheHelpDocumentBesideTheProgram() {
    const QString document = helpDocumentName(QString::fromLatin1(kHelpFileName));
    const std::optional<QString> found =
        findHelpDocument(helpSearchPaths(QStringLiteral(ZRQ_BINARY_DIR), document));
    QVERIFY(found.has_value());
    QFile built(*found);
    QFile source(QStringLiteral(ZRQ_SOURCE_DIR "/app/help/ZEQU.html"));
    QVERIFY(built.open(QIODevice::ReadOnly) && source.open(QIODevice::ReadOnly));
    QCOMPARE(built.readAll(), source.readAll());
}

void MenuWindowsTest::aboutEntryShowsNameVersionMakerAndHistory() {
    WindowsRig w;
    w.start();
    w.menu().About1->trigger();
    TAboutBox& about = w.windows->aboutBox();
    QCOMPARE(w.opened, std::vector<QDialog*>{&about});
    QCOMPARE(about.windowTitle(), utf8("关于软件"));

    QCOMPARE(child<QLabel>(about, "ProductName")->text(), utf8("ZRQ 时钟同步"));
    QVERIFY(!child<QLabel>(about, "ProgramIcon")->pixmap().isNull());
    const QString version = child<QLabel>(about, "Version")->text();
    QVERIFY2(QRegularExpression("\\d+\\.\\d+\\.\\d+").match(version).hasMatch(),
             qPrintable(version));
    QVERIFY(version.contains(QLatin1String(programVersion())));
    QVERIFY2(QRegularExpression("\\d{4}-\\d{2}-\\d{2}").match(programBuildDate()).hasMatch(),
             programBuildDate());
    QVERIFY(version.contains(QLatin1String(programBuildDate())));
    const QString maker = child<QLabel>(about, "Maker")->text();
    QVERIFY(maker.contains("Horivo"));
    QVERIFY(maker.contains("href=\"https://horivo.example/zrq\""));
    QCOMPARE(child<QLabel>(about, "HistoryTitle")->text(), utf8("版本历史"));
    QVERIFY(child<QPlainTextEdit>(about, "History")->toPlainText().contains(programVersion()));

    // Fixed size, and no text cut off by it.
    QVERIFY(about.minimumSize() == about.maximumSize());
    for (const char* name : {"ProductName", "Version", "Maker", "HistoryTitle"}) {
        QLabel* label = child<QLabel>(about, name);
        QVERIFY2(label->width() >= label->sizeHint().width(), name);
    }
}

void MenuWindowsTest::aboutLinkOpensTheMakersSiteAndOkCloses() {
    WindowsRig w;
    w.start();
    w.menu().About1->trigger();
    TAboutBox& about = w.windows->aboutBox();
    QVERIFY(child<QLabel>(about, "Maker")->textInteractionFlags() & Qt::LinksAccessibleByMouse);
    emit child<QLabel>(about, "Maker")->linkActivated(QStringLiteral("https://horivo.example/zrq"));
    QCOMPARE(w.openedUrls, std::vector<QUrl>{QUrl("https://horivo.example/zrq")});

    child<QPushButton>(about, "OKButton")->click();
    QVERIFY(!about.isVisible());
    QCOMPARE(about.result(), int(QDialog::Accepted));
}

QTEST_MAIN(MenuWindowsTest)
#include "menu_windows_qtest.moc"
