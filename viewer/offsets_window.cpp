// The offsets window: reads the chosen day's record again whenever the file or its folder
// changes, and draws made corrections as a line of points and refused ones as red marks.
#include "viewer/offsets_window.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPushButton>
#include <QScatterSeries>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

#include "timecode/offset_statistics.h"

namespace zrq {
namespace {

constexpr double kMsPerHour = 3600.0 * 1000.0;
constexpr double kHoursPerDay = 24;
constexpr int kWholeDayTicks = 13;  // every two hours
constexpr double kSmallestOffsetSpanMs = 1;
constexpr double kOffsetMargin = 0.1;  // of the offsets' span, above and below
constexpr int kWindowWidth = 900;
constexpr int kWindowHeight = 540;
constexpr qreal kMadeLineWidth = 1.5;
constexpr qreal kMadeMarkerSize = 6;
constexpr qreal kRefusedMarkerSize = 12;
// More made corrections than this across the chart's width show as a line alone: their marks
// would merge into a band.
constexpr int kMostMarkedPoints = 300;
const QColor kMadeColour(0x1f, 0x5f, 0xbf);
const QColor kRefusedColour(0xd0, 0x10, 0x10);

QString dayText(const std::string& day) {
    LocalTimeRecord date;
    if (!parseRecordDay(day, &date)) return QString::fromStdString(day);
    return QString::asprintf("%04u-%02u-%02u", unsigned{date.year}, unsigned{date.month},
                             unsigned{date.day});
}

QString ms(double value) { return QString::fromStdString(decimalText(value, 1, false)); }

QString chooseWithDialog(QWidget* parent, const QString& suggested) {
    return QFileDialog::getSaveFileName(parent, QStringLiteral("保存图片"), suggested,
                                        QStringLiteral("PNG 图片 (*.png)"));
}

}  // namespace

OffsetsChartView::OffsetsChartView(QChart* chart, QWidget* parent) : QChartView(chart, parent) {
    setRubberBand(QChartView::HorizontalRubberBand);
    setRenderHint(QPainter::Antialiasing);
}

void OffsetsChartView::mouseReleaseEvent(QMouseEvent* event) {
    // The view's own right button zooms out by half; back to the whole day is what people want.
    if (event->button() == Qt::RightButton) {
        emit wholeDayRequested();
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
}

QString statisticsLine(const std::vector<RecordedAttempt>& attempts) {
    const OffsetStatistics s = offsetStatistics(attempts);
    QString line = QStringLiteral("已校时 %1 次，被拒绝 %2 次").arg(s.made).arg(s.refused);
    if (s.medianAbsOffsetMs && s.maxAbsOffsetMs) {
        line += QStringLiteral(" · 偏差中位数 %1 ms，最大 %2 ms")
                    .arg(ms(*s.medianAbsOffsetMs), ms(*s.maxAbsOffsetMs));
    }
    if (s.ratePpm) {
        const double rate = *s.ratePpm;
        const QString ppm = QString::fromStdString(decimalText(std::fabs(rate), 1, false));
        const QString perDay = QString::fromStdString(decimalText(secondsPerDay(rate), 2, true));
        // A rate that shows as zero has no direction.
        const QString direction = ppm == QLatin1String("0.0") ? QStringLiteral("PC 走时")
                                  : rate > 0                  ? QStringLiteral("PC 快")
                                                              : QStringLiteral("PC 慢");
        line += QStringLiteral(" · %1 %2 ppm（每天 %3 s）").arg(direction, ppm, perDay);
    } else {
        line += QStringLiteral(" · 走时快慢：需要相邻两次校时");
    }
    return line;
}

OffsetsWindow::OffsetsWindow(std::string folder, std::function<std::string()> today,
                             QWidget* parent)
    : QWidget(parent),
      folder_(std::move(folder)),
      today_(std::move(today)),
      chooseSavePath_(chooseWithDialog) {
    setWindowTitle(QStringLiteral("校时记录"));
    buildChart();

    previous_ = new QPushButton(QStringLiteral("◀ 前一天"));
    next_ = new QPushButton(QStringLiteral("后一天 ▶"));
    dayChooser_ = new QComboBox;
    auto* reset = new QPushButton(QStringLiteral("整天"));
    reset->setToolTip(QStringLiteral("用鼠标左键在图上横拉可放大一段时间；右键或此按钮回到整天"));
    auto* save = new QPushButton(QStringLiteral("保存图片"));
    statistics_ = new QLabel;
    statistics_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    notice_ = new QLabel;
    notice_->setWordWrap(true);

    auto* controls = new QHBoxLayout;
    controls->addWidget(previous_);
    controls->addWidget(dayChooser_);
    controls->addWidget(next_);
    controls->addStretch();
    controls->addWidget(reset);
    controls->addWidget(save);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(view_, 1);
    layout->addWidget(statistics_);
    layout->addWidget(notice_);
    resize(kWindowWidth, kWindowHeight);

    connect(previous_, &QPushButton::clicked, this,
            [this] { dayChooser_->setCurrentIndex(dayChooser_->currentIndex() - 1); });
    connect(next_, &QPushButton::clicked, this,
            [this] { dayChooser_->setCurrentIndex(dayChooser_->currentIndex() + 1); });
    connect(dayChooser_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0) showDay(dayChooser_->itemData(index).toString().toStdString());
    });
    connect(reset, &QPushButton::clicked, this, &OffsetsWindow::showWholeDay);
    connect(view_, &OffsetsChartView::wholeDayRequested, this, &OffsetsWindow::showWholeDay);
    connect(save, &QPushButton::clicked, this, [this] { savePicture(); });

