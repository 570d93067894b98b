// TForm3, "通讯观测": shows the monitor lines of the received-data handler, clears and saves them,
// and says whether it is observing.
#pragma once

#include <QDialog>
#include <QString>

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "base/gbk_text.h"
#include "base/message_boxes.h"
#include "timecode/monitor_lines.h"

class QAbstractFileIconProvider;
class QFileDialog;
class QToolButton;

namespace zrq {

class MonitorView;

// Lines kept for the whole run; the oldest go first. The communication log keeps everything.
inline constexpr std::size_t kMonitorLineCap = 100'000;

class TForm3 : public QDialog, public MonitorLines {
    Q_OBJECT
public:
    // Asks the user for a file to save into; nothing when the user cancels.
    using FileChooser = std::function<std::optional<QString>()>;

    // Says whether the window is observing (the engine's MonitorActive).
    using Observe = std::function<void(bool on)>;

    TForm3(Observe observe, MessageBoxes& boxes, QWidget* parent = nullptr);
    ~TForm3() override;

    // Appends one GBK line at the end (the received-data handler's only way in).
    void appendLine(const GbkText& line) override;
    const std::deque<GbkText>& lines() const { return lines_; }

    // Replaces SaveDialog1 as the way the file is chosen (tests answer without a dialog).
    void setFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }

    void FormActivate();
    void FormDeactivate();
    void FormClose();
    void SpeedButton1Click();  // "输出到文件"
    void SpeedButton2Click();  // "停止观测"
    void SpeedButton3Click();  // "清空"
    void SpeedButton4Click();  // "继续观测"

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void done(int result) override;

private:
    void createToolBar();
    void createMemo();
    void createSaveDialog();
    void centreOnDesktop();
    std::optional<QString> askSaveDialog();

    Observe observe_;
    MessageBoxes& boxes_;
    std::deque<GbkText> lines_;  // held once, as GBK bytes: what the view shows and a save writes
    FileChooser chooseFile_;
    // SaveDialog1's icons and types, taken from names only: the dialog never opens what it lists.
    std::unique_ptr<QAbstractFileIconProvider> fileIcons_;
    bool centredWithFrame_ = false;  // centred again once the window manager's frame was known

    QToolButton* SpeedButton1 = nullptr;
    QToolButton* SpeedButton2 = nullptr;
    QToolButton* SpeedButton3 = nullptr;
    QToolButton* SpeedButton4 = nullptr;
    MonitorView* Memo1 = nullptr;
    QFileDialog* SaveDialog1 = nullptr;
};

// The path with ".txt" added when its file name has no extension ("log" -> "log.txt").
QString withDefaultTextSuffix(const QString& path);

// Writes each line's bytes followed by CR LF, replacing the file's content; false on any failure.
bool writeLinesCrLf(const QString& path, const std::deque<GbkText>& lines);

}  // namespace zrq
