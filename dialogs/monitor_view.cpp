// The monitor's text area: each paint converts and lays out only the lines in sight, so the
// lines cost their GBK bytes and nothing more while they are out of sight.
#include "dialogs/monitor_view.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextLayout>
#include <algorithm>

namespace zrq {
namespace {

// Space between the text and the view's edges, in pixels, as a text document leaves it.
constexpr qreal kMargin = 4;

QString shownText(const GbkText& line) {
    const std::string& bytes = line.bytes();
    const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0x80) == 0;
    });
    if (ascii) return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    return QString::fromStdString(line.toUtf8());
}

}  // namespace

MonitorView::MonitorView(const std::deque<GbkText>& lines, QWidget* parent)
    : QAbstractScrollArea(parent), lines_(lines) {
    verticalScrollBar()->setRange(0, 0);
    verticalScrollBar()->setSingleStep(1);
}

void MonitorView::linesChanged(std::size_t dropped) {
    QScrollBar* bar = verticalScrollBar();
    followEnd_ = bar->value() >= bar->maximum();
    dropFromSelection(dropped);
    if (!followEnd_ && dropped > 0) {
        // The lines in sight stay in sight while older ones go.
        const QSignalBlocker quiet(bar);
        bar->setValue(std::max(0, bar->value() - static_cast<int>(dropped)));
    }
    rangeStale_ = true;
    viewport()->update();
}

void MonitorView::linesCleared() {
    const QSignalBlocker quiet(verticalScrollBar());
    verticalScrollBar()->setRange(0, 0);
    followEnd_ = true;
    anchor_ = cursor_ = kNoLine;
    rangeStale_ = true;
    viewport()->update();
}

QStringList MonitorView::visibleLines() {
    QStringList shown;
    forEachVisibleLine(
        [&](std::size_t, QTextLayout& layout, qreal) { shown.append(layout.text()); });
    return shown;
}

void MonitorView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const QPalette& colours = palette();
    forEachVisibleLine([&](std::size_t index, QTextLayout& layout, qreal top) {
        const bool selected = isSelected(index);
        if (selected) {
            const qreal height = layout.boundingRect().height();
            painter.fillRect(QRectF(0, top, viewport()->width(), height),
                             colours.color(QPalette::Highlight));
        }
        painter.setPen(colours.color(selected ? QPalette::HighlightedText : QPalette::Text));
        layout.draw(&painter, QPointF(kMargin, top));
    });
}

void MonitorView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    rangeStale_ = true;
}

void MonitorView::scrollContentsBy(int, int) {
    followEnd_ = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    viewport()->update();
}

void MonitorView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const std::size_t line = lineAt(event->position().y());
    cursor_ = line;
    if (!(event->modifiers() & Qt::ShiftModifier) || anchor_ == kNoLine) anchor_ = line;
    viewport()->update();
}

void MonitorView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton) || anchor_ == kNoLine) return;
    cursor_ = lineAt(event->position().y());
    viewport()->update();
}

void MonitorView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
    } else if (event->matches(QKeySequence::SelectAll) && !lines_.empty()) {
        anchor_ = 0;
        cursor_ = lines_.size() - 1;
        viewport()->update();
    } else {
        QAbstractScrollArea::keyPressEvent(event);
    }
}

// The line under a point of the view; below the last line in sight, that line.
std::size_t MonitorView::lineAt(qreal y) {
    std::size_t found = kNoLine;
    forEachVisibleLine([&](std::size_t index, QTextLayout&, qreal top) {
        if (top <= y || found == kNoLine) found = index;
    });
    return found;
}

bool MonitorView::isSelected(std::size_t index) const {
    return anchor_ != kNoLine && index >= std::min(anchor_, cursor_) &&
           index <= std::max(anchor_, cursor_);
}

// Keeps the selection on its lines while the oldest lines leave the list.
void MonitorView::dropFromSelection(std::size_t dropped) {
    if (anchor_ == kNoLine || dropped == 0) return;
    if (std::max(anchor_, cursor_) < dropped) {
        anchor_ = cursor_ = kNoLine;
        return;
    }
    anchor_ = anchor_ < dropped ? 0 : anchor_ - dropped;
    cursor_ = cursor_ < dropped ? 0 : cursor_ - dropped;
}

void MonitorView::copySelection() const {
    if (anchor_ == kNoLine) return;
    QStringList text;
    for (std::size_t i = std::min(anchor_, cursor_); i <= std::max(anchor_, cursor_); ++i) {
        text.append(shownText(lines_[i]));
    }
    QGuiApplication::clipboard()->setText(text.join(QLatin1Char('\n')));
}

void MonitorView::forEachVisibleLine(
    const std::function<void(std::size_t index, QTextLayout&, qreal top)>& visit) {
    updateScrollRange();
    const qreal bottom = viewport()->height();
    qreal top = kMargin;
    for (auto index = static_cast<std::size_t>(verticalScrollBar()->value());
         index < lines_.size() && top < bottom; ++index) {
        QTextLayout layout(shownText(lines_[index]), font(), viewport());
        layOut(layout);
        visit(index, layout, top);
        top += layout.boundingRect().height();
    }
}

// Breaks the text into rows at the view's width: at word boundaries, inside a word only when
// the word alone is wider.
void MonitorView::layOut(QTextLayout& layout) const {
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    const qreal width = std::max<qreal>(1, viewport()->width() - 2 * kMargin);
    qreal y = 0;
    layout.beginLayout();
    for (QTextLine row = layout.createLine(); row.isValid(); row = layout.createLine()) {
        row.setLeadingIncluded(true);
        row.setLineWidth(width);
        row.setPosition(QPointF(0, y));
        y += row.height();
    }
    layout.endLayout();
}

qreal MonitorView::heightOf(std::size_t index) {
    QTextLayout layout(shownText(lines_[index]), font(), viewport());
    layOut(layout);
    return layout.boundingRect().height();
}

// The top line that puts the last line at the bottom of the view: the end of the scroll range.
std::size_t MonitorView::lastTopLine() {
    if (lines_.empty()) return 0;
    const qreal room = viewport()->height() - 2 * kMargin;
    qreal used = 0;
    std::size_t top = lines_.size();
    while (top > 0) {
        used += heightOf(top - 1);
        if (used > room) break;
        --top;
    }
    return std::min(top, lines_.size() - 1);
}

// Done at the next paint, not per line: a flood of lines sets the range once per frame drawn.
void MonitorView::updateScrollRange() {
    if (!rangeStale_) return;
    rangeStale_ = false;
    QScrollBar* bar = verticalScrollBar();
    const QSignalBlocker quiet(bar);
    const int last = static_cast<int>(lastTopLine());
    bar->setRange(0, last);
    bar->setPageStep(std::max(1, viewport()->height() / std::max(1, fontMetrics().lineSpacing())));
    if (followEnd_) bar->setValue(last);
}

}  // namespace zrq
