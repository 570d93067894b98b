// The pop-up menu: its 28 entries, and the switches, log switches and exit chosen through it,
// with the messages, check marks, receiver hold and saved file each leaves behind.
#include <QTest>

#include "app_test_support.h"

using namespace zrq;
using namespace zrq::testing;

namespace {

struct EntryRow {
    const char* name;     // objectName; "" for a separator
    const char* caption;  // UTF-8
    int tag;
    int group;
    MenuEntryKind kind;
    bool checked;
    bool enabled;
    bool visible;
};

constexpr MenuEntryKind R = MenuEntryKind::Radio;
constexpr MenuEntryKind C = MenuEntryKind::Check;
constexpr MenuEntryKind X = MenuEntryKind::Command;
constexpr MenuEntryKind S = MenuEntryKind::Separator;

// The menu as created, before start-up sets the format, port and baud marks.
const EntryRow kDesignEntries[kPopupMenuEntryCount] = {
    {"N31", "TVZ_CODE", 1, 1, R, false, true, true},
    {"N11", "EB_CODE", 2, 1, R, false, true, true},
    {"N10", "ST_CODE", 3, 1, R, false, true, true},
    {"", "", 0, 1, S, false, true, true},
    {"com11", "COM1", 1, 2, C, false, true, true},
    {"com21", "COM2", 2, 2, C, false, true, true},
    {"com31", "COM3", 3, 2, C, false, true, true},
    {"com41", "COM4", 4, 2, C, false, true, true},
    {"N21", ">>... ", 0, 2, C, false, true, true},
    {"", "", 0, 2, S, false, true, true},
    {"N48001", "4800", 10, 3, C, false, true, true},
    {"N96001", "9600", 12, 3, C, false, true, true},
    {"", "", 0, 5, S, false, true, true},
    {"N6", "立即校正", 0, 5, X, false, true, true},
    {"", "", 0, 5, S, false, true, true},
    {"N16", "通讯观测>>", 0, 5, X, false, true, true},
    {"N3", "校时设置>>", 0, 5, X, false, true, true},
    {"", "", 0, 5, S, false, true, true},
    {"N4", "跳动不校时", 0, 6, C, true, false, true},
    {"N12", "跳动记录", 0, 6, C, true, true, true},
    {"N18", "通讯记录", 0, 6, C, false, true, true},
    {"", "", 0, 6, S, false, true, true},
    {"N15", "ZEQU帮助", 0, 6, X, false, true, true},
    {"About1", "关于软件>>", 0, 7, X, false, true, true},
    {"", "", 0, 7, S, false, true, true},
    {"N20", "恢复显示条", 0, 7, X, false, true, false},
    {"N19", "缩至任务栏", 0, 7, X, false, true, true},
    {"N8", "关闭退出", 0, 8, X, false, true, true},
};

QString utf8(const char* text) { return QString::fromUtf8(text); }

}  // namespace

class MenuTest : public QObject {
    Q_OBJECT
private slots:
    void hasAllEntriesInOrderWithTheirDesignStates();
    void onlyTheFormatEntriesExcludeEachOther();

    void portSwitchToAnotherMenuPort();
    void portSwitchToThePortInUseReopensIt();
    void portSwitchToMissingPortFallsBackAndSaves();
    void portSwitchWhoseFallbackFailsHoldsTheReceiverUntilALaterSwitch();
    void portSwitchWithFailingPortSetRestoresThePort();
    void portSwitchFallingBackToAPortAboveFourKeepsTheDialogEntry();
    void baudSwitchTo9600();
    void baudSwitchWithFailingPortSetKeepsTheNewRateUnsaved();
    void formatSwitchToEbCodeEndsAt9600WithIndicesOne();
    void formatSwitchWhoseSaveFailsStillResetsAndReleases();

    void correctNowSetsTheRequestOnly();
    void logSwitchesToggleFlagAndMark();
    void exitClosesTheBar();
};

void MenuTest::hasAllEntriesInOrderWithTheirDesignStates() {
    PopupMenu1 menu;
    const QList<QAction*> entries = menu.actions();
    QCOMPARE(entries.size(), kPopupMenuEntryCount);
    for (int i = 0; i < kPopupMenuEntryCount; ++i) {
        const EntryRow& row = kDesignEntries[i];
        const QAction* entry = entries[i];
        const QByteArray where = "entry " + QByteArray::number(i + 1);
        QVERIFY2(PopupMenu1::kindOf(entry) == row.kind, where);
        QVERIFY2(entry->isSeparator() == (row.kind == S), where);
        QVERIFY2(PopupMenu1::groupOf(entry) == row.group, where);
        if (row.kind == S) continue;
        QVERIFY2(entry->objectName() == QLatin1String(row.name), where);
        QVERIFY2(entry->text() == utf8(row.caption), where + " " + entry->text().toUtf8());
        QVERIFY2(PopupMenu1::tagOf(entry) == row.tag, where);
        QVERIFY2(entry->isCheckable() == (row.kind != X), where);
        QVERIFY2(entry->isChecked() == row.checked, where);
        // The toolkit disables every hidden entry; only a shown one can say what it is.
        if (row.visible) QVERIFY2(entry->isEnabled() == row.enabled, where);
        QVERIFY2(entry->isVisible() == row.visible, where);
    }
}

