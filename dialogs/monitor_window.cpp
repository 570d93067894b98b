// The communication monitor window: its tool bar, its text area, saving the lines as GBK text,
// and observing that follows the window's activation.
#include "dialogs/monitor_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>

#include <cstdio>
#include <memory>

#include "dialogs/dialog_style.h"

namespace zrq {
namespace {

constexpr int kWindowWidth = 691;
constexpr int kWindowHeight = 469;
constexpr int kWindowFontPixels = 11;
constexpr int kMemoFontPixels = 13;
constexpr int kToolBarHeight = 33;
constexpr int kButtonWidth = 23;
constexpr int kButtonHeight = 22;
constexpr int kIconPixels = 16;
constexpr char kLineEnd[] = "\r\n";

QString qt(const char* utf8) { return QString::fromUtf8(utf8); }

enum class Glyph { Save, Clear, Stop, Continue };

// The button images, drawn rather than shipped; QIcon derives the disabled image from them.
QIcon drawIcon(Glyph glyph) {
    QPixmap pixmap(kIconPixels, kIconPixels);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (glyph) {
        case Glyph::Save:  // a diskette
            p.setPen(QColor(0, 0, 96));
            p.setBrush(QColor(40, 70, 160));
            p.drawRect(1, 1, 13, 13);
            p.setBrush(Qt::white);
            p.drawRect(4, 1, 7, 5);
            p.setBrush(QColor(200, 200, 200));
            p.drawRect(3, 9, 9, 5);
            break;
        case Glyph::Clear:  // a page with a red cross
            p.setPen(Qt::darkGray);
            p.setBrush(Qt::white);
            p.drawRect(2, 1, 10, 13);
            p.setPen(QPen(Qt::red, 2));
            p.drawLine(5, 5, 13, 13);
            p.drawLine(13, 5, 5, 13);
            break;
        case Glyph::Stop:  // a red square
            p.setPen(QColor(128, 0, 0));
            p.setBrush(QColor(220, 30, 30));
            p.drawRect(3, 3, 10, 10);
            break;
        case Glyph::Continue: {  // a green triangle
            QPainterPath path;
            path.moveTo(4, 2);
            path.lineTo(14, 8);
            path.lineTo(4, 14);
            path.closeSubpath();
            p.setPen(QColor(0, 100, 0));
            p.setBrush(QColor(30, 170, 30));
            p.drawPath(path);
            break;
        }
    }
    return QIcon(pixmap);
}

// Closes the file on every path out of writeLinesCrLf.
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

QString withDefaultTextSuffix(const QString& path) {
    if (QFileInfo(path).fileName().contains(QLatin1Char('.'))) return path;
    return path + QStringLiteral(".txt");
}

bool writeLinesCrLf(const QString& path, const std::deque<GbkText>& lines) {
    std::unique_ptr<std::FILE, FileCloser> file(
        std::fopen(QFile::encodeName(path).constData(), "wb"));
    if (!file) return false;
    for (const GbkText& line : lines) {
        const std::string& bytes = line.bytes();
        if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return false;
        if (std::fwrite(kLineEnd, 1, 2, file.get()) != 2) return false;
    }
    // Data still buffered is written by the close, which is where a full disk shows.
    return std::fclose(file.release()) == 0;
}

TForm3::TForm3(StatusState& status, MessageBoxes& boxes, QWidget* parent)
    : QDialog(parent), status_(status), boxes_(boxes) {
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(qt("通讯观测"));
    setWindowFlag(Qt::WindowStaysOnTopHint);
    setWindowFlag(Qt::WindowMaximizeButtonHint);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setFont(sansSerifFont(kWindowFontPixels));
    resize(kWindowWidth, kWindowHeight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    createToolBar();
    createMemo();
    createSaveDialog();
    chooseFile_ = [this] { return askSaveDialog(); };
    centreOnDesktop();
}

void TForm3::createToolBar() {
    auto* bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("ControlBar1"));
    bar->setFixedHeight(kToolBarHeight);
    struct Spec {
        QToolButton** button;
        const char* name;
        int left;
        const char* tip;
        Glyph glyph;
        void (TForm3::*handler)();
    };
    const Spec specs[] = {
        {&SpeedButton1, "SpeedButton1", 12, "输出到文件", Glyph::Save, &TForm3::SpeedButton1Click},
        {&SpeedButton3, "SpeedButton3", 48, "清空", Glyph::Clear, &TForm3::SpeedButton3Click},
        {&SpeedButton2, "SpeedButton2", 84, "停止观测", Glyph::Stop, &TForm3::SpeedButton2Click},
        {&SpeedButton4, "SpeedButton4", 120, "继续观测", Glyph::Continue,
         &TForm3::SpeedButton4Click},
    };
    for (const Spec& s : specs) {
        auto* button = new QToolButton(bar);
        button->setObjectName(QLatin1String(s.name));
        button->setToolTip(qt(s.tip));
        button->setIcon(drawIcon(s.glyph));
        button->setAutoRaise(true);
        button->setGeometry(s.left, (kToolBarHeight - kButtonHeight) / 2, kButtonWidth,
                            kButtonHeight);
        connect(button, &QToolButton::clicked, this, s.handler);
        *s.button = button;
    }
    layout()->addWidget(bar);
}

void TForm3::createMemo() {
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setFont(sansSerifFont(kMemoFontPixels));
    Memo1->setReadOnly(true);
    Memo1->setUndoRedoEnabled(false);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setMaximumBlockCount(static_cast<int>(kMonitorLineCap));
    layout()->addWidget(Memo1);
}

void TForm3::createSaveDialog() {
    SaveDialog1 = new QFileDialog(this);
    SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    SaveDialog1->setNameFilter(qt("文本文件 (*.txt)"));
    SaveDialog1->setDefaultSuffix(QStringLiteral("txt"));
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite);
}

void TForm3::centreOnDesktop() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // The whole window, frame included, stands in the middle.
    QRect frame(QPoint(0, 0), frameGeometry().size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

std::optional<QString> TForm3::askSaveDialog() {
    if (SaveDialog1->exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = SaveDialog1->selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    return files.front();
}

void TForm3::appendLine(const GbkText& line) {
    lines_.push_back(line);
    if (lines_.size() > kMonitorLineCap) lines_.pop_front();
    // The view drops its first block past the same cap, so both stay line for line alike.
    Memo1->appendPlainText(QString::fromStdString(line.toUtf8()));
}

bool TForm3::event(QEvent* event) {
    // Created before the window manager framed it, the window was centred without its frame;
    // centred again once, as soon as the frame is known.
    if (event->type() == QEvent::WindowActivate && !centredWithFrame_ &&
        frameGeometry().size() != size()) {
        centredWithFrame_ = true;
        centreOnDesktop();
    }
    if (event->type() == QEvent::WindowActivate) FormActivate();
    if (event->type() == QEvent::WindowDeactivate) FormDeactivate();
    return QDialog::event(event);
}

void TForm3::closeEvent(QCloseEvent* event) {
    FormClose();
    QDialog::closeEvent(event);
}

// Escape closes a dialog without a close event; it is a close all the same.
void TForm3::done(int result) {
    FormClose();
    QDialog::done(result);
}

void TForm3::FormActivate() { status_.MonitorActive = true; }

// Only a window of this program taking over ends observing; switching to another program
// leaves the monitor running.
void TForm3::FormDeactivate() {
    QWidget* nowActive = QApplication::activeWindow();
    if (nowActive && nowActive != this) status_.MonitorActive = false;
}

void TForm3::FormClose() { status_.MonitorActive = false; }

void TForm3::SpeedButton1Click() {
    std::optional<QString> chosen = chooseFile_ ? chooseFile_() : std::nullopt;
    if (!chosen) return;
    bool saved = writeLinesCrLf(withDefaultTextSuffix(*chosen), lines_);
    boxes_.plain(gbk(saved ? "保存成功~！" : "保存失败~！"));
}

void TForm3::SpeedButton2Click() { status_.MonitorActive = false; }

void TForm3::SpeedButton3Click() {
    lines_.clear();
    Memo1->clear();
}

void TForm3::SpeedButton4Click() { status_.MonitorActive = true; }

}  // namespace zrq
