// Start-up of the main bar: placement, the first texts, the settings file variants, the forced
// values and menu marks, the port opening and its failures, the receiver, and the first ticks.
#include <QFrame>
#include <QLabel>
#include <QPalette>
#include <QTest>

#include "app_test_support.h"

using namespace zrq;
using namespace zrq::testing;

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void placesBarAtTopRightOfThe800PixelScreen();
    void showsTimeDateAndRedLampBeforeAnyTick();
    void firstStartWithoutFileUsesDefaults();
    void forcedValuesWinOverTheFile();
    void portAboveFourShowsOnTheDialogEntry();
    void shortFileLeavesPortBaudAndFormatAtZero();
    void unopenableFileEndsStartUpAfterTheWarning();
    void closingAfterAnUnopenableFileStopsNothingButTheFlag();
    void portThatCannotBeOpenedIsReportedAndTheProgramRunsOn();
    void failingPortSetClosesThePortAndStartsTheReceiver();
    void doubleClickRightAfterStartUpShowsNoSignalMessage();
};

void StartupTest::placesBarAtTopRightOfThe800PixelScreen() {
    AppRig rig;
    TForm1 bar(rig.context());
    QCOMPARE(bar.pos(), QPoint(800 - 185 - 80, 0));
    QCOMPARE(bar.size(), QSize(185, 17));
    QCOMPARE(bar.Panel2->size(), QSize(16, 15));
    const Qt::WindowFlags flags = bar.windowFlags();
    QVERIFY(flags & Qt::FramelessWindowHint);
    QVERIFY(flags & Qt::WindowStaysOnTopHint);
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
}

void StartupTest::showsTimeDateAndRedLampBeforeAnyTick() {
    AppRig rig;
    rig.clock.setNow({2024, 5, 0, 1, 9, 5, 7, 0});
    TForm1 bar(rig.context());
    QCOMPARE(bar.Label1->text(), QStringLiteral("9:05:07"));
    QCOMPARE(bar.Label2->text(), QString::fromUtf8("2024-05-01 星期三 "));
    QCOMPARE(bar.Panel2->palette().color(QPalette::Window), QColor(255, 0, 0));
    QCOMPARE(bar.core().status().SilentSeconds, 50);
    QCOMPARE(QString::fromStdString(bar.core().status().StatusMessage.toUtf8()),
             QString::fromUtf8("未收到标准时间码，请检查通讯连接和设置!"));
}

void StartupTest::firstStartWithoutFileUsesDefaults() {
    AppRig rig;
    TForm1 bar(rig.context());
    PopupMenu1& menu = *bar.popupMenu();

    QVERIFY(rig.boxes.shown.empty());
    QCOMPARE(checkedNames(formatItems(menu)), QStringList{"N31"});
    QCOMPARE(checkedNames(portAndBaudItems(menu)), (QStringList{"com11", "N48001"}));
    QCOMPARE(menu.N21->text(), QStringLiteral(">>... "));
    QCOMPARE(rig.setupCalls(),
             (QStringList{"sio_open 1", "sio_ioctl 1 10 3", "sio_flowctrl 1 0", "sio_DTR 1 1",
                          "sio_RTS 1 1", "sio_getbaud 1", "sio_SetWriteTimeouts 1 10"}));
    QVERIFY(rig.serial->isOpen(1));
    // Nothing is saved at start: the file appears only with the first change.
    QVERIFY(!QFile::exists(rig.configPath()));

    QCOMPARE(bar.core().ringIndices().WriteIndex, uint16_t{0});
    QCOMPARE(bar.core().ringIndices().ReadIndex, uint16_t{0});
    QVERIFY(bar.core().startupCompleted());
    QVERIFY(bar.core().receiver().running());
    QVERIFY(!bar.core().receiver().receiverStop());
    QVERIFY(rig.serial->waitForReads(2, 2s));  // the receiver polls port 1
    QVERIFY(rig.serial->readCount(1) >= 2);
}