    // The bar appends to the file; an editor or a copy may replace it (the watcher then drops
    // the path, so it is added again), and today's file appears with the day's first attempt.
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this] {
        reload();
        watchShownFile();
    });
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] {
        rescanDays();
        if (!watcher_.files().contains(
                QString::fromStdString(offsetRecordPath(folder_, shownDay_)))) {
            reload();
            watchShownFile();
        }
    });
    watcher_.addPath(QString::fromStdString(folder_));

    // Today's record when there is one, else the latest there is.
    const std::vector<std::string> present = offsetRecordDays(folder_);
    const std::string today0 = today_();
    const bool todayPresent = std::find(present.begin(), present.end(), today0) != present.end();
    shownDay_ = todayPresent || present.empty() ? today0 : present.back();
    rescanDays();
    reload();
    watchShownFile();
}

void OffsetsWindow::buildChart() {
    chart_ = new QChart;
    chart_->legend()->setAlignment(Qt::AlignBottom);
    made_ = new QLineSeries;
    made_->setName(QStringLiteral("已校时"));
    made_->setPen(QPen(kMadeColour, kMadeLineWidth));
    made_->setPointsVisible(true);
    made_->setMarkerSize(kMadeMarkerSize);
    refused_ = new QScatterSeries;
    refused_->setName(QStringLiteral("被拒绝"));
    refused_->setMarkerShape(QScatterSeries::MarkerShapeRotatedRectangle);
    refused_->setMarkerSize(kRefusedMarkerSize);
    refused_->setColor(kRefusedColour);
    refused_->setBorderColor(kRefusedColour.darker());
    chart_->addSeries(made_);
    chart_->addSeries(refused_);

    timeAxis_ = new QValueAxis;
    timeAxis_->setTitleText(QStringLiteral("时刻（时）"));
    offsetAxis_ = new QValueAxis;
    offsetAxis_->setTitleText(QStringLiteral("偏差（ms，正 = PC 快）"));
    offsetAxis_->setLabelFormat(QStringLiteral("%.1f"));
    chart_->addAxis(timeAxis_, Qt::AlignBottom);
    chart_->addAxis(offsetAxis_, Qt::AlignLeft);
    for (QXYSeries* series : {static_cast<QXYSeries*>(made_), static_cast<QXYSeries*>(refused_)}) {
        series->attachAxis(timeAxis_);
        series->attachAxis(offsetAxis_);
    }
    connect(timeAxis_, &QValueAxis::rangeChanged, this, [this] {
        updateTimeLabels();
        updatePointMarks();
    });
    timeAxis_->setRange(0, kHoursPerDay);
    timeAxis_->setTickCount(kWholeDayTicks);
    view_ = new OffsetsChartView(chart_, this);
}

