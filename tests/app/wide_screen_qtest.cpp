// Placement on a 1024-pixel-wide primary screen, as the toolkit reports it: the offscreen
// platform is given a screen of that width before the application starts.
#include <QApplication>
#include <QScreen>
#include <QTest>

#include "app_test_support.h"

using namespace zrq;
using namespace zrq::testing;

class WideScreenTest : public QObject {
    Q_OBJECT
private slots:
    void barLeftEdgeIsAt759AndTopAt0();
};

void WideScreenTest::barLeftEdgeIsAt759AndTopAt0() {
    QCOMPARE(QGuiApplication::primaryScreen()->geometry().width(), 1024);
    AppRig rig;
    TForm1 bar(rig.context());  // no width given: the primary screen's is used
    QCOMPARE(bar.pos(), QPoint(759, 0));
    bar.show();
    QCOMPARE(bar.geometry(), QRect(759, 0, 185, 17));
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            "offscreen:configfile=" ZRQ_SOURCE_DIR "/tests/app/screen_1024.json");
    QApplication app(argc, argv);
    WideScreenTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "wide_screen_qtest.moc"