void StartupTest::forcedValuesWinOverTheFile() {
    AppRig rig;
    StoredSettings stored = settingsWithPort(2, kBaudCode9600, 3);
    stored.clock.JumpNoCorrect = 0;
    rig.writeConfig(stored);
    TForm1 bar(rig.context());
    PopupMenu1& menu = *bar.popupMenu();

    QCOMPARE(bar.core().settings().JumpNoCorrect, uint8_t{1});
    QVERIFY(menu.N4->isChecked());
    QVERIFY(!menu.N4->isEnabled());
    QVERIFY(menu.N12->isChecked());
    QVERIFY(!menu.N18->isChecked());
    const StatusState& status = bar.core().status();
    QVERIFY(status.JumpLogEnabled && !status.CommLogEnabled && !status.MonitorActive);
    QVERIFY(status.NoSignal && status.JumpDetected && !status.CorrectNowRequested);
    QCOMPARE(checkedNames(formatItems(menu)), QStringList{"N10"});
    QCOMPARE(checkedNames(portAndBaudItems(menu)), (QStringList{"com21", "N96001"}));
    QCOMPARE(rig.setupCalls().front(), QStringLiteral("sio_open 2"));
}

void StartupTest::portAboveFourShowsOnTheDialogEntry() {
    AppRig rig;
    rig.writeConfig(settingsWithPort(9));
    TForm1 bar(rig.context());
    PopupMenu1& menu = *bar.popupMenu();

    QCOMPARE(checkedNames(portAndBaudItems(menu)), (QStringList{"N21", "N48001"}));
    QCOMPARE(menu.N21->text(), QStringLiteral(">>COM9"));
    QCOMPARE(rig.setupCalls().front(), QStringLiteral("sio_open 9"));
    QCOMPARE(bar.core().line().Port.load(), 9);
}

void StartupTest::shortFileLeavesPortBaudAndFormatAtZero() {
    AppRig rig;
    const char bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    rig.writeBytes(kConfigFileName, bytes, sizeof bytes);
    rig.serial->setResult(SerialCall::Open, 0, 2);  // port 0 does not exist
    TForm1 bar(rig.context());
    PopupMenu1& menu = *bar.popupMenu();

    QCOMPARE(checkedNames(formatItems(menu)), QStringList{});
    QCOMPARE(checkedNames(portAndBaudItems(menu)), QStringList{"N21"});
    QCOMPARE(menu.N21->text(), QStringLiteral(">>COM0"));
    QCOMPARE(rig.setupCalls().front(), QStringLiteral("sio_open 0"));
    QCOMPARE(bar.core().line().BaudCode, 0);
    QCOMPARE(bar.core().settings().CodeFormat, uint8_t{0});
    // Start-up goes on whatever the open gave.
    QVERIFY(bar.core().startupCompleted());
    QVERIFY(bar.core().receiver().running());
}

void StartupTest::unopenableFileEndsStartUpAfterTheWarning() {
    AppRig rig;
    QVERIFY(QDir(rig.dir.path()).mkdir(kConfigFileName));  // exists, cannot be opened as a file
    TForm1 bar(rig.context());

    QCOMPARE(rig.boxes.shown.size(), size_t{1});
    QCOMPARE(rig.boxes.shown[0].kind, Kind::Warning);
    QCOMPARE(rig.boxes.shown[0].text, std::string("File access error"));
    QVERIFY(rig.serial->calls().empty());  // no port opened, no receiver polling
    QVERIFY(!bar.core().startupCompleted());
    QVERIFY(!bar.core().receiver().running());
    QCOMPARE(checkedNames(formatItems(*bar.popupMenu())), QStringList{});
    QCOMPARE(checkedNames(portAndBaudItems(*bar.popupMenu())), QStringList{});

    // The bar still shows the time and ticks with the red lamp.
    QCOMPARE(bar.Label1->text(), QStringLiteral("12:00:00"));
    rig.clock.advanceSeconds(1);
    QVERIFY(processEventsUntil([&] { return bar.Label1->text() == "12:00:01"; }));
    QCOMPARE(bar.Panel2->palette().color(QPalette::Window), QColor(255, 0, 0));
    QCOMPARE(rig.serial->readCount(), 0L);
}