std::vector<std::string> OffsetsWindow::days() const {
    std::vector<std::string> out;
    for (int i = 0; i < dayChooser_->count(); ++i) {
        out.push_back(dayChooser_->itemData(i).toString().toStdString());
    }
    return out;
}

// The days with a record, and today even before its first attempt. A window that showed the
// newest record (or today) moves on to a newer record when one appears: today's first attempt,
// or the next day's at midnight.
void OffsetsWindow::rescanDays() {
    const std::vector<std::string> before = days();
    const std::vector<std::string> present = offsetRecordDays(folder_);
    std::vector<std::string> now = present;
    const std::string today = today_();
    if (std::find(now.begin(), now.end(), today) == now.end()) now.push_back(today);
    std::sort(now.begin(), now.end());
    if (now == before && present == present_) return;
    const bool onNewest = (!before.empty() && shownDay_ == before.back()) ||
                          (!present_.empty() && shownDay_ == present_.back());
    std::string chosen = shownDay_;
    if (onNewest && !present.empty() && present.back() > shownDay_) chosen = present.back();
    present_ = present;
    // A day that was shown but is gone (its file removed) stays until another is chosen.
    if (std::find(now.begin(), now.end(), chosen) == now.end()) {
        now.push_back(chosen);
        std::sort(now.begin(), now.end());
    }

    const QSignalBlocker block(dayChooser_);
    dayChooser_->clear();
    for (const std::string& day : now) {
        const QString text = dayText(day) + (day == today ? QStringLiteral("（今天）") : QString());
        dayChooser_->addItem(text, QString::fromStdString(day));
    }
    dayChooser_->setCurrentIndex(dayChooser_->findData(QString::fromStdString(chosen)));
    if (chosen != shownDay_) {
        showDay(chosen);
    } else {
        updateDayButtons();
    }
}

void OffsetsWindow::showDay(const std::string& day) {
    if (day != shownDay_) chart_->zoomReset();
    shownDay_ = day;
    {
        const QSignalBlocker block(dayChooser_);
        dayChooser_->setCurrentIndex(dayChooser_->findData(QString::fromStdString(day)));
    }
    updateDayButtons();
    reload();
    watchShownFile();
}

// Back from a zoom: the offsets' range is fitted again to what the record holds by now.
void OffsetsWindow::showWholeDay() {
    chart_->zoomReset();
    reload();
}

void OffsetsWindow::updateDayButtons() {
    const int index = dayChooser_->currentIndex();
    previous_->setEnabled(index > 0);
    next_->setEnabled(index >= 0 && index + 1 < dayChooser_->count());
}

void OffsetsWindow::watchShownFile() {
    const QStringList watched = watcher_.files();
    if (!watched.isEmpty()) watcher_.removePaths(watched);
    const QString path = QString::fromStdString(offsetRecordPath(folder_, shownDay_));
    if (QFileInfo::exists(path)) watcher_.addPath(path);
}

void OffsetsWindow::reload() {
    const std::string path = offsetRecordPath(folder_, shownDay_);
    showRecord(readOffsetRecord(path), path);
}

