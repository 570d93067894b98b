// The port selection dialog's window: list, number field and the two buttons.
#include "dialogs/port_dialog.h"

#include <QEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <optional>

#include "dialogs/clamping_spin_box.h"
#include "dialogs/dialog_style.h"
#include "serial/port_line.h"

namespace zrq {
namespace {

// The window's outer size, its frame included; the client area is what the frame leaves.
constexpr int kOuterWidth = 235;
constexpr int kOuterHeight = 356;
constexpr int kListHeight = 217;
constexpr int kFontPixels = 13;
constexpr int kLabelFontPixels = 16;
constexpr int kLabelLeft = 24;
constexpr int kSpinLeft = 88;
constexpr int kFieldTop = 232;
constexpr int kLabelGap = 2;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr char kSeparator[] = "......";
// The window manager frames a window some time after it is shown, with no event to the widget:
// the frame is looked for this often, this many times, after each showing.
constexpr int kFrameLookIntervalMs = 50;
constexpr int kFrameLooks = 40;

}  // namespace

std::string portListLine(const std::string& devicePath, const std::string& portName) {
    return portName + kSeparator + devicePath;
}

TForm4::TForm4(PortLister listPorts, PortSwitch switchPort, MessageBoxes& boxes, QWidget* parent)
    : QDialog(parent),
      listPorts_(std::move(listPorts)),
      switchPort_(std::move(switchPort)),
      boxes_(boxes) {
    setObjectName(QStringLiteral("Form4"));
    // Until the window manager has framed the window its frame is unknown and taken as none.
    setUpFixedSizeDialog(this, QStringLiteral("Serial Port"), songTiFont(kFontPixels),
                         QSize(kOuterWidth, kOuterHeight));

    ListBox1 = named(new QListWidget(this), "ListBox1");
    ListBox1->setGeometry(0, 0, kOuterWidth, kListHeight);

    Label1 = named(new QLabel(QString::fromUtf8("端口 COM"), this), "Label1");
    Label1->setFont(songTiFont(kLabelFontPixels));
    Label1->adjustSize();
    // A fallback font wider than 宋体 would run into the field: move the label left instead.
    Label1->move(std::min(kLabelLeft, kSpinLeft - kLabelGap - Label1->width()), kFieldTop);

    SpinEdit1 =
        named(new ClampingSpinBox(kLowestDialogPort, kHighestDialogPort, this), "SpinEdit1");
    SpinEdit1->setGeometry(kSpinLeft, kFieldTop, 73, 22);

    Button1 = named(new QPushButton(QString::fromUtf8("使用"), this), "Button1");
    Button1->setGeometry(24, 280, kButtonWidth, kButtonHeight);
    Button2 = named(new QPushButton(QString::fromUtf8("返回"), this), "Button2");
    Button2->setGeometry(128, 280, kButtonWidth, kButtonHeight);
    for (QPushButton* button : {Button1, Button2}) button->setAutoDefault(false);

    connectEntryClicks(ListBox1, this, &TForm4::ListBox1Click);
    connect(Button1, &QPushButton::clicked, this, &TForm4::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm4::Button2Click);
}

bool TForm4::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) FormActivate();
    if (event->type() == QEvent::Show) {
        frameLooksLeft_ = kFrameLooks;
        lookForFrame();
    }
    return QDialog::event(event);
}

void TForm4::lookForFrame() {
    const QSize frame = frameGeometry().size() - geometry().size();
    if (frame.isNull()) {
        if (isVisible() && --frameLooksLeft_ > 0) {
            QTimer::singleShot(kFrameLookIntervalMs, this, &TForm4::lookForFrame);
        }
        return;
    }
    const QSize client = QSize(kOuterWidth, kOuterHeight) - frame;
    if (client == size() || client.isEmpty()) return;
    setFixedSize(client);
    ListBox1->setFixedWidth(client.width());
}

void TForm4::FormActivate() {
    ListBox1->clear();
    if (!listPorts_) return;
    for (const auto& [devicePath, portName] : listPorts_()) {
        ListBox1->addItem(QString::fromStdString(portListLine(devicePath, portName)));
    }
}

void TForm4::ListBox1Click() {
    const QList<QListWidgetItem*> selected = ListBox1->selectedItems();
    if (selected.isEmpty()) return;
    std::optional<int> port = portFromListLine(selected.front()->text().toStdString());
    if (port) SpinEdit1->setValue(*port);
}

void TForm4::Button1Click() {
    SpinEdit1->interpretText();
    if (!switchPort_) return;
    bool switched = false;
    runGuarded(boxes_, [&] { switched = switchPort_(SpinEdit1->value()); });
    if (switched) accept();
}

void TForm4::Button2Click() { reject(); }

}  // namespace zrq
