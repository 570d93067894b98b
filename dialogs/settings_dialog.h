// TForm2, "校时设置": edits the correction schedule, the jump threshold and the fine adjustment.
#pragma once

#include <QDialog>

#include <functional>

#include "base/message_boxes.h"
#include "store/clock_settings.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;

namespace zrq {

class TForm2 : public QDialog {
    Q_OBJECT
public:
    // Takes the values of "应用" into the running settings and saves them; it may throw
    // (FileError), which goes to the general error report.
    using Apply = std::function<void(const ClockSettings& values)>;

    // Shows `settings` at every opening.
    TForm2(const ClockSettings& settings, MessageBoxes& boxes, Apply apply,
           QWidget* parent = nullptr);

    // Loads the current settings into the controls; runs at every opening.
    void FormCreate();
    void Button1Click();   // "增加": append the time of SpinEdit6:SpinEdit4:SpinEdit5
    void Button2Click();   // "删除": remove the selected entry
    void ListBox1Click();  // copy the selected entry's time into the three fields
    void TrackBar1Change();
    void Edit1Change();
    void Button3Click();  // "应用"
    void Button4Click();  // "取消"

protected:
    void showEvent(QShowEvent* event) override;

private:
    void createControls();
    void placeControls();
    void styleControls();
    void connectControls();
    void interpretTypedNumbers();
    void storeDailyPoints(ClockSettings& values) const;

    const ClockSettings& settings_;
    MessageBoxes& boxes_;
    Apply apply_;

    QRadioButton* RadioButton1 = nullptr;
    QRadioButton* RadioButton2 = nullptr;
    QRadioButton* RadioButton3 = nullptr;
    QSpinBox* SpinEdit1 = nullptr;  // second, mode 1
    QSpinBox* SpinEdit2 = nullptr;  // minute, mode 2
    QSpinBox* SpinEdit3 = nullptr;  // second, mode 2
    QSpinBox* SpinEdit4 = nullptr;  // minute of a daily point
    QSpinBox* SpinEdit5 = nullptr;  // second of a daily point
    QSpinBox* SpinEdit6 = nullptr;  // hour of a daily point
    QSpinBox* SpinEdit7 = nullptr;  // jump threshold, seconds
    QListWidget* ListBox1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* Button4 = nullptr;
    QSlider* TrackBar1 = nullptr;  // fine adjustment, ms
    QLineEdit* Edit1 = nullptr;
};

}  // namespace zrq
