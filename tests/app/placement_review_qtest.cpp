// Placement when the primary screen is not at the desktop's origin: a second screen on its left
// and the primary one lower down. The bar goes to the primary screen's own top right.
// (The offscreen platform takes the screen whose name sorts first as the primary one.)
#include <QApplication>
#include <QScreen>
#include <QTest>

#include "app_test_support.h"

using namespace zrq;
using namespace zrq::testing;

class PlacementTest : public QObject {
    Q_OBJECT
private slots:
    void barStandsAtTheTopRightOfThePrimaryScreen();
};

void PlacementTest::barStandsAtTheTopRightOfThePrimaryScreen() {
    QCOMPARE(QGuiApplication::primaryScreen()->geometry(), QRect(1280, 100, 1920, 1080));
    AppRig rig;
    TForm1 bar(rig.context());
    // 1280 + 1920 - 185 - 80, and the primary screen's top edge.
    QCOMPARE(bar.pos(), QPoint(2935, 100));
    QCOMPARE(QGuiApplication::screenAt(bar.geometry().center()), QGuiApplication::primaryScreen());
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            "offscreen:configfile=" ZRQ_SOURCE_DIR "/tests/app/screens_side_by_side.json");
    QApplication app(argc, argv);
    PlacementTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "placement_review_qtest.moc"
