// The correction settings dialog: loads ClockSettings into its controls at every opening and
// stores them back only on "应用", which then saves the configuration file.
#include "dialogs/settings_dialog.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QSlider>

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <optional>
#include <string>

#include "base/gbk_text.h"
#include "dialogs/clamping_spin_box.h"
#include "dialogs/daily_point_text.h"
#include "dialogs/dialog_style.h"

namespace zrq {
namespace {

constexpr int kClientWidth = 392;
constexpr int kClientHeight = 419;
constexpr int kScreenLeft = 460;
constexpr int kScreenTop = 136;
constexpr int kFontPixels = 13;

constexpr int kFineTuneMaxMs = 999;
constexpr int kFineTuneInitialMs = 495;
constexpr int kFineTuneMaxChars = 3;
constexpr int kJumpThresholdMinSec = 2;
constexpr int kJumpThresholdMaxSec = 59;
constexpr int kJumpThresholdInitialSec = 3;

constexpr int kSpinWidth = 49;
constexpr int kSpinHeight = 22;
constexpr int kUnitLabelGap = 3;  // between a numeric field and its unit label
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

const QColor kCaptionColour(0, 0, 128);  // navy
const QColor kValueColour(Qt::red);

QString qt(std::string_view utf8) { return QString::fromUtf8(utf8.data(), int(utf8.size())); }
std::string utf8(const QString& text) { return text.toUtf8().toStdString(); }

// A whole decimal integer, optionally signed, with nothing else in the text.
std::optional<int> wholeInteger(const QString& text) {
    std::string s = utf8(text);
    std::string_view digits = s;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty() || digits.front() == '+') return std::nullopt;
    int value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

void setForeground(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(role, colour);
    widget->setPalette(palette);
}

void setBold(QWidget* widget) {
    QFont font = widget->font();
    font.setBold(true);
    widget->setFont(font);
}

void uncheckAll(std::initializer_list<QRadioButton*> group) {
    for (QRadioButton* button : group) button->setAutoExclusive(false);
    for (QRadioButton* button : group) button->setChecked(false);
    for (QRadioButton* button : group) button->setAutoExclusive(true);
}

}  // namespace

TForm2::TForm2(const ClockSettings& settings, MessageBoxes& boxes, Apply apply, QWidget* parent)
    : QDialog(parent), settings_(settings), boxes_(boxes), apply_(std::move(apply)) {
    setObjectName(QStringLiteral("Form2"));
    setUpFixedSizeDialog(this, qt("校时设置"), songTiFont(kFontPixels),
                         QSize(kClientWidth, kClientHeight));
    move(kScreenLeft, kScreenTop);

    createControls();
    placeControls();
    styleControls();
    connectControls();
}

void TForm2::createControls() {
    auto* panel = named(new QFrame(this), "Panel1");
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setGeometry(8, 8, kClientWidth - 16, 362);

    RadioButton1 = named(new QRadioButton(qt("每分钟校时 校时时刻在第："), this), "RadioButton1");
    RadioButton2 = named(new QRadioButton(qt("每小时校时 校时时刻在第："), this), "RadioButton2");
    RadioButton3 = named(new QRadioButton(qt("每天固定时间点校时"), this), "RadioButton3");
    RadioButton1->setChecked(true);

    SpinEdit1 = named(new ClampingSpinBox(0, 59, this), "SpinEdit1");
    SpinEdit2 = named(new ClampingSpinBox(0, 59, this), "SpinEdit2");
    SpinEdit3 = named(new ClampingSpinBox(0, 59, this), "SpinEdit3");
    SpinEdit6 = named(new ClampingSpinBox(0, 23, this), "SpinEdit6");
    SpinEdit4 = named(new ClampingSpinBox(0, 59, this), "SpinEdit4");
    SpinEdit5 = named(new ClampingSpinBox(0, 59, this), "SpinEdit5");
    SpinEdit7 =
        named(new ClampingSpinBox(kJumpThresholdMinSec, kJumpThresholdMaxSec, this), "SpinEdit7");
    SpinEdit7->setValue(kJumpThresholdInitialSec);

    ListBox1 = named(new QListWidget(this), "ListBox1");
    ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);

    Button1 = named(new QPushButton(qt("增加"), this), "Button1");
    Button2 = named(new QPushButton(qt("删除"), this), "Button2");
    Button3 = named(new QPushButton(qt("应用"), this), "Button3");
    Button4 = named(new QPushButton(qt("取消"), this), "Button4");
    // Enter in a field must not press a button: the dialog has no default button.
    for (QPushButton* button : {Button1, Button2, Button3, Button4}) button->setAutoDefault(false);

