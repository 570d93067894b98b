// Received data through the real receiver thread and the blocking hand-off to the user-interface
// thread, the windows the handler writes to, and shutdown while a hand-off is pending.
#include <QFrame>
#include <QPalette>
#include <QTest>

#include <atomic>
#include <thread>

#include "app/program_windows.h"
#include "app_test_support.h"

using namespace zrq;
using namespace zrq::testing;

namespace {

// The TVZ_CODE frame of 2024-05-01 (a Wednesday) 12:00:00, the fake clock's start.
const std::vector<uint8_t> kFrameAtStart = {0xAA, 0x00, 0x24, 0x05, 0x01, 0x03, 0x12, 0x00, 0x00};

// Waits, without dispatching events, until the receiver has taken every queued chunk: it is then
// in its hand-off (or past it) and the hand-off waits for this thread.
bool waitUntilReadAway(AppRig& rig, int port) {
    return rig.serial->waitUntil([&] { return rig.serial->pendingChunks(port) == 0; }, 2s);
}

}  // namespace

class ReceiverTest : public QObject {
    Q_OBJECT
private slots:
    void frameReachesTheHandlerOnTheUserInterfaceThread();
    void goodFrameTurnsTheLampGreenAtTheNextSecond();
    void handlerWritesToTheMonitorWindowOnceAllWindowsExist();
    void chunkWaitsForTheEventLoop();
    void closeWithAPendingHandOffReturnsAndHandlesNothingMore();
    void destroyingTheWindowsWithAPendingHandOffReturns();
    void boxShownByTheHandlerDoesNotStopReception();
};

void ReceiverTest::frameReachesTheHandlerOnTheUserInterfaceThread() {
    AppRig rig;
    TForm1 bar(rig.context());
    rig.serial->queueRead(1, kFrameAtStart);
    QVERIFY(processEventsUntil([&] { return bar.core().chunksHandled() == 1; }));

    // The bytes went into the receiver's ring behind WriteIndex 0, and the search moved on.
    const Tcomm& receiver = bar.core().receiver();
    for (size_t i = 0; i < kFrameAtStart.size(); ++i) {
        QCOMPARE(receiver.ring[1 + i], kFrameAtStart[i]);
    }
    QCOMPARE(bar.core().ringIndices().WriteIndex, uint16_t{9});
    QCOMPARE(bar.core().status().SilentSeconds, 0);
    QVERIFY(!bar.core().status().JumpDetected);
}

void ReceiverTest::goodFrameTurnsTheLampGreenAtTheNextSecond() {
    AppRig rig;
    TForm1 bar(rig.context());
    rig.serial->queueRead(1, kFrameAtStart);
    QVERIFY(processEventsUntil([&] { return bar.core().chunksHandled() == 1; }));
    rig.clock.advanceSeconds(1);
    QVERIFY(processEventsUntil(
        [&] { return bar.Panel2->palette().color(QPalette::Window) == QColor(0, 128, 0); }));
    bar.Panel2DblClick();
    QCOMPARE(shownTexts(rig.boxes), QStringList{QString::fromUtf8("工作正常！")});
}

void ReceiverTest::handlerWritesToTheMonitorWindowOnceAllWindowsExist() {
    AppRig rig;
    ProgramWindows windows(rig.context());
    windows.bar().core().observe(true);
    rig.serial->queueRead(1, kFrameAtStart);
    QVERIFY(processEventsUntil([&] { return windows.bar().core().chunksHandled() == 1; }));
    QCOMPARE(windows.monitorWindow().lines().size(), size_t{1});
}

void ReceiverTest::chunkWaitsForTheEventLoop() {
    AppRig rig;
    TForm1 bar(rig.context());
    rig.serial->queueRead(1, kFrameAtStart);
    QVERIFY(waitUntilReadAway(rig, 1));
    const long readsAtHandOff = rig.serial->readCount(1);
    QTest::qSleep(50);
    // Blocked in the hand-off: no further read, nothing handled yet.
    QCOMPARE(rig.serial->readCount(1), readsAtHandOff);
    QCOMPARE(bar.core().chunksHandled(), 0L);
    QVERIFY(processEventsUntil([&] { return bar.core().chunksHandled() == 1; }));
    QVERIFY(rig.serial->waitUntil([&] { return rig.serial->readCount(1) > readsAtHandOff; }, 2s));
}

void ReceiverTest::closeWithAPendingHandOffReturnsAndHandlesNothingMore() {
    AppRig rig;
    TForm1 bar(rig.context());
    bar.show();
    rig.serial->queueRead(1, kFrameAtStart);
    QVERIFY(waitUntilReadAway(rig, 1));
    QTest::qSleep(20);  // let the receiver get into its hand-off

    QVERIFY(bar.close());  // would hang here if it joined a receiver waiting for this thread
    QVERIFY(!bar.core().receiver().running());
    QVERIFY(bar.core().receiver().receiverStop());
    QCOMPARE(bar.core().chunksHandled(), 0L);

    const long readsAfterClose = rig.serial->readCount();
    rig.serial->queueRead(1, kFrameAtStart);
    QTest::qWait(50);
    QCOMPARE(rig.serial->readCount(), readsAfterClose);
    QCOMPARE(bar.core().chunksHandled(), 0L);
}

void ReceiverTest::destroyingTheWindowsWithAPendingHandOffReturns() {
    AppRig rig;
    auto windows = std::make_unique<ProgramWindows>(rig.context());
    windows->bar().core().observe(true);
    rig.serial->queueRead(1, kFrameAtStart);
    QVERIFY(waitUntilReadAway(rig, 1));
    QTest::qSleep(20);
    windows.reset();
    // Nothing to assert beyond getting here: a handled chunk would have used destroyed windows.
    QCOMPARE(rig.serial->pendingChunks(1), size_t{0});
}

void ReceiverTest::boxShownByTheHandlerDoesNotStopReception() {
    AppRig rig;
    TForm1 bar(rig.context());
    bar.core().setCommLog(true);
    // The communication log goes into the working directory; a directory where the day's file
    // should be makes every entry fail to open.
    QVERIFY(QDir(rig.dir.path())
                .mkdir(QString::fromStdString(EventLog::fileName(kCommunicationLog, startTime()))));
    rig.serial->queueRead(1, kFrameAtStart);
    QVERIFY(processEventsUntil([&] { return bar.core().chunksHandled() == 1; }));
    QVERIFY(!rig.boxes.shown.empty());
    QCOMPARE(rig.boxes.shown.front().text, std::string("File access error"));

    rig.serial->queueRead(1, kFrameAtStart);
    QVERIFY(processEventsUntil([&] { return bar.core().chunksHandled() == 2; }));
}

QTEST_MAIN(ReceiverTest)
#include "receiver_qtest.moc"
