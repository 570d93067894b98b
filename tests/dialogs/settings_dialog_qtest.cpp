// The correction settings dialog: loading at each opening, editing the daily points, the fine
// adjustment coupling, applying per mode, cancelling and a failing save.
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

#include <memory>
#include <stdexcept>
#include <string>

#include "base/date_time_value.h"
#include "base/message_boxes.h"
#include "dialogs/settings_dialog.h"
#include "tests/support/recording_boxes.h"

using zrq::ClockSettings;
using zrq::CorrectionMode;
using zrq::RecordingMessageBoxes;
using zrq::timeOfDayValue;

class SettingsDialogTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void opensModeThreeWithThePointsInSlotOrder();
    void opensModeOneWithAnEmptyListAndAppliesModeThree();
    void damagedPointCountShowsAtMost24();
    void loadLeavesFieldsOfOtherModesAsShown();
    void onlyTheFirst24EntriesAreStored();
    void duplicateEntriesAreBothStored();
    void deleteRemovesOnlyTheSelectedEntry();
    void clickingAnEntryCopiesItsTime();
    void movingThroughTheListWithTheKeysCopiesEachTime();
    void fineTuneTextAndSliderFollowEachOther();
    void fineTuneAboveTheRangeShowsClamped();
    void applyKeepsTheFieldsTheModeDoesNotUse();
    void applyWithNoModeStoresThresholdAndFineTune();
    void thresholdZeroShowsAndStoresAsTwo();
    void typedNumbersAreClampedIntoTheirRange();
    void cancelAndCloseBoxStoreNothing();
    void failingSaveReachesTheGeneralErrorReport();

private:
    template <class T>
    T* control(const char* name) {
        T* found = dialog->findChild<T*>(name);
        if (!found) qFatal("no control %s", name);
        return found;
    }
    QSpinBox* spin(const char* name) { return control<QSpinBox>(name); }
    QRadioButton* radio(const char* name) { return control<QRadioButton>(name); }
    QListWidget* list() { return control<QListWidget>("ListBox1"); }
    QSlider* slider() { return control<QSlider>("TrackBar1"); }
    QLineEdit* edit() { return control<QLineEdit>("Edit1"); }
    void click(const char* buttonName) { control<QPushButton>(buttonName)->click(); }

    void open() { dialog->show(); }
    void addPoint(int hour, int minute, int second) {
        spin("SpinEdit6")->setValue(hour);
        spin("SpinEdit4")->setValue(minute);
        spin("SpinEdit5")->setValue(second);
        click("Button1");
    }
    QStringList entries() {
        QStringList texts;
        for (int i = 0; i < list()->count(); ++i) texts << list()->item(i)->text();
        return texts;
    }
    void clickEntry(int row) {
        QListWidgetItem* item = list()->item(row);
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {},
                          list()->visualItemRect(item).center());
    }
    void typeInto(QWidget* field, const QString& text) {
        field->setFocus();
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }

    ClockSettings settings;
    RecordingMessageBoxes boxes;
    int saves = 0;
    bool saveFails = false;
    std::unique_ptr<zrq::TForm2> dialog;
};

void SettingsDialogTest::init() {
    settings = ClockSettings{};
    settings.CorrectionMode = CorrectionMode::EveryMinute;
    settings.JumpThresholdSec = 3;
    settings.FineTuneMs = 495;
    boxes = RecordingMessageBoxes{};
    saves = 0;
    saveFails = false;
    dialog = std::make_unique<zrq::TForm2>(settings, boxes, [this](const ClockSettings& values) {
        settings = values;
        ++saves;
        if (saveFails) throw zrq::FileError("No space left on device");
    });
}

void SettingsDialogTest::cleanup() { dialog.reset(); }

void SettingsDialogTest::opensModeThreeWithThePointsInSlotOrder() {
    settings.CorrectionMode = CorrectionMode::DailyPoints;
    settings.DailyPointCount = 3;
    settings.DailyPoints[0] = timeOfDayValue(8, 0, 0, 0);
    settings.DailyPoints[1] = timeOfDayValue(12, 30, 0, 0);
    settings.DailyPoints[2] = timeOfDayValue(20, 15, 5, 0);
    settings.DailyPoints[3] = timeOfDayValue(1, 1, 1, 0);  // beyond the count: not listed
    open();
    QCOMPARE(entries(), (QStringList{"8:00:00", "12:30:00", "20:15:05"}));
    QVERIFY(radio("RadioButton3")->isChecked());
    QVERIFY(!radio("RadioButton1")->isChecked());
    QVERIFY(!radio("RadioButton2")->isChecked());
}

