// The main bar's controls, mouse handling, menu handlers (on the engine or the service), the
// hand-off of received chunks from the receiver thread to the engine, and the close handler.
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
#include <cstdio>

#include <optional>

#include "app/help_file.h"
#include "app/service_face.h"
#include "app/task_bar_exclusion.h"
#include "app/tray.h"

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
      PopupMenu1_(new PopupMenu1(this)),
      core_(CoreContext{.clock = ctx_.clock,
                        .serial = ctx_.serial,
                        .boxes = ctx_.boxes,
                        .workDir = ctx_.workDir,
                        .journal = ctx_.journal,
                        .timeServices = ctx_.timeServices,
                        .postHandOff =
                            [this](const ReceivedChunk& chunk) {
                                QMetaObject::invokeMethod(
                                    this, [this, &chunk] { core_.handleReceivedData(chunk); },
                                    Qt::BlockingQueuedConnection);
                            },
                        .runPostedCalls =
                            [] {
                                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents,
                                                                kDrainEventsMs);
                            },
                        .marks = PopupMenu1_},
            *this),
      services_(desktopShellServices()),
      tray_(new BarTray([this](const QPoint& at) { openPopupMenu(at); }, this)) {
    setObjectName("Form1");
    if (ctx_.service) {
        face_ = new ServiceFace(*ctx_.service, *this, ctx_.clock, ctx_.boxes);
        commands_ = face_;
    } else {
        engineCommands_ = std::make_unique<EngineCommands>(core_);
        commands_ = engineCommands_.get();
    }
    createControls();
    connectMenu();

    if (!face_) startTimer1();  // the face's own tick shows the labels only
    runGuarded(ctx_.boxes, [this] { FormCreate(); });
}

TForm1::~TForm1() {
    if (Timer1) Timer1->setEnabled(false);
    if (retryWatch_) retryWatch_->setEnabled(false);
    core_.stop();
}

// Enabled from creation on and due at once; its events run only once the event loop (or a
// message box of start-up) dispatches, and everything the tick reads is set before the first box.
void TForm1::startTimer1() {
    Timer1 = new QSocketNotifier(core_.tickDescriptor(), QSocketNotifier::Read, this);
    Timer1->setObjectName("Timer1");
    connect(Timer1, &QSocketNotifier::activated, this, [this] { core_.onTickReadable(); });
    if (core_.retryDescriptor() >= 0) {
        retryWatch_ = new QSocketNotifier(core_.retryDescriptor(), QSocketNotifier::Read, this);
        connect(retryWatch_, &QSocketNotifier::activated, this,
                [this] { runGuarded(ctx_.boxes, [this] { core_.onRetryReadable(); }); });
    }
    if (core_.tickTimerOk()) return;
    // Without timer descriptors: look every 2 ms, as the tick's rules allow.
    Timer1->setEnabled(false);
    auto* poll = new QTimer(this);
    poll->setTimerType(Qt::PreciseTimer);
    connect(poll, &QTimer::timeout, this, [this] { core_.tick(); });
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

// --- The engine's events.

void TForm1::timeShown(const std::string& ascii) {
    Label1->setText(QString::fromLatin1(ascii.data(), static_cast<qsizetype>(ascii.size())));
}

void TForm1::dateShown(const GbkText& text) {
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
    const GbkText message = commands_->statusMessage();  // as it is at the moment of the click
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
    runGuarded(ctx_.boxes, [&] { commands_->switchFormat(PopupMenu1::tagOf(item)); });
}

void TForm1::com11Click(QAction* item) {
    undoAutomaticToggle(item);
    runGuarded(ctx_.boxes, [&] { commands_->switchPort(PopupMenu1::tagOf(item)); });
}

void TForm1::N48001Click(QAction* item) {
    undoAutomaticToggle(item);
    runGuarded(ctx_.boxes, [&] { commands_->switchRate(PopupMenu1::tagOf(item)); });
}

void TForm1::N21Click() {
    undoAutomaticToggle(PopupMenu1_->N21);
    showDialog(dialogs_.port);
}

void TForm1::N6Click() { commands_->correctNow(); }

void TForm1::N16Click() {
    commands_->observe(true);
    showDialog(dialogs_.monitor);
}

void TForm1::N3Click() { showDialog(dialogs_.settings); }

// The face's switch changes once the service says so; the mark shows the switch as it stands.
void TForm1::N12Click() {
    commands_->setJumpLog(!commands_->jumpLog());
    PopupMenu1_->N12->setChecked(commands_->jumpLog());
}

void TForm1::N18Click() {
    commands_->setCommLog(!commands_->commLog());
    PopupMenu1_->N18->setChecked(commands_->commLog());
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

// --- Closing.

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
    if (ctx_.quitApplication) ctx_.quitApplication();
}

void TForm1::FormClose() { core_.stop(); }

// A line lost or back: the journal and standard error, no box.
void TForm1::notice(const std::string& utf8) {
    if (ctx_.journal) ctx_.journal->writeUtf8(utf8);
    std::fprintf(stderr, "zrq: %s\n", utf8.c_str());
    std::fflush(stderr);
}

}  // namespace zrq
