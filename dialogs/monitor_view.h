// The monitor window's text area: shows the window's own list of GBK lines without a copy of
// them, laying out only the lines in sight, each wrapped at the view's width.
#pragma once

#include <QAbstractScrollArea>
#include <QStringList>
#include <cstddef>
#include <deque>
#include <functional>

#include "base/gbk_text.h"

class QTextLayout;

namespace zrq {

// Read-only. The vertical scroll bar counts whole lines: its value is the line at the top.
// While it is at its end, the view follows the lines that come in, as a log view does. Whole
// lines can be selected with the mouse (and Ctrl+A) and copied with Ctrl+C.
class MonitorView final : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit MonitorView(const std::deque<GbkText>& lines, QWidget* parent = nullptr);

    // Call after lines were appended at the end and `dropped` lines left the front. Only marks
    // the view for its next paint, so a hidden view costs nothing per line.
    void linesChanged(std::size_t dropped);
    // Call after the list was emptied.
    void linesCleared();

    // The lines in sight, top to bottom, as they are shown.
    QStringList visibleLines();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    static constexpr std::size_t kNoLine = static_cast<std::size_t>(-1);

    // Calls `visit` with each line in sight: its index, its layout and the top of its first row.
    void forEachVisibleLine(
        const std::function<void(std::size_t index, QTextLayout&, qreal top)>& visit);
    std::size_t lineAt(qreal y);
    bool isSelected(std::size_t index) const;
    void dropFromSelection(std::size_t dropped);
    void copySelection() const;
    void layOut(QTextLayout& layout) const;
    qreal heightOf(std::size_t index);
    std::size_t lastTopLine();
    void updateScrollRange();

    const std::deque<GbkText>& lines_;
    bool rangeStale_ = true;  // lines or size changed since the scroll bar's range was set
    bool followEnd_ = true;   // the view was at the end of the lines at the last change
    // The selected lines run from the anchor (where the mouse went down) to the cursor.
    std::size_t anchor_ = kNoLine;
    std::size_t cursor_ = kNoLine;
};

}  // namespace zrq