void SettingsDialogTest::opensModeOneWithAnEmptyListAndAppliesModeThree() {
    settings.DailyPointCount = 2;
    settings.DailyPoints[0] = timeOfDayValue(8, 0, 0, 0);
    settings.DailyPoints[1] = timeOfDayValue(9, 0, 0, 0);
    open();
    QVERIFY(radio("RadioButton1")->isChecked());
    QCOMPARE(list()->count(), 0);

    radio("RadioButton3")->click();
    QVERIFY(!radio("RadioButton1")->isChecked());
    click("Button3");
    QCOMPARE(settings.CorrectionMode, CorrectionMode::DailyPoints);
    QCOMPARE(settings.DailyPointCount, uint8_t(0));
    QCOMPARE(saves, 1);
    QVERIFY(!dialog->isVisible());
}

void SettingsDialogTest::damagedPointCountShowsAtMost24() {
    settings.CorrectionMode = CorrectionMode::DailyPoints;
    settings.DailyPointCount = 200;
    open();
    QCOMPARE(list()->count(), zrq::kMaxDailyPoints);
}

void SettingsDialogTest::loadLeavesFieldsOfOtherModesAsShown() {
    open();
    spin("SpinEdit3")->setValue(40);
    spin("SpinEdit6")->setValue(17);
    addPoint(6, 0, 0);
    click("Button4");
    settings.CorrectionMode = CorrectionMode::EveryHour;
    settings.CorrectionSecond = 10;
    settings.CorrectionMinute = 20;
    spin("SpinEdit1")->setValue(33);
    open();
    QVERIFY(radio("RadioButton2")->isChecked());
    QCOMPARE(spin("SpinEdit3")->value(), 10);
    QCOMPARE(spin("SpinEdit2")->value(), 20);
    QCOMPARE(spin("SpinEdit1")->value(), 33);  // mode 1's field is not reloaded
    QCOMPARE(list()->count(), 0);              // the list is emptied in every mode
}

void SettingsDialogTest::onlyTheFirst24EntriesAreStored() {
    const double untouched = timeOfDayValue(23, 59, 59, 0);
    settings.DailyPoints[24] = untouched;
    open();
    radio("RadioButton3")->click();
    for (int i = 0; i < 30; ++i) addPoint(i % 24, i, 59 - i);
    QCOMPARE(list()->count(), 30);
    click("Button3");

    QCOMPARE(settings.DailyPointCount, uint8_t(24));
    for (int i = 0; i < 24; ++i) {
        QCOMPARE(settings.DailyPoints[i], timeOfDayValue(i % 24, i, 59 - i, 0));
    }
    QCOMPARE(settings.DailyPoints[24], untouched);
}

void SettingsDialogTest::duplicateEntriesAreBothStored() {
    settings.CorrectionMode = CorrectionMode::DailyPoints;
    open();
    addPoint(8, 30, 0);
    addPoint(8, 30, 0);
    QCOMPARE(entries(), (QStringList{"8:30:00", "8:30:00"}));
    click("Button3");
    QCOMPARE(settings.DailyPointCount, uint8_t(2));
    QCOMPARE(settings.DailyPoints[0], timeOfDayValue(8, 30, 0, 0));
    QCOMPARE(settings.DailyPoints[1], timeOfDayValue(8, 30, 0, 0));
}

void SettingsDialogTest::deleteRemovesOnlyTheSelectedEntry() {
    settings.CorrectionMode = CorrectionMode::DailyPoints;
    open();
    addPoint(1, 0, 0);
    addPoint(2, 0, 0);
    addPoint(3, 0, 0);
    click("Button2");  // nothing selected
    QCOMPARE(list()->count(), 3);
    clickEntry(1);
    click("Button2");
    QCOMPARE(entries(), (QStringList{"1:00:00", "3:00:00"}));
    click("Button2");  // the selection went with the entry
    QCOMPARE(list()->count(), 2);
}