    TrackBar1 = named(new QSlider(Qt::Horizontal, this), "TrackBar1");
    TrackBar1->setRange(0, kFineTuneMaxMs);
    TrackBar1->setValue(kFineTuneInitialMs);
    Edit1 = named(new QLineEdit(this), "Edit1");
    Edit1->setMaxLength(kFineTuneMaxChars);
    panel->lower();
}

void TForm2::placeControls() {
    struct Caption {
        const char* name;
        const char* text;
        int left, top;
        bool bold;
    };
    // Headings, and the unit label that follows each numeric field.
    const int unit = kSpinWidth + kUnitLabelGap;
    const Caption captions[] = {
        {"Label6", "校时模式", 24, 26, true},
        {"Label1", "秒", 304 + unit, 43, false},
        {"Label2", "分", 232 + unit, 91, false},
        {"Label3", "秒", 304 + unit, 91, false},
        {"Label4", "时", 152 + unit, 155, false},
        {"Label5", "分", 232 + unit, 155, false},
        {"Label8", "秒", 304 + unit, 155, false},
        {"Label7", "跳动定义：时间差在", 24, 304, true},
        {"Label9", "秒以上", 168 + unit, 299, true},
        {"Label10", "校时微调(MS)：", 24, 336, true},
        {"Label12", "0", 152, 336, false},
    };
    for (const Caption& c : captions) {
        auto* label = named(new QLabel(qt(c.text), this), c.name);
        if (c.bold) setBold(label);
        if (std::string_view(c.name) != "Label6") {
            setForeground(label, QPalette::WindowText, kCaptionColour);
        }
        label->adjustSize();
        label->move(c.left, c.top);
    }

    RadioButton1->setGeometry(24, 48, 270, 17);
    RadioButton2->setGeometry(24, 88, 200, 17);
    RadioButton3->setGeometry(24, 128, 200, 17);
    SpinEdit1->setGeometry(304, 40, kSpinWidth, kSpinHeight);
    SpinEdit2->setGeometry(232, 88, kSpinWidth, kSpinHeight);
    SpinEdit3->setGeometry(304, 88, kSpinWidth, kSpinHeight);
    SpinEdit6->setGeometry(152, 152, kSpinWidth, kSpinHeight);
    SpinEdit4->setGeometry(232, 152, kSpinWidth, kSpinHeight);
    SpinEdit5->setGeometry(304, 152, kSpinWidth, kSpinHeight);
    SpinEdit7->setGeometry(168, 296, kSpinWidth, kSpinHeight);
    ListBox1->setGeometry(24, 152, 121, 113);
    Button1->setGeometry(216, 192, kButtonWidth, kButtonHeight);
    Button2->setGeometry(216, 232, kButtonWidth, kButtonHeight);
    TrackBar1->setGeometry(160, 336, 118, 24);
    Edit1->setGeometry(280, 336, 41, 21);
    Button3->setGeometry(88, 384, kButtonWidth, kButtonHeight);
    Button4->setGeometry(232, 384, kButtonWidth, kButtonHeight);
}

void TForm2::styleControls() {
    for (QRadioButton* radio : {RadioButton1, RadioButton2, RadioButton3}) {
        setForeground(radio, QPalette::WindowText, kCaptionColour);
        setForeground(radio, QPalette::ButtonText, kCaptionColour);
    }
    for (QSpinBox* spin :
         {SpinEdit1, SpinEdit2, SpinEdit3, SpinEdit4, SpinEdit5, SpinEdit6, SpinEdit7}) {
        setForeground(spin, QPalette::Text, kValueColour);
    }
}

void TForm2::connectControls() {
    connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm2::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TForm2::Button3Click);
    connect(Button4, &QPushButton::clicked, this, &TForm2::Button4Click);
    connectEntryClicks(ListBox1, this, &TForm2::ListBox1Click);
    connect(TrackBar1, &QSlider::valueChanged, this, &TForm2::TrackBar1Change);
    connect(Edit1, &QLineEdit::textChanged, this, &TForm2::Edit1Change);
}

void TForm2::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) FormCreate();
    QDialog::showEvent(event);
}

