// The main bar's controls, mouse handling, menu handlers, the hand-off of received chunks from
// the receiver thread, and the close handler.
#include "app/main_bar.h"

#include <qdrawutil.h>

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QSocketNotifier>
#include <QTimer>

#include <optional>

#include "app/help_file.h"
#include "app/task_bar_exclusion.h"
#include "app/tray.h"
#include "timecode/frame_search.h"

namespace zrq {
namespace {

constexpr int kLampWidth = 16;
constexpr int kLampHeight = 15;
constexpr int kLabelPixelSize = 11;  // "MS Sans Serif" 8 pt at 96 dots per inch
constexpr const char* kBarFontFamily = "MS Sans Serif";
// While the receiver is stopped at shutdown: how long one pass handles posted calls.
constexpr int kDrainEventsMs = 5;
// Only when the kernel gives no timer descriptors: how often the tick looks at the clock.
constexpr int kFallbackTickMs = 2;

QFont barFont(bool bold) {
    QFont font(QString::fromLatin1(kBarFontFamily));
    font.setPixelSize(kLabelPixelSize);
    font.setBold(bold);
    return font;
}

QLabel* makeLabel(QWidget* parent, const char* name, bool bold) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setFont(barFont(bold));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(palette);
    return label;
}

// The lamp: from the outside in, a single dark line, a lowered bevel and a raised bevel, one
// pixel each; the rest shows the background, which is the lamp colour.
class LampPanel final : public QFrame {
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(Qt::black);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
        qDrawShadePanel(&painter, rect().adjusted(1, 1, -1, -1), palette(), true, 1);
        qDrawShadePanel(&painter, rect().adjusted(2, 2, -2, -2), palette(), false, 1);
    }
};

QColor lampColor(Lamp lamp) {
    const LampRgb rgb = lampRgb(lamp);
    return QColor(rgb.r, rgb.g, rgb.b);
}

constexpr const char* kNoTrayMessage = "系统托盘不可用，显示条保持显示。";

// The plain box takes GBK; the texts built here are UTF-8.
GbkText gbkOf(const QString& text) { return gbk(text.toStdString()); }

}  // namespace

ShellServices desktopShellServices() {
    return ShellServices{
        .showModal = [](QDialog& dialog) { dialog.exec(); },
        .trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); },
        .openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); },
        .programDir = [] { return QCoreApplication::applicationDirPath(); },
    };
}

TForm1::TForm1(const AppContext& context, QWidget* parent)
    : QWidget(parent, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool),
      ctx_(context),
      configPath_(pathInWorkDir(ctx_.workDir, kConfigFileName)),
      log_(ctx_.clock, ctx_.boxes, ctx_.workDir, ctx_.journal),
      offsetRecord_(ctx_.boxes, ctx_.workDir),
      chronySamples_(ctx_.workDir),
      processor_(FrameProcessorContext{ctx_.clock, ctx_.serial, line_, settings_, status_,
                                       monitorLink_, log_, &offsetRecord_, &chronySamples_}),
      tick_(ctx_.clock, ctx_.serial, line_, status_, *this),
      tickTimer_(ctx_.clock),
      gate_(
          [this](const ReceivedChunk& chunk) {
              QMetaObject::invokeMethod(
                  this, [this, &chunk] { handleReceivedData(chunk); },
                  Qt::BlockingQueuedConnection);
          },
          [] {
              QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, kDrainEventsMs);
          }),
      tcomm_(ctx_.serial, ctx_.clock, line_.Port,
             [this](const ReceivedChunk& chunk) { gate_.handOff(chunk); }),
      ring_(tcomm_.ring, indices_),
      PopupMenu1_(new PopupMenu1(this)),
      switcher_(SwitchContext{ctx_.serial, line_, ctx_.boxes, tcomm_, status_, settings_, ring_,
                              *PopupMenu1_, [this] { saveConfiguration(); }}),
      services_(desktopShellServices()),
      tray_(new BarTray([this](const QPoint& at) { openPopupMenu(at); }, this)) {
    setObjectName("Form1");
    // LineSettings and ReceiverStop are zero until start-up sets them.
    line_.Port = 0;
    line_.BaudCode = 0;
    createControls();
    connectMenu();

    startTimer1();
    runGuarded(ctx_.boxes, [this] { FormCreate(); });
}

TForm1::~TForm1() {
    Timer1->setEnabled(false);
    stopReceiver();
}