void SettingsDialogTest::clickingAnEntryCopiesItsTime() {
    settings.CorrectionMode = CorrectionMode::DailyPoints;
    settings.DailyPointCount = 2;
    settings.DailyPoints[0] = timeOfDayValue(23, 59, 58, 0);
    settings.DailyPoints[1] = timeOfDayValue(7, 5, 9, 0);
    open();
    QCOMPARE(list()->item(1)->text(), QStringLiteral("7:05:09"));
    clickEntry(1);
    QCOMPARE(spin("SpinEdit6")->value(), 7);
    QCOMPARE(spin("SpinEdit4")->value(), 5);
    QCOMPARE(spin("SpinEdit5")->value(), 9);
    clickEntry(0);
    QCOMPARE(spin("SpinEdit6")->value(), 23);
    QCOMPARE(spin("SpinEdit4")->value(), 59);
    QCOMPARE(spin("SpinEdit5")->value(), 58);
}

void SettingsDialogTest::movingThroughTheListWithTheKeysCopiesEachTime() {
    settings.CorrectionMode = CorrectionMode::DailyPoints;
    settings.DailyPointCount = 2;
    settings.DailyPoints[0] = timeOfDayValue(23, 59, 58, 0);
    settings.DailyPoints[1] = timeOfDayValue(7, 5, 9, 0);
    open();
    dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
    clickEntry(0);
    QVERIFY(list()->hasFocus());
    QTest::keyClick(list(), Qt::Key_Down);
    QCOMPARE(spin("SpinEdit6")->value(), 7);
    QCOMPARE(spin("SpinEdit4")->value(), 5);
    QCOMPARE(spin("SpinEdit5")->value(), 9);
}

void SettingsDialogTest::fineTuneTextAndSliderFollowEachOther() {
    open();
    QCOMPARE(slider()->value(), 495);
    QCOMPARE(edit()->text(), QStringLiteral("495"));

    typeInto(edit(), "250");
    QCOMPARE(slider()->value(), 250);
    typeInto(edit(), "ab");  // not a number: the slider stays
    QCOMPARE(edit()->text(), QStringLiteral("ab"));
    QCOMPARE(slider()->value(), 250);
    typeInto(edit(), "4567");  // three characters at most
    QCOMPARE(edit()->text(), QStringLiteral("456"));
    QCOMPARE(slider()->value(), 456);
    typeInto(edit(), "-7");  // clamped move: the text is rewritten with the clamped value
    QCOMPARE(slider()->value(), 0);
    QCOMPARE(edit()->text(), QStringLiteral("0"));
    typeInto(edit(), "-3");  // the position stays at 0, so the typed text stays
    QCOMPARE(edit()->text(), QStringLiteral("-3"));

    slider()->setValue(700);
    QCOMPARE(edit()->text(), QStringLiteral("700"));
    typeInto(edit(), "x1");
    click("Button3");
    QCOMPARE(settings.FineTuneMs, uint16_t(700));  // the slider is stored, not the text
}

void SettingsDialogTest::fineTuneAboveTheRangeShowsClamped() {
    settings.FineTuneMs = 1500;
    open();
    QCOMPARE(slider()->value(), 999);
    QCOMPARE(edit()->text(), QStringLiteral("999"));
}

void SettingsDialogTest::applyKeepsTheFieldsTheModeDoesNotUse() {
    settings.CorrectionSecond = 11;
    settings.CorrectionMinute = 22;
    settings.DailyPointCount = 1;
    settings.DailyPoints[0] = timeOfDayValue(8, 0, 0, 0);
    const auto storedPoints = settings.DailyPoints;

    open();  // mode 1
    radio("RadioButton2")->click();
    spin("SpinEdit2")->setValue(30);
    spin("SpinEdit3")->setValue(0);
    click("Button3");
    QCOMPARE(settings.CorrectionMode, CorrectionMode::EveryHour);
    QCOMPARE(settings.CorrectionMinute, uint8_t(30));
    QCOMPARE(settings.CorrectionSecond, uint8_t(0));
    QCOMPARE(settings.DailyPointCount, uint8_t(1));
    QVERIFY(settings.DailyPoints == storedPoints);

    open();  // mode 2
    radio("RadioButton1")->click();
    spin("SpinEdit1")->setValue(45);
    click("Button3");
    QCOMPARE(settings.CorrectionMode, CorrectionMode::EveryMinute);
    QCOMPARE(settings.CorrectionSecond, uint8_t(45));
    QCOMPARE(settings.CorrectionMinute, uint8_t(30));
    QVERIFY(settings.DailyPoints == storedPoints);

    open();  // mode 1
    radio("RadioButton3")->click();
    addPoint(9, 9, 9);
    click("Button3");
    QCOMPARE(settings.CorrectionMode, CorrectionMode::DailyPoints);
    QCOMPARE(settings.CorrectionSecond, uint8_t(45));
    QCOMPARE(settings.CorrectionMinute, uint8_t(30));
    QCOMPARE(settings.DailyPointCount, uint8_t(1));
    QCOMPARE(settings.DailyPoints[0], timeOfDayValue(9, 9, 9, 0));
    QCOMPARE(saves, 3);
}