void TForm2::FormCreate() {
    ListBox1->clear();
    uncheckAll({RadioButton1, RadioButton2, RadioButton3});
    SpinEdit7->setValue(settings_.JumpThresholdSec);
    // Edit1 holds three characters at most, so it shows the clamped value the slider takes.
    int fineTune = std::clamp<int>(settings_.FineTuneMs, 0, kFineTuneMaxMs);
    TrackBar1->setValue(fineTune);
    Edit1->setText(QString::number(fineTune));
    switch (settings_.CorrectionMode) {
        case CorrectionMode::EveryMinute:
            RadioButton1->setChecked(true);
            SpinEdit1->setValue(settings_.CorrectionSecond);
            break;
        case CorrectionMode::EveryHour:
            RadioButton2->setChecked(true);
            SpinEdit3->setValue(settings_.CorrectionSecond);
            SpinEdit2->setValue(settings_.CorrectionMinute);
            break;
        case CorrectionMode::DailyPoints: {
            RadioButton3->setChecked(true);
            // A damaged file may claim more points than there are slots.
            int count = std::min<int>(settings_.DailyPointCount, kMaxDailyPoints);
            for (int i = 0; i < count; ++i) {
                ListBox1->addItem(qt(dailyPointText(settings_.DailyPoints[i])));
            }
            break;
        }
        default:
            break;
    }
}

void TForm2::Button1Click() {
    interpretTypedNumbers();
    DateTimeValue point =
        timeOfDayValue(SpinEdit6->value(), SpinEdit4->value(), SpinEdit5->value(), 0);
    ListBox1->addItem(qt(dailyPointText(point)));
}

void TForm2::Button2Click() {
    const QList<QListWidgetItem*> selected = ListBox1->selectedItems();
    if (selected.isEmpty()) return;
    delete selected.front();
    ListBox1->clearSelection();
    ListBox1->setCurrentItem(nullptr);
}

void TForm2::ListBox1Click() {
    const QList<QListWidgetItem*> selected = ListBox1->selectedItems();
    if (selected.isEmpty()) return;
    std::optional<DateTimeValue> point = parseDailyPoint(utf8(selected.front()->text()));
    if (!point) return;
    TimeOfDay t = splitTimeOfDay(*point);
    SpinEdit6->setValue(t.hour);
    SpinEdit4->setValue(t.minute);
    SpinEdit5->setValue(t.second);
}

void TForm2::TrackBar1Change() { Edit1->setText(QString::number(TrackBar1->value())); }

void TForm2::Edit1Change() {
    std::optional<int> typed = wholeInteger(Edit1->text());
    if (!typed) return;
    // Setting an unchanged position emits nothing, so the typed text then stays as it is.
    TrackBar1->setValue(std::clamp(*typed, 0, kFineTuneMaxMs));
}

void TForm2::Button3Click() {
    interpretTypedNumbers();
    ClockSettings values = settings_;
    values.JumpThresholdSec = static_cast<uint8_t>(SpinEdit7->value());
    values.FineTuneMs = static_cast<uint16_t>(TrackBar1->value());
    if (RadioButton1->isChecked()) {
        values.CorrectionMode = CorrectionMode::EveryMinute;
        values.CorrectionSecond = static_cast<uint8_t>(SpinEdit1->value());
    } else if (RadioButton2->isChecked()) {
        values.CorrectionMode = CorrectionMode::EveryHour;
        values.CorrectionSecond = static_cast<uint8_t>(SpinEdit3->value());
        values.CorrectionMinute = static_cast<uint8_t>(SpinEdit2->value());
    } else if (RadioButton3->isChecked()) {
        values.CorrectionMode = CorrectionMode::DailyPoints;
        storeDailyPoints(values);
    }
    accept();
    runGuarded(boxes_, [&] {
        if (apply_) apply_(values);
    });
}

void TForm2::Button4Click() { reject(); }

// Values still being typed are clamped first, as leaving the field would do.
void TForm2::interpretTypedNumbers() {
    for (QSpinBox* spin :
         {SpinEdit1, SpinEdit2, SpinEdit3, SpinEdit4, SpinEdit5, SpinEdit6, SpinEdit7}) {
        spin->interpretText();
    }
}

void TForm2::storeDailyPoints(ClockSettings& values) const {
    int count = std::min(ListBox1->count(), kMaxDailyPoints);
    values.DailyPointCount = static_cast<uint8_t>(count);
    for (int i = 0; i < count; ++i) {
        // Every entry was written by dailyPointText, so it always reads back.
        std::optional<DateTimeValue> point = parseDailyPoint(utf8(ListBox1->item(i)->text()));
        values.DailyPoints[i] = point.value_or(0.0);
    }
}

}  // namespace zrq