// Enabled from creation on and due at once; its events run only once the event loop (or a
// message box of start-up) dispatches, and everything the tick reads is set before the first box.
void TForm1::startTimer1() {
    Timer1 = new QSocketNotifier(tickTimer_.descriptor(), QSocketNotifier::Read, this);
    Timer1->setObjectName("Timer1");
    connect(Timer1, &QSocketNotifier::activated, this, [this] {
        if (tickTimer_.onReadable()) runGuarded(ctx_.boxes, [this] { tick_.onTimer(); });
    });
    if (tickTimer_.ok()) return;
    // Without timer descriptors: look every 2 ms, as the tick's rules allow.
    Timer1->setEnabled(false);
    auto* poll = new QTimer(this);
    poll->setTimerType(Qt::PreciseTimer);
    connect(poll, &QTimer::timeout, this,
            [this] { runGuarded(ctx_.boxes, [this] { tick_.onTimer(); }); });
    poll->start(kFallbackTickMs);
}

void TForm1::createControls() {
    setFixedSize(kBarWidth, kBarHeight);

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setGeometry(0, 0, kBarWidth, kBarHeight);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);

    Panel2 = new LampPanel(Panel1);
    Panel2->setObjectName("Panel2");
    Panel2->setFixedSize(kLampWidth, kLampHeight);
    Panel2->setAutoFillBackground(true);
    setLamp(Lamp::Red);

    Label2 = makeLabel(Panel1, "Label2", true);
    Label2->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    Label1 = makeLabel(Panel1, "Label1", false);
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setText(QStringLiteral("88:88:88"));

    // The face's own edge already insets the row by a pixel; the lamp stands at its top left.
    auto* row = new QHBoxLayout(Panel1);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(Panel2, 0, Qt::AlignTop);
    row->addWidget(Label2);
    row->addWidget(Label1, 1);

    for (QWidget* control : {static_cast<QWidget*>(Panel1), static_cast<QWidget*>(Panel2),
                             static_cast<QWidget*>(Label1), static_cast<QWidget*>(Label2)}) {
        control->installEventFilter(this);
    }
}

void TForm1::connectMenu() {
    PopupMenu1* menu = PopupMenu1_;
    for (QAction* item : {menu->N31, menu->N11, menu->N10}) {
        connect(item, &QAction::triggered, this, [this, item] { N31Click(item); });
    }
    for (QAction* item : {menu->com11, menu->com21, menu->com31, menu->com41}) {
        connect(item, &QAction::triggered, this, [this, item] { com11Click(item); });
    }
    for (QAction* item : {menu->N48001, menu->N96001}) {
        connect(item, &QAction::triggered, this, [this, item] { N48001Click(item); });
    }
    const std::pair<QAction*, void (TForm1::*)()> commands[] = {
        {menu->N21, &TForm1::N21Click}, {menu->N6, &TForm1::N6Click},
        {menu->N16, &TForm1::N16Click}, {menu->N3, &TForm1::N3Click},
        {menu->N12, &TForm1::N12Click}, {menu->N18, &TForm1::N18Click},
        {menu->N15, &TForm1::N15Click}, {menu->About1, &TForm1::About1Click},
        {menu->N20, &TForm1::N20Click}, {menu->N19, &TForm1::N19Click},
        {menu->N8, &TForm1::N8Click},
    };
    for (const auto& [item, handler] : commands) {
        connect(item, &QAction::triggered, this, [this, handler] {
            runGuarded(ctx_.boxes, [this, handler] { (this->*handler)(); });
        });
    }
}

// --- The bar as the tick sees it.

void TForm1::setTimeText(const std::string& ascii) {
    Label1->setText(QString::fromLatin1(ascii.data(), static_cast<qsizetype>(ascii.size())));
}

void TForm1::setDateText(const GbkText& text) {
    Label2->setText(QString::fromStdString(text.toUtf8()));
}

void TForm1::setLamp(Lamp lamp) {
    // The palette is only touched when the colour changes, which is rare.
    if (lampShown_ && lamp == lamp_) return;
    QPalette palette = Panel2->palette();
    palette.setColor(QPalette::Window, lampColor(lamp));
    Panel2->setPalette(palette);
    lamp_ = lamp;
    lampShown_ = true;
}

// --- Mouse.

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress:
            Panel2MouseDown(static_cast<QMouseEvent*>(event)->position().toPoint());
            return true;
        case QEvent::MouseMove: {
            auto* move = static_cast<QMouseEvent*>(event);
            Panel2MouseMove(move->position().toPoint(), move->buttons());
            return true;
        }
        case QEvent::MouseButtonDblClick:
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) Panel2DblClick();
            return true;
        case QEvent::ContextMenu:
            openPopupMenu(static_cast<QContextMenuEvent*>(event)->globalPos());
            return true;
        default:
            return QWidget::eventFilter(watched, event);
    }
}

void TForm1::Panel2MouseDown(const QPoint& pointer) { dragAnchor_ = pointer; }

void TForm1::Panel2MouseMove(const QPoint& pointer, Qt::MouseButtons buttons) {
    if (!(buttons & Qt::LeftButton)) return;
    // Pointer and anchor are in the coordinates of the same control, which moves with the bar.
    move(pos() + pointer - dragAnchor_);
}