void SettingsDialogTest::applyWithNoModeStoresThresholdAndFineTune() {
    settings.CorrectionMode = CorrectionMode{};
    settings.CorrectionSecond = 5;
    open();
    for (const char* name : {"RadioButton1", "RadioButton2", "RadioButton3"}) {
        QVERIFY(!radio(name)->isChecked());
    }
    spin("SpinEdit7")->setValue(10);
    slider()->setValue(123);
    spin("SpinEdit1")->setValue(50);
    click("Button3");
    QCOMPARE(settings.CorrectionMode, CorrectionMode{});
    QCOMPARE(settings.CorrectionSecond, uint8_t(5));
    QCOMPARE(settings.JumpThresholdSec, uint8_t(10));
    QCOMPARE(settings.FineTuneMs, uint16_t(123));
    QCOMPARE(saves, 1);
}

void SettingsDialogTest::thresholdZeroShowsAndStoresAsTwo() {
    settings.JumpThresholdSec = 0;
    open();
    QCOMPARE(spin("SpinEdit7")->value(), 2);
    click("Button3");
    QCOMPARE(settings.JumpThresholdSec, uint8_t(2));
}

void SettingsDialogTest::typedNumbersAreClampedIntoTheirRange() {
    open();
    typeInto(spin("SpinEdit1"), "75");
    typeInto(spin("SpinEdit7"), "");  // no number reads as the minimum
    click("Button3");
    QCOMPARE(settings.CorrectionSecond, uint8_t(59));
    QCOMPARE(settings.JumpThresholdSec, uint8_t(2));

    open();
    radio("RadioButton3")->click();
    typeInto(spin("SpinEdit6"), "99");
    click("Button1");
    QCOMPARE(entries(), (QStringList{"23:00:00"}));
}

void SettingsDialogTest::cancelAndCloseBoxStoreNothing() {
    settings.CorrectionMode = CorrectionMode::EveryHour;
    settings.CorrectionMinute = 15;
    const ClockSettings stored = settings;
    open();
    radio("RadioButton3")->click();
    addPoint(5, 5, 5);
    spin("SpinEdit7")->setValue(20);
    spin("SpinEdit2")->setValue(44);
    slider()->setValue(10);
    click("Button4");
    QVERIFY(!dialog->isVisible());
    QVERIFY(settings == stored);

    open();
    QVERIFY(radio("RadioButton2")->isChecked());
    QCOMPARE(spin("SpinEdit2")->value(), 15);
    QCOMPARE(spin("SpinEdit7")->value(), 3);
    QCOMPARE(slider()->value(), 495);
    QCOMPARE(list()->count(), 0);
    spin("SpinEdit7")->setValue(30);
    dialog->close();
    QVERIFY(settings == stored);
    QCOMPARE(saves, 0);
}

void SettingsDialogTest::failingSaveReachesTheGeneralErrorReport() {
    saveFails = true;
    open();
    spin("SpinEdit7")->setValue(9);
    click("Button3");
    QCOMPARE(saves, 1);
    QCOMPARE(boxes.shown.size(), size_t(1));
    QCOMPARE(boxes.shown[0].kind, RecordingMessageBoxes::Kind::GeneralError);
    QCOMPARE(boxes.shown[0].text, std::string("No space left on device"));
    QCOMPARE(settings.JumpThresholdSec, uint8_t(9));  // changed before the save
    QVERIFY(!dialog->isVisible());
}

QTEST_MAIN(SettingsDialogTest)
#include "settings_dialog_qtest.moc"
