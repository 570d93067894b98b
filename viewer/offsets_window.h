// The window "校时记录": the chosen day's offsets as a chart, a day chooser, the day's
// statistics, and the record followed as the bar writes it.
#pragma once

#include <QChartView>
#include <QFileSystemWatcher>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "timecode/offset_reading.h"

class QComboBox;
class QLabel;
class QLineSeries;
class QPushButton;
class QScatterSeries;
class QValueAxis;

namespace zrq {

// A chart view that zooms into the time range swept with the left button, and asks for the
// whole day again with the right button.
class OffsetsChartView final : public QChartView {
    Q_OBJECT
public:
    explicit OffsetsChartView(QChart* chart, QWidget* parent = nullptr);

signals:
    void wholeDayRequested();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

class OffsetsWindow final : public QWidget {
    Q_OBJECT
public:
    // Asks where to save the picture; an empty answer saves nothing. Tests answer without a
    // dialog.
    using SavePathChooser = std::function<QString(QWidget* parent, const QString& suggested)>;

    // Shows the records of `folder`; `today` gives the "yymmdd" of the current local date.
    OffsetsWindow(std::string folder, std::function<std::string()> today,
                  QWidget* parent = nullptr);

    void setSavePathChooser(SavePathChooser chooser) { chooseSavePath_ = std::move(chooser); }

    // The day shown ("yymmdd") and the days to choose from, oldest first.
    const std::string& shownDay() const { return shownDay_; }
    std::vector<std::string> days() const;
    void showDay(const std::string& day);

    // "保存图片": the chart as a PNG where the chooser says; false when nothing was written.
    bool savePicture();

    QChartView* chartView() const { return view_; }
    QLineSeries* madeSeries() const { return made_; }
    QScatterSeries* refusedSeries() const { return refused_; }
    QValueAxis* timeAxis() const { return timeAxis_; }
    QValueAxis* offsetAxis() const { return offsetAxis_; }
    QString statisticsText() const;
    QString noticeText() const;

private:
    void buildChart();
    void showWholeDay();
    void rescanDays();
    void reload();
    void showRecord(const std::optional<RecordedDay>& record, const std::string& path);
    void fitAxes(const RecordedDay& record);
    void watchShownFile();
    void updateDayButtons();
    void updateTimeLabels();
    void updatePointMarks();

    std::string folder_;
    std::function<std::string()> today_;
    std::string shownDay_;
    std::vector<std::string> present_;  // the days with a file at the last look
    SavePathChooser chooseSavePath_;
    QFileSystemWatcher watcher_;

    QChart* chart_ = nullptr;
    OffsetsChartView* view_ = nullptr;
    QLineSeries* made_ = nullptr;
    QScatterSeries* refused_ = nullptr;
    QValueAxis* timeAxis_ = nullptr;
    QValueAxis* offsetAxis_ = nullptr;
    QComboBox* dayChooser_ = nullptr;
    QPushButton* previous_ = nullptr;
    QPushButton* next_ = nullptr;
    QLabel* statistics_ = nullptr;
    QLabel* notice_ = nullptr;
};

// The statistics line of the window, e.g. "已校时 120 次，被拒绝 3 次 · 偏差中位数 1.2 ms，最大
// 1.5 ms · PC 快 20.0 ppm（每天 +1.73 s）".
QString statisticsLine(const std::vector<RecordedAttempt>& attempts);

}  // namespace zrq