void OffsetsWindow::showRecord(const std::optional<RecordedDay>& record, const std::string& path) {
    chart_->setTitle(dayText(shownDay_));
    QList<QPointF> made;
    QList<QPointF> refused;
    int refusedWithoutOffset = 0;
    if (record) {
        for (const RecordedAttempt& a : record->attempts) {
            if (!a.offsetMs) {
                refusedWithoutOffset += a.made ? 0 : 1;
                continue;
            }
            (a.made ? made : refused).append(QPointF(a.msOfDay / kMsPerHour, *a.offsetMs));
        }
    }
    made_->replace(made);
    refused_->replace(refused);
    if (record) fitAxes(*record);
    updatePointMarks();

    if (!record) {
        statistics_->setText(statisticsLine({}));
        notice_->setText((shownDay_ == today_() ? QStringLiteral("今天还没有记录文件：")
                                                : QStringLiteral("没有这一天的记录文件：")) +
                         QString::fromStdString(path));
        return;
    }
    statistics_->setText(statisticsLine(record->attempts));
    QStringList notes;
    if (record->attempts.empty() && record->skippedLines == 0) {
        notes << QStringLiteral("记录里还没有校时");
    }
    if (record->skippedLines > 0) {
        notes << QStringLiteral("%1 行读不懂，已跳过").arg(record->skippedLines);
    }
    if (refusedWithoutOffset > 0) {
        notes << QStringLiteral("%1 次被拒绝的校时没有偏差，图上未画").arg(refusedWithoutOffset);
    }
    if (record->cutShort) {
        notes << QStringLiteral("文件过大，只读了开头 %1 MB").arg(kMaxRecordBytes >> 20);
    }
    notice_->setText(notes.join(QStringLiteral("；")));
}

// The whole day across, the offsets (and zero) from top to bottom; a zoomed chart keeps its
// range while the record grows.
void OffsetsWindow::fitAxes(const RecordedDay& record) {
    if (chart_->isZoomed()) return;
    double low = 0;
    double high = 0;
    for (const RecordedAttempt& a : record.attempts) {
        if (!a.offsetMs) continue;
        low = std::min(low, *a.offsetMs);
        high = std::max(high, *a.offsetMs);
    }
    const double margin = std::max(high - low, kSmallestOffsetSpanMs) * kOffsetMargin;
    offsetAxis_->setRange(low - margin, high + margin);
    offsetAxis_->applyNiceNumbers();
    timeAxis_->setRange(0, kHoursPerDay);
    timeAxis_->setTickCount(kWholeDayTicks);
}

// Whole hours for the day, tenths or hundredths of an hour when zoomed in.
void OffsetsWindow::updateTimeLabels() {
    const double span = timeAxis_->max() - timeAxis_->min();
    timeAxis_->setLabelFormat(span >= 6     ? QStringLiteral("%.0f")
                              : span >= 0.6 ? QStringLiteral("%.1f")
                                            : QStringLiteral("%.2f"));
}

void OffsetsWindow::updatePointMarks() {
    const double from = timeAxis_->min();
    const double to = timeAxis_->max();
    const QList<QPointF> points = made_->points();
    const auto shown = std::count_if(points.begin(), points.end(), [&](const QPointF& p) {
        return p.x() >= from && p.x() <= to;
    });
    made_->setPointsVisible(shown <= kMostMarkedPoints);
}

bool OffsetsWindow::savePicture() {
    const QString suggested =
        QDir::home().filePath(QString::fromStdString(shownDay_) + QStringLiteral("O.png"));
    const QString path = chooseSavePath_(this, suggested);
    if (path.isEmpty()) return false;
    const bool saved = view_->grab().save(path, "PNG");
    notice_->setText((saved ? QStringLiteral("图片已保存：") : QStringLiteral("图片未能保存：")) +
                     path);
    return saved;
}

QString OffsetsWindow::statisticsText() const { return statistics_->text(); }
QString OffsetsWindow::noticeText() const { return notice_->text(); }

}  // namespace zrq