void TForm1::Panel2DblClick() {
    const GbkText message = status_.StatusMessage;  // as it is at the moment of the click
    runGuarded(ctx_.boxes, [&] { ctx_.boxes.plain(message); });
}

void TForm1::openPopupMenu(const QPoint& globalPosition) { PopupMenu1_->popup(globalPosition); }

// --- Menu handlers.

namespace {

// Choosing a check entry flips its mark before the handler runs; the switches set the marks
// themselves, and a switch that fails must leave them as they were.
void undoAutomaticToggle(QAction* item) { item->setChecked(!item->isChecked()); }

}  // namespace

void TForm1::N31Click(QAction* item) {
    runGuarded(ctx_.boxes, [&] { switcher_.N31Click(PopupMenu1::tagOf(item)); });
}

void TForm1::com11Click(QAction* item) {
    undoAutomaticToggle(item);
    runGuarded(ctx_.boxes, [&] { switcher_.com11Click(PopupMenu1::tagOf(item)); });
}

void TForm1::N48001Click(QAction* item) {
    undoAutomaticToggle(item);
    runGuarded(ctx_.boxes, [&] { switcher_.N48001Click(PopupMenu1::tagOf(item)); });
}

void TForm1::N21Click() {
    undoAutomaticToggle(PopupMenu1_->N21);
    showDialog(dialogs_.port);
}

void TForm1::N6Click() { status_.CorrectNowRequested = true; }

void TForm1::N16Click() {
    status_.MonitorActive = true;
    showDialog(dialogs_.monitor);
}

void TForm1::N3Click() { showDialog(dialogs_.settings); }

void TForm1::N12Click() {
    status_.JumpLogEnabled = !status_.JumpLogEnabled;
    PopupMenu1_->N12->setChecked(status_.JumpLogEnabled);
}

void TForm1::N18Click() {
    status_.CommLogEnabled = !status_.CommLogEnabled;
    PopupMenu1_->N18->setChecked(status_.CommLogEnabled);
}

void TForm1::N15Click() {
    const QString document = helpDocumentName(QString::fromLatin1(kHelpFileName));
    const QStringList searched = helpSearchPaths(services_.programDir(), document);
    const std::optional<QString> found = findHelpDocument(searched);
    if (!found) {
        ctx_.boxes.plain(gbkOf(helpMissingMessage(document, searched)));
        return;
    }
    if (!services_.openUrl(QUrl::fromLocalFile(*found))) {
        ctx_.boxes.plain(gbkOf(helpNotOpenedMessage(*found)));
    }
}

void TForm1::About1Click() { showDialog(dialogs_.about); }

void TForm1::N20Click() {
    tray_->removeIcon();
    // A window manager drops the window's state when it is withdrawn: set it again before mapping.
    excludeFromTaskBar(*this);
    show();
    move(shownPosition_);
    PopupMenu1_->N19->setVisible(true);
    PopupMenu1_->N20->setVisible(false);
}

void TForm1::N19Click() {
    // Hiding the bar with nowhere to put the icon would leave no way back to the menu.
    if (!services_.trayAvailable()) {
        ctx_.boxes.plain(gbk(kNoTrayMessage));
        return;
    }
    shownPosition_ = pos();
    tray_->addIcon();
    hide();
    PopupMenu1_->N19->setVisible(false);
    PopupMenu1_->N20->setVisible(true);
}

void TForm1::showDialog(QDialog* dialog) {
    if (dialog) services_.showModal(*dialog);
}

void TForm1::N8Click() { close(); }

StoredSettings TForm1::storedSettings() const {
    return StoredSettings{settings_, line_.Port.load(), line_.BaudCode};
}

void TForm1::saveConfiguration() { savecfg(configPath_, storedSettings()); }

// --- The receiver's hand-off.

// User-interface thread; the receiver waits until this returns. Nothing is handled once the
// gate has closed.
void TForm1::handleReceivedData(const ReceivedChunk& chunk) {
    gate_.deliver([&] {
        runGuarded(ctx_.boxes, [&] {
            processor_.takeArrivalStamp(chunk.arrival);
            handleReceivedChunk(ring_, chunk.bytes.data(), static_cast<int>(chunk.bytes.size()),
                                settings_.CodeFormat, processor_);
        });
        // The chunk may have set the clock, perhaps into another second: the tick looks at once
        // (one clock reading when nothing changed) and counts it as a new second if it is one.
        tickTimer_.rearmNow();
        ++chunksHandled_;
    });
}

// From inside the handler (a box it opened is dispatching) the join is left to a later call, at
// the latest the destructor's.
void TForm1::stopReceiver() { gate_.close(tcomm_); }

// --- Closing.

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
    if (ctx_.quitApplication) ctx_.quitApplication();
}

void TForm1::FormClose() {
    tcomm_.HoldReceiver();
    stopReceiver();
}

}  // namespace zrq
