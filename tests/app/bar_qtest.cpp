// The lamp's place and edges, and the bar's mouse handling: dragging with the left button only, the
// anchor any button sets, the pop-up menu on a right-click anywhere, and the double-click message.
#include <QContextMenuEvent>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QTest>

#include "app_test_support.h"

using namespace zrq;
using namespace zrq::testing;

namespace {

void sendMouse(QWidget* control, QEvent::Type type, QPoint at, Qt::MouseButton button,
               Qt::MouseButtons held) {
    QMouseEvent event(type, QPointF(at), QPointF(control->mapToGlobal(at)), button, held,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(control, &event);
}

void press(QWidget* control, QPoint at, Qt::MouseButton button) {
    sendMouse(control, QEvent::MouseButtonPress, at, button, button);
}

void moveHolding(QWidget* control, QPoint at, Qt::MouseButtons held) {
    sendMouse(control, QEvent::MouseMove, at, Qt::NoButton, held);
}

}  // namespace

class BarTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void lampStandsAtTheFaceTopLeftWithItsThreeEdges();
    void leftButtonDragMovesTheBarWithThePointer();
    void rightButtonDragDoesNotMoveButSetsTheAnchor();
    void rightClickOnLampDateOrTimeOpensTheMenuAtThePointer_data();
    void rightClickOnLampDateOrTimeOpensTheMenuAtThePointer();
    void doubleClickShowsTheMessageOfThatMoment();

private:
    std::unique_ptr<AppRig> rig_;
    std::unique_ptr<TForm1> bar_;
};

void BarTest::init() {
    rig_ = std::make_unique<AppRig>();
    bar_ = std::make_unique<TForm1>(rig_->context());
    bar_->show();
    bar_->move(100, 100);
}

void BarTest::cleanup() {
    bar_.reset();
    rig_.reset();
}

void BarTest::lampStandsAtTheFaceTopLeftWithItsThreeEdges() {
    // Inside the face's one-pixel raised edge, clear of the bar's bottom line (row 16).
    QCOMPARE(QRect(bar_->Panel2->mapTo(bar_.get(), QPoint(0, 0)), bar_->Panel2->size()),
             QRect(1, 1, 16, 15));
    const QImage lamp = bar_->Panel2->grab().toImage();
    const QPalette palette = bar_->Panel2->palette();
    const QRgb black = qRgb(0, 0, 0);
    const QRgb dark = palette.color(QPalette::Dark).rgb();
    const QRgb light = palette.color(QPalette::Light).rgb();
    const QRgb red = qRgb(255, 0, 0);
    // Single line, lowered outer edge (dark at top left), raised inner edge (light at top left),
    // across the middle row and down the middle column.
    const QList<std::pair<int, QRgb>> across = {{0, black}, {1, dark},   {2, light}, {8, red},
                                                {13, dark}, {14, light}, {15, black}};
    for (const auto& [x, colour] : across) {
        QVERIFY2(lamp.pixel(x, 7) == colour, qPrintable(QStringLiteral("column %1").arg(x)));
    }
    const QList<std::pair<int, QRgb>> down = {{0, black}, {1, dark},   {2, light}, {7, red},
                                              {12, dark}, {13, light}, {14, black}};
    for (const auto& [y, colour] : down) {
        QVERIFY2(lamp.pixel(7, y) == colour, qPrintable(QStringLiteral("row %1").arg(y)));
    }
}

void BarTest::leftButtonDragMovesTheBarWithThePointer() {
    press(bar_->Label1, {5, 5}, Qt::LeftButton);
    QCOMPARE(bar_->dragAnchor(), QPoint(5, 5));
    moveHolding(bar_->Label1, {15, 8}, Qt::LeftButton);
    QCOMPARE(bar_->pos(), QPoint(110, 103));
    // The control moved with the bar: the pointer is at the anchor again, so moving back by the
    // same offset in the control's coordinates moves the bar back.
    moveHolding(bar_->Label1, {-5, 2}, Qt::LeftButton);
    QCOMPARE(bar_->pos(), QPoint(100, 100));
    // Off the screen is allowed.
    moveHolding(bar_->Label1, {-200, -300}, Qt::LeftButton);
    QCOMPARE(bar_->pos(), QPoint(-105, -205));
}

void BarTest::rightButtonDragDoesNotMoveButSetsTheAnchor() {
    press(bar_->Panel2, {3, 4}, Qt::RightButton);
    QCOMPARE(bar_->dragAnchor(), QPoint(3, 4));
    bar_->popupMenu()->hide();
    moveHolding(bar_->Panel2, {30, 40}, Qt::RightButton);
    moveHolding(bar_->Panel2, {30, 40}, Qt::NoButton);
    QCOMPARE(bar_->pos(), QPoint(100, 100));

    press(bar_->Label2, {2, 2}, Qt::LeftButton);
    QCOMPARE(bar_->dragAnchor(), QPoint(2, 2));
    moveHolding(bar_->Label2, {4, 6}, Qt::LeftButton);
    QCOMPARE(bar_->pos(), QPoint(102, 104));
}

void BarTest::rightClickOnLampDateOrTimeOpensTheMenuAtThePointer_data() {
    QTest::addColumn<QString>("control");
    QTest::newRow("lamp") << "Panel2";
    QTest::newRow("date") << "Label2";
    QTest::newRow("time") << "Label1";
}

void BarTest::rightClickOnLampDateOrTimeOpensTheMenuAtThePointer() {
    QFETCH(QString, control);
    auto* widget = bar_->findChild<QWidget*>(control);
    QVERIFY(widget);
    const QPoint local(3, 3);
    const QPoint global = widget->mapToGlobal(local);
    QContextMenuEvent event(QContextMenuEvent::Mouse, local, global);
    QCoreApplication::sendEvent(widget, &event);

    PopupMenu1* menu = bar_->popupMenu();
    QVERIFY(menu->isVisible());
    QCOMPARE(menu->pos().x(), global.x());
    menu->hide();
}

void BarTest::doubleClickShowsTheMessageOfThatMoment() {
    QTest::mouseDClick(bar_->Label1, Qt::LeftButton);
    // A good frame of the start's second, then the next second's tick: the message changes.
    const std::vector<uint8_t> frame = {0xAA, 0x00, 0x24, 0x05, 0x01, 0x03, 0x12, 0x00, 0x00};
    RingStorage unused{};
    bar_->core().handleReceivedData(ReceivedChunk{frame, unused, std::nullopt});
    rig_->clock.advanceSeconds(1);
    bar_->core().tick();
    QTest::mouseDClick(bar_->Panel2, Qt::LeftButton);

    QCOMPARE(rig_->boxes.shown.size(), size_t{2});
    QCOMPARE(QString::fromStdString(rig_->boxes.shown[0].text),
             QString::fromUtf8("未收到标准时间码，请检查通讯连接和设置!"));
    QCOMPARE(rig_->boxes.shown[0].caption, std::string("ZRQ"));
    QCOMPARE(QString::fromStdString(rig_->boxes.shown[1].text), QString::fromUtf8("工作正常！"));
    QCOMPARE(bar_->pos(), QPoint(100, 100));
}

QTEST_MAIN(BarTest)
#include "bar_qtest.moc"
