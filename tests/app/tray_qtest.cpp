// Hiding the bar in the tray and bringing it back: the icon with its tip, the two entries that
// swap, the menu on the icon's context request only, and the bar kept when there is no tray.
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>

#include "app/program_windows.h"
#include "app/tray.h"
#include "app_test_support.h"

using namespace zrq;
using namespace zrq::testing;

namespace {

constexpr QPoint kDraggedTo{300, 40};

struct TrayRig {
    AppRig rig;
    ProgramWindows windows{rig.context()};
    bool trayAvailable = true;

    TrayRig() {
        bar().services().trayAvailable = [this] { return trayAvailable; };
        bar().show();
        bar().move(kDraggedTo);  // the bar need not be where start-up put it
    }
    TForm1& bar() { return windows.bar(); }
    PopupMenu1& menu() { return *bar().popupMenu(); }
    QSystemTrayIcon& icon() { return *bar().tray().icon(); }
    // Which of the two tray entries the menu offers.
    QStringList trayEntriesShown() {
        QStringList shown;
        for (QAction* entry : {menu().N20, menu().N19}) {
            if (entry->isVisible()) shown << entry->objectName();
        }
        return shown;
    }
};

}  // namespace

class TrayTest : public QObject {
    Q_OBJECT
private slots:
    void hidingPutsTheIconInTheTrayAndOffersRestore();
    void onlyTheContextRequestOpensTheMenu_data();
    void onlyTheContextRequestOpensTheMenu();
    void restoringRemovesTheIconAndShowsTheBarWhereItWas();
    void theTickGoesOnInTheTray();
    void withoutATrayTheBarStaysAndTheUserIsTold();
};

void TrayTest::hidingPutsTheIconInTheTrayAndOffersRestore() {
    TrayRig t;
    QVERIFY(!t.bar().tray().iconPresent());
    QCOMPARE(t.trayEntriesShown(), QStringList{"N19"});

    t.menu().N19->trigger();
    QVERIFY(!t.bar().isVisible());
    QVERIFY(t.bar().tray().iconPresent());
    QCOMPARE(t.icon().toolTip(), QStringLiteral("Horivo"));
    QVERIFY(!t.icon().icon().isNull());
    QCOMPARE(t.trayEntriesShown(), QStringList{"N20"});
    QVERIFY(t.rig.boxes.shown.empty());
}

void TrayTest::onlyTheContextRequestOpensTheMenu_data() {
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("opensMenu");
    QTest::newRow("right button") << int(QSystemTrayIcon::Context) << true;
    QTest::newRow("left click") << int(QSystemTrayIcon::Trigger) << false;
    QTest::newRow("double-click") << int(QSystemTrayIcon::DoubleClick) << false;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << false;
}

void TrayTest::onlyTheContextRequestOpensTheMenu() {
    QFETCH(int, reason);
    QFETCH(bool, opensMenu);
    TrayRig t;
    t.menu().N19->trigger();

    emit t.icon().activated(static_cast<QSystemTrayIcon::ActivationReason>(reason));
    QCOMPARE(t.menu().isVisible(), opensMenu);
    // Nothing else moves: the bar stays in the tray.
    QVERIFY(!t.bar().isVisible());
    QVERIFY(t.bar().tray().iconPresent());
    if (opensMenu) {
        // The same menu, offering the way back.
        QCOMPARE(t.trayEntriesShown(), QStringList{"N20"});
        t.menu().hide();
    }
}

void TrayTest::restoringRemovesTheIconAndShowsTheBarWhereItWas() {
    TrayRig t;
    t.menu().N19->trigger();
    t.menu().N20->trigger();

    QVERIFY(t.bar().isVisible());
    QCOMPARE(t.bar().pos(), kDraggedTo);
    QVERIFY(!t.bar().tray().iconPresent());
    QCOMPARE(t.trayEntriesShown(), QStringList{"N19"});

    // And round again.
    t.menu().N19->trigger();
    QVERIFY(!t.bar().isVisible());
    t.menu().N20->trigger();
    QCOMPARE(t.bar().pos(), kDraggedTo);
    QVERIFY(t.rig.boxes.shown.empty());
}

void TrayTest::theTickGoesOnInTheTray() {
    TrayRig t;
    t.menu().N19->trigger();
    QVERIFY(processEventsUntil([&] { return !t.rig.serial->written(1).empty(); }));
    const std::size_t before = t.rig.serial->written(1).size();
    const QString shown = t.bar().Label1->text();
    t.rig.clock.advanceSeconds(1);
    QVERIFY(processEventsUntil([&] {
        return t.rig.serial->written(1).size() > before && t.bar().Label1->text() != shown;
    }));
}

void TrayTest::withoutATrayTheBarStaysAndTheUserIsTold() {
    TrayRig t;
    t.trayAvailable = false;
    t.menu().N19->trigger();

    QVERIFY(t.bar().isVisible());
    QCOMPARE(t.bar().pos(), kDraggedTo);
    QVERIFY(!t.bar().tray().iconPresent());
    QCOMPARE(t.trayEntriesShown(), QStringList{"N19"});
    QCOMPARE(t.rig.boxes.shown.size(), std::size_t{1});
    QVERIFY(t.rig.boxes.shown[0].kind == Kind::Plain);
    QCOMPARE(t.rig.boxes.shown[0].caption, std::string("ZRQ"));
    QCOMPARE(t.rig.boxes.shown[0].text, std::string("系统托盘不可用，显示条保持显示。"));
}

QTEST_MAIN(TrayTest)
#include "tray_qtest.moc"