void StartupTest::closingAfterAnUnopenableFileStopsNothingButTheFlag() {
    AppRig rig;
    QVERIFY(QDir(rig.dir.path()).mkdir(kConfigFileName));
    TForm1 bar(rig.context());
    bar.show();
    QVERIFY(bar.close());
    QVERIFY(bar.core().receiver().receiverStop());
    QVERIFY(!bar.isVisible());
}

void StartupTest::portThatCannotBeOpenedIsReportedAndTheProgramRunsOn() {
    AppRig rig;
    rig.serial->setResult(SerialCall::Open, 1, 2);
    TForm1 bar(rig.context());

    // The open's error box, then PortSet's own on the port that is not open.
    QCOMPARE(
        shownTexts(rig.boxes),
        (QStringList{QString::fromUtf8("串口打开失败！原因是串口不存在或者串口已被其他程序占用！"),
                     QString::fromUtf8("通讯参数设置错误！")}));
    QCOMPARE(rig.boxes.shown[0].kind, Kind::Error);
    QCOMPARE(rig.boxes.shown[0].caption, std::string("错误"));
    QCOMPARE(rig.setupCalls(), (QStringList{"sio_open 1", "sio_ioctl 1 10 3", "sio_close 1"}));
    QVERIFY(bar.core().status().NoSignal);
    QVERIFY(bar.core().receiver().running());
    QVERIFY(rig.serial->waitForReads(1, 2s));

    // The tick goes on: time, red lamp, and a PC time frame offered to the port every second.
    const auto frameWrites = [&] {
        int count = 0;
        for (const auto& record : rig.serial->calls()) {
            if (record.call == SerialCall::Write && record.port == 1 && record.args[0] == 12) {
                ++count;
            }
        }
        return count;
    };
    QVERIFY(processEventsUntil([&] { return frameWrites() == 1; }));
    rig.clock.advanceSeconds(1);
    QVERIFY(processEventsUntil([&] { return frameWrites() == 2; }));
    QCOMPARE(bar.Label1->text(), QStringLiteral("12:00:01"));
    QCOMPARE(bar.Panel2->palette().color(QPalette::Window), QColor(255, 0, 0));
    QTest::qWait(20);  // many more timer events within the same second send nothing
    QCOMPARE(frameWrites(), 2);
}

void StartupTest::failingPortSetClosesThePortAndStartsTheReceiver() {
    AppRig rig;
    rig.serial->setResult(SerialCall::Dtr, 1, 5);
    TForm1 bar(rig.context());

    QCOMPARE(shownTexts(rig.boxes), QStringList{QString::fromUtf8("DTR设置失败！")});
    QVERIFY(!rig.serial->isOpen(1));
    QCOMPARE(rig.setupCalls().back(), QStringLiteral("sio_close 1"));
    QVERIFY(bar.core().status().NoSignal);
    QVERIFY(bar.core().startupCompleted());
    QVERIFY(bar.core().receiver().running());
}

void StartupTest::doubleClickRightAfterStartUpShowsNoSignalMessage() {
    AppRig rig;
    TForm1 bar(rig.context());
    bar.show();
    QTest::mouseDClick(bar.Label2, Qt::LeftButton);
    QCOMPARE(rig.boxes.shown.size(), size_t{1});
    QCOMPARE(rig.boxes.shown[0].kind, Kind::Plain);
    QCOMPARE(rig.boxes.shown[0].caption, std::string("ZRQ"));
    QCOMPARE(QString::fromStdString(rig.boxes.shown[0].text),
             QString::fromUtf8("未收到标准时间码，请检查通讯连接和设置!"));
}

QTEST_MAIN(StartupTest)
#include "startup_qtest.moc"