void MenuTest::onlyTheFormatEntriesExcludeEachOther() {
    PopupMenu1 menu;
    menu.N31->setChecked(true);
    menu.N10->setChecked(true);
    QCOMPARE(checkedNames(formatItems(menu)), QStringList{"N10"});
    menu.com11->setChecked(true);
    menu.com21->setChecked(true);
    menu.N48001->setChecked(true);
    menu.N96001->setChecked(true);
    QCOMPARE(checkedNames(portAndBaudItems(menu)),
             (QStringList{"com11", "com21", "N48001", "N96001"}));
}

void MenuTest::portSwitchToAnotherMenuPort() {
    AppRig rig;
    TForm1 bar(rig.context());
    rig.serial->clearCalls();
    bar.popupMenu()->com21->trigger();

    QVERIFY(rig.boxes.shown.empty());
    QCOMPARE(rig.setupCalls(),
             (QStringList{"sio_close 1", "sio_flush 1 0", "sio_open 2", "sio_ioctl 2 10 3",
                          "sio_flowctrl 2 0", "sio_DTR 2 1", "sio_RTS 2 1", "sio_getbaud 2",
                          "sio_SetWriteTimeouts 2 10"}));
    QCOMPARE(checkedNames(portAndBaudItems(*bar.popupMenu())), (QStringList{"com21", "N48001"}));
    QVERIFY(bar.core().status().NoSignal);
    QVERIFY(!bar.core().receiver().receiverStop());
    QVERIFY(rig.storedConfig().has_value());
    QCOMPARE(rig.storedConfig()->port, 2);
    // The receiver polls the new port.
    QVERIFY(rig.serial->waitUntil([&] { return rig.serial->readCount(2) > 0; }, 2s));
}

void MenuTest::portSwitchToThePortInUseReopensIt() {
    AppRig rig;
    TForm1 bar(rig.context());
    rig.serial->clearCalls();
    bar.popupMenu()->com11->trigger();

    QCOMPARE(rig.setupCalls().mid(0, 3),
             (QStringList{"sio_close 1", "sio_flush 1 0", "sio_open 1"}));
    QCOMPARE(checkedNames(portAndBaudItems(*bar.popupMenu())), (QStringList{"com11", "N48001"}));
    QVERIFY(rig.serial->isOpen(1));
    QCOMPARE(rig.storedConfig()->port, 1);
}

void MenuTest::portSwitchToMissingPortFallsBackAndSaves() {
    AppRig rig;
    rig.serial->setResult(SerialCall::Open, 3, 2);
    TForm1 bar(rig.context());
    rig.serial->clearCalls();
    bar.popupMenu()->com31->trigger();

    QCOMPARE(shownTexts(rig.boxes), QStringList{utf8("所改端口不能打开！系统采用原来端口！")});
    QCOMPARE(rig.boxes.shown[0].kind, Kind::Plain);
    QCOMPARE(rig.setupCalls().mid(0, 6),
             (QStringList{"sio_close 1", "sio_flush 1 0", "sio_open 3", "sio_close 3", "sio_open 1",
                          "sio_ioctl 1 10 3"}));
    // The clicked entry does not keep the mark its click gave it.
    QCOMPARE(checkedNames(portAndBaudItems(*bar.popupMenu())), (QStringList{"com11", "N48001"}));
    QVERIFY(!bar.core().receiver().receiverStop());
    QCOMPARE(rig.storedConfig()->port, 1);
}

