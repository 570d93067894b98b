// The port dialog: list lines from the port listing, click parsing into SpinEdit1, and what
// "使用" and "返回" do with the dialog.
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/message_boxes.h"
#include "dialogs/port_dialog.h"
#include "tests/support/recording_boxes.h"

using Ports = std::vector<std::pair<std::string, std::string>>;

class PortDialogTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listShowsOneLinePerPortAndIsRebuiltAtActivation();
    void clickingALineSetsThePortNumber_data();
    void clickingALineSetsThePortNumber();
    void movingThroughTheListWithTheKeysCountsAsAClick();
    void useThatSucceedsClosesTheDialog();
    void useThatFailsStaysOpenWithTheNumber();
    void useWhoseSaveFailsReportsAndStaysOpen();
    void typedPortIsClampedBeforeUse();
    void returnChangesNothing();
    void portNumberIsKeptBetweenOpenings();

private:
    QListWidget* list() { return dialog->findChild<QListWidget*>("ListBox1"); }
    QSpinBox* spin() { return dialog->findChild<QSpinBox*>("SpinEdit1"); }
    void click(const char* name) { dialog->findChild<QPushButton*>(name)->click(); }
    void open() {
        dialog->show();
        dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
    }
    void clickLine(int row) {
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {},
                          list()->visualItemRect(list()->item(row)).center());
    }
    QStringList lines() {
        QStringList texts;
        for (int i = 0; i < list()->count(); ++i) texts << list()->item(i)->text();
        return texts;
    }

    Ports ports;
    std::vector<int> switchRequests;
    bool switchSucceeds = true;
    bool saveFails = false;
    zrq::RecordingMessageBoxes boxes;
    std::unique_ptr<zrq::TForm4> dialog;
};

void PortDialogTest::init() {
    ports = {{"/dev/ttyS0", "COM1"}, {"/dev/ttyUSB0", "COM33"}};
    switchRequests.clear();
    switchSucceeds = true;
    saveFails = false;
    boxes = zrq::RecordingMessageBoxes{};
    dialog = std::make_unique<zrq::TForm4>([this] { return ports; },
                                           [this](int port) {
                                               switchRequests.push_back(port);
                                               if (saveFails)
                                                   throw zrq::FileError("Read-only file system");
                                               return switchSucceeds;
                                           },
                                           boxes);
}

void PortDialogTest::cleanup() { dialog.reset(); }

void PortDialogTest::listShowsOneLinePerPortAndIsRebuiltAtActivation() {
    open();
    QCOMPARE(lines(), (QStringList{"COM1....../dev/ttyS0", "COM33....../dev/ttyUSB0"}));

    ports = {{"/dev/ttyACM0", "COM65"}};
    dialog->close();
    open();
    QCOMPARE(lines(), (QStringList{"COM65....../dev/ttyACM0"}));

    ports.clear();  // nothing to list: the number can still be typed
    dialog->close();
    open();
    QCOMPARE(list()->count(), 0);
}

void PortDialogTest::clickingALineSetsThePortNumber_data() {
    QTest::addColumn<QString>("portName");
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("expected");  // 5 is the number before the click
    QTest::newRow("COM12") << "COM12"
                           << "/dev/ttyUSB7" << 12;
    QTest::newRow("device does not matter") << "COM12"
                                            << "/dev/COM99" << 12;
    QTest::newRow("COM200 clamps") << "COM200"
                                   << "/dev/x" << 128;
    QTest::newRow("COM0 clamps") << "COM0"
                                 << "/dev/x" << 1;
    QTest::newRow("three characters") << "COM"
                                      << "/dev/ttyS0" << 5;
    QTest::newRow("32 characters") << "COM" + QString(29, QLatin1Char('7')) << "/dev/x" << 5;
    QTest::newRow("letters") << "COMX"
                             << "/dev/x" << 5;
}

void PortDialogTest::clickingALineSetsThePortNumber() {
    QFETCH(QString, portName);
    QFETCH(QString, device);
    QFETCH(int, expected);
    ports = {{device.toStdString(), portName.toStdString()}};
    spin()->setValue(5);
    open();
    clickLine(0);
    QCOMPARE(spin()->value(), expected);
    QVERIFY(switchRequests.empty());
}

void PortDialogTest::movingThroughTheListWithTheKeysCountsAsAClick() {
    open();
    clickLine(0);
    QCOMPARE(spin()->value(), 1);
    QVERIFY(list()->hasFocus());
    QTest::keyClick(list(), Qt::Key_Down);
    QCOMPARE(spin()->value(), 33);

    // A selection the program makes while the list lacks the focus is no click.
    spin()->setFocus();
    list()->setCurrentRow(0);
    QCOMPARE(spin()->value(), 33);
}

void PortDialogTest::useThatSucceedsClosesTheDialog() {
    open();
    clickLine(1);
    click("Button1");
    QCOMPARE(switchRequests, std::vector<int>{33});
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
}

void PortDialogTest::useThatFailsStaysOpenWithTheNumber() {
    switchSucceeds = false;
    open();
    spin()->setValue(7);
    click("Button1");
    QCOMPARE(switchRequests, std::vector<int>{7});
    QVERIFY(dialog->isVisible());
    QCOMPARE(spin()->value(), 7);
    QVERIFY(boxes.shown.empty());
}

void PortDialogTest::useWhoseSaveFailsReportsAndStaysOpen() {
    saveFails = true;
    open();
    click("Button1");
    QCOMPARE(boxes.shown.size(), size_t(1));
    QCOMPARE(boxes.shown[0].kind, zrq::RecordingMessageBoxes::Kind::GeneralError);
    QCOMPARE(boxes.shown[0].text, std::string("Read-only file system"));
    QVERIFY(dialog->isVisible());
}

void PortDialogTest::typedPortIsClampedBeforeUse() {
    open();
    spin()->setFocus();
    spin()->selectAll();
    QTest::keyClicks(spin(), "300");
    click("Button1");
    spin()->selectAll();
    QTest::keyClick(spin(), Qt::Key_Backspace);  // no number counts as 1
    click("Button1");
    QCOMPARE(switchRequests, (std::vector<int>{128, 1}));
}

void PortDialogTest::returnChangesNothing() {
    open();
    spin()->setValue(9);
    click("Button2");
    QVERIFY(switchRequests.empty());
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
    QCOMPARE(spin()->value(), 9);
}

void PortDialogTest::portNumberIsKeptBetweenOpenings() {
    QCOMPARE(spin()->value(), 1);
    open();
    spin()->setValue(42);
    dialog->close();
    open();
    QCOMPARE(spin()->value(), 42);
}

QTEST_MAIN(PortDialogTest)
#include "port_dialog_qtest.moc"
