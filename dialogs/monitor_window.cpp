// The communication monitor window: its tool bar, its text area, saving the lines as GBK text,
// and observing that follows the window's activation.
#include "dialogs/monitor_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMimeDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>

#include <malloc.h>

#include <cstdio>
#include <memory>

#include "dialogs/dialog_style.h"
#include "dialogs/monitor_view.h"

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

// Icons and type names for the save dialog from what a file's name and stat say. The toolkit's
// own provider asks the MIME database, which reads a regular file's first bytes when its name
// does not decide: typed into the dialog, a path such as /proc/kmsg would block the
// user-interface thread in that read for good.
class NameOnlyIconProvider final : public QFileIconProvider {
public:
    QIcon icon(const QFileInfo& info) const override {
        if (info.isRoot()) return QFileIconProvider::icon(Drive);
        return QFileIconProvider::icon(info.isDir() ? Folder : File);
    }
    QString type(const QFileInfo& info) const override {
        if (!info.isFile()) return QFileIconProvider::type(info);  // folders and links: no reads
        return names_.mimeTypeForFile(info.fileName(), QMimeDatabase::MatchExtension).comment();
    }

private:
    QMimeDatabase names_;
};

// Hands the pages of freed memory back to the system; the lines of a full monitor leave many
// small blocks that the allocator would otherwise keep for the process.
void releaseFreedMemory() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
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

TForm3::TForm3(Observe observe, MessageBoxes& boxes, QWidget* parent)
    : QDialog(parent), observe_(std::move(observe)), boxes_(boxes) {
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

// The dialog goes before the icon provider it uses.
TForm3::~TForm3() { delete SaveDialog1; }

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
    Memo1 = new MonitorView(lines_, this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setFont(sansSerifFont(kMemoFontPixels));
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
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
    // The toolkit's own dialog, whose listing this program controls (a desktop's dialog may
    // look into files to type them).
    SaveDialog1->setOption(QFileDialog::DontUseNativeDialog);
    fileIcons_ = std::make_unique<NameOnlyIconProvider>();
    SaveDialog1->setIconProvider(fileIcons_.get());
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
    std::size_t dropped = 0;
    if (lines_.size() > kMonitorLineCap) {
        lines_.pop_front();
        dropped = 1;
    }
    Memo1->linesChanged(dropped);
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

void TForm3::FormActivate() { observe_(true); }

// Only a window of this program taking over ends observing; switching to another program
// leaves the monitor running.
void TForm3::FormDeactivate() {
    QWidget* nowActive = QApplication::activeWindow();
    if (nowActive && nowActive != this) observe_(false);
}

void TForm3::FormClose() { observe_(false); }

void TForm3::SpeedButton1Click() {
    std::optional<QString> chosen = chooseFile_ ? chooseFile_() : std::nullopt;
    if (!chosen) return;
    bool saved = writeLinesCrLf(withDefaultTextSuffix(*chosen), lines_);
    boxes_.plain(gbk(saved ? "保存成功~！" : "保存失败~！"));
}

void TForm3::SpeedButton2Click() { observe_(false); }

void TForm3::SpeedButton3Click() {
    std::deque<GbkText>().swap(lines_);  // gives back the deque's blocks too
    Memo1->linesCleared();
    releaseFreedMemory();
}

void TForm3::SpeedButton4Click() { observe_(true); }

}  // namespace zrq