void MenuTest::portSwitchWhoseFallbackFailsHoldsTheReceiverUntilALaterSwitch() {
    AppRig rig;
    rig.serial->setResult(SerialCall::Open, 3, 2);
    rig.serial->queueResults(SerialCall::Open, 1, {0, 2});  // opens at start, not again
    TForm1 bar(rig.context());
    bar.popupMenu()->com31->trigger();

    QCOMPARE(shownTexts(rig.boxes),
             (QStringList{utf8("所改端口不能打开！系统采用原来端口！"), utf8("端口不能打开!")}));
    QVERIFY(!rig.serial->isOpen(1) && !rig.serial->isOpen(3));
    QVERIFY(bar.core().receiver().receiverStop());
    QVERIFY(bar.core().status().NoSignal);
    QVERIFY(!QFile::exists(rig.configPath()));
    QCOMPARE(checkedNames(portAndBaudItems(*bar.popupMenu())), (QStringList{"com11", "N48001"}));

    // Held: no reads while nothing is released.
    const long readsWhileHeld = rig.serial->readCount();
    QTest::qWait(50);
    QCOMPARE(rig.serial->readCount(), readsWhileHeld);

    bar.popupMenu()->com21->trigger();
    QVERIFY(!bar.core().receiver().receiverStop());
    QCOMPARE(checkedNames(portAndBaudItems(*bar.popupMenu())), (QStringList{"com21", "N48001"}));
    QCOMPARE(rig.storedConfig()->port, 2);
    QVERIFY(rig.serial->waitUntil([&] { return rig.serial->readCount(2) > 0; }, 2s));
}

void MenuTest::portSwitchWithFailingPortSetRestoresThePort() {
    AppRig rig;
    rig.serial->setResult(SerialCall::Ioctl, 2, 1);
    TForm1 bar(rig.context());
    bar.popupMenu()->com21->trigger();

    QCOMPARE(shownTexts(rig.boxes),
             (QStringList{utf8("通讯参数设置错误！"), utf8("端口无效或已经被占用！请重新设置。")}));
    QCOMPARE(rig.boxes.shown[0].kind, Kind::Error);
    QCOMPARE(rig.boxes.shown[1].kind, Kind::Plain);
    QCOMPARE(bar.core().line().Port.load(), 1);
    QVERIFY(!rig.serial->isOpen(2));
    QVERIFY(bar.core().receiver().receiverStop());
    QVERIFY(!QFile::exists(rig.configPath()));
    QCOMPARE(checkedNames(portAndBaudItems(*bar.popupMenu())), (QStringList{"com11", "N48001"}));
}

void MenuTest::portSwitchFallingBackToAPortAboveFourKeepsTheDialogEntry() {
    AppRig rig;
    rig.writeConfig(settingsWithPort(9));
    rig.serial->setResult(SerialCall::Open, 2, 2);
    TForm1 bar(rig.context());
    bar.popupMenu()->com21->trigger();

    QCOMPARE(shownTexts(rig.boxes), QStringList{utf8("所改端口不能打开！系统采用原来端口！")});
    QCOMPARE(bar.core().line().Port.load(), 9);
    QCOMPARE(checkedNames(portAndBaudItems(*bar.popupMenu())), (QStringList{"N21", "N48001"}));
    QCOMPARE(bar.popupMenu()->N21->text(), QStringLiteral(">>COM9"));
    QCOMPARE(rig.storedConfig()->port, 9);
}

void MenuTest::baudSwitchTo9600() {
    AppRig rig;
    TForm1 bar(rig.context());
    rig.serial->clearCalls();
    bar.popupMenu()->N96001->trigger();

    QVERIFY(rig.boxes.shown.empty());
    QCOMPARE(rig.setupCalls().mid(0, 4),
             (QStringList{"sio_close 1", "sio_flush 1 0", "sio_open 1", "sio_ioctl 1 12 3"}));
    QCOMPARE(checkedNames(portAndBaudItems(*bar.popupMenu())), (QStringList{"com11", "N96001"}));
    QCOMPARE(rig.storedConfig()->baudCode, 12);
    QVERIFY(!bar.core().receiver().receiverStop());
}

void MenuTest::baudSwitchWithFailingPortSetKeepsTheNewRateUnsaved() {
    AppRig rig;
    rig.serial->queueResults(SerialCall::Ioctl, 1, {0, 1});  // applies at start, fails next
    TForm1 bar(rig.context());
    bar.popupMenu()->N96001->trigger();

    QCOMPARE(shownTexts(rig.boxes), (QStringList{utf8("通讯参数设置错误！"),
                                                 utf8("端口设置无效或已经被占用！请重新设置。")}));
    QCOMPARE(bar.core().line().BaudCode, 12);
    QVERIFY(!QFile::exists(rig.configPath()));
    QCOMPARE(checkedNames(portAndBaudItems(*bar.popupMenu())), (QStringList{"com11", "N48001"}));
    QVERIFY(bar.core().receiver().receiverStop());
}

void MenuTest::formatSwitchToEbCodeEndsAt9600WithIndicesOne() {
    AppRig rig;
    TForm1 bar(rig.context());
    const std::vector<uint8_t> noise(5, 0x00);  // moves the ring's indices off their start
    RingStorage unused{};
    bar.core().handleReceivedData(ReceivedChunk{noise, unused, std::nullopt});
    QCOMPARE(bar.core().ringIndices().WriteIndex, uint16_t{5});
    bar.popupMenu()->N11->trigger();

    QVERIFY(rig.boxes.shown.empty());
    QCOMPARE(checkedNames(formatItems(*bar.popupMenu())), QStringList{"N11"});
    QCOMPARE(checkedNames(portAndBaudItems(*bar.popupMenu())), (QStringList{"com11", "N96001"}));
    QCOMPARE(bar.core().settings().CodeFormat, uint8_t{EB_CODE});
    QCOMPARE(bar.core().line().BaudCode, 12);
    QCOMPARE(bar.core().ringIndices().WriteIndex, uint16_t{1});
    QCOMPARE(bar.core().ringIndices().ReadIndex, uint16_t{1});
    QVERIFY(!bar.core().receiver().receiverStop());
    const auto stored = rig.storedConfig();
    QVERIFY(stored.has_value());
    QCOMPARE(stored->clock.CodeFormat, uint8_t{EB_CODE});
    QCOMPARE(stored->baudCode, 12);

    bar.popupMenu()->N31->trigger();
    QCOMPARE(checkedNames(formatItems(*bar.popupMenu())), QStringList{"N31"});
    QCOMPARE(rig.storedConfig()->baudCode, 10);
}

void MenuTest::formatSwitchWhoseSaveFailsStillResetsAndReleases() {
    AppRig rig;
    TForm1 bar(rig.context());
    // The working directory turns into a regular file: every save now fails.
    QVERIFY(QDir(rig.dir.path()).removeRecursively());
    QFile blocker(rig.dir.path());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const std::vector<uint8_t> noise(5, 0x00);  // moves the ring's indices off their start
    RingStorage unused{};
    bar.core().handleReceivedData(ReceivedChunk{noise, unused, std::nullopt});
    QCOMPARE(bar.core().ringIndices().WriteIndex, uint16_t{5});
    bar.popupMenu()->N10->trigger();

    QVERIFY(!rig.boxes.shown.empty());
    QCOMPARE(rig.boxes.shown.back().kind, Kind::GeneralError);
    QCOMPARE(bar.core().ringIndices().WriteIndex, uint16_t{1});
    QCOMPARE(bar.core().ringIndices().ReadIndex, uint16_t{1});
    QVERIFY(!bar.core().receiver().receiverStop());
    QCOMPARE(bar.core().settings().CodeFormat, uint8_t{ST_CODE});
    QFile::remove(rig.dir.path());
}

void MenuTest::correctNowSetsTheRequestOnly() {
    AppRig rig;
    TForm1 bar(rig.context());
    StatusState expected = bar.core().status();
    expected.CorrectNowRequested = true;
    bar.popupMenu()->N6->trigger();
    bar.popupMenu()->N6->trigger();  // again before any correction: no change
    const StatusState& status = bar.core().status();
    QVERIFY(status.CorrectNowRequested);
    QCOMPARE(status.JumpLogEnabled, expected.JumpLogEnabled);
    QCOMPARE(status.CommLogEnabled, expected.CommLogEnabled);
    QCOMPARE(status.MonitorActive, expected.MonitorActive);
    QCOMPARE(status.NoSignal, expected.NoSignal);
    QVERIFY(rig.boxes.shown.empty());
    QVERIFY(rig.setupCalls().size() == 7);  // start-up's own calls only
}

void MenuTest::logSwitchesToggleFlagAndMark() {
    AppRig rig;
    TForm1 bar(rig.context());
    PopupMenu1& menu = *bar.popupMenu();

    menu.N12->trigger();
    QVERIFY(!bar.core().status().JumpLogEnabled);
    QVERIFY(!menu.N12->isChecked());
    menu.N12->trigger();
    QVERIFY(bar.core().status().JumpLogEnabled);
    QVERIFY(menu.N12->isChecked());

    menu.N18->trigger();
    QVERIFY(bar.core().status().CommLogEnabled);
    QVERIFY(menu.N18->isChecked());

    // Not saved: nothing is written, and a new start has the jump log on and the other off.
    QVERIFY(!QFile::exists(rig.configPath()));
    menu.N4->trigger();  // disabled: stays checked
    QVERIFY(menu.N4->isChecked());
}

void MenuTest::exitClosesTheBar() {
    AppRig rig;
    int quits = 0;
    AppContext context = rig.context();
    context.quitApplication = [&] { ++quits; };
    TForm1 bar(context);
    bar.show();
    bar.popupMenu()->N8->trigger();

    QVERIFY(!bar.isVisible());
    QCOMPARE(quits, 1);
    QVERIFY(bar.core().receiver().receiverStop());
    QVERIFY(!bar.core().receiver().running());
    QVERIFY(rig.boxes.shown.empty());
}

QTEST_MAIN(MenuTest)
#include "menu_qtest.moc"
