// The offsets window: a generated record drawn where its points belong, the statistics and the
// notices for records in any state, following the file as it grows or is replaced, the day
// chooser, zooming and going back, and saving the picture.
#include <QChart>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLineSeries>
#include <QPushButton>
#include <QScatterSeries>
#include <QTemporaryDir>
#include <QTest>
#include <QValueAxis>
#include <cmath>
#include <string>

#include "tests/support/offset_records.h"
#include "timecode/offset_reading.h"
#include "viewer/offsets_window.h"

using zrq::OffsetsWindow;
using zrq::testing::everyPeriod;
using zrq::testing::generatedRecord;

namespace {

constexpr const char* kHeader = "time,received,offset_ms,step_ms,result\n";
constexpr const char* kToday = "261207";

bool writeFile(const QString& path, const std::string& text, bool append = false) {
    QFile file(path);
    if (!file.open(append ? QIODevice::Append : QIODevice::WriteOnly)) return false;
    return file.write(text.data(), static_cast<qint64>(text.size())) ==
           static_cast<qint64>(text.size());
}

std::string attemptLine(int hour, int minute, double offset, bool made = true) {
    char line[128];
    std::snprintf(
        line, sizeof line, "2026-12-07 %02d:%02d:31.020,2026-12-07 %02d:%02d:31.000,%.1f,%s", hour,
        minute, hour, minute, offset, made ? "0.0,ok\n" : "0.0,refused:Operation not permitted\n");
    return line;
}

bool isMadeColour(QRgb c) { return qBlue(c) > 150 && qRed(c) < 90 && qGreen(c) < 140; }
bool isRefusedColour(QRgb c) { return qRed(c) > 170 && qGreen(c) < 70 && qBlue(c) < 70; }

// Whether a pixel within `radius` of `at` passes `test`.
template <class Test>
bool colourNear(const QImage& image, QPoint at, int radius, Test test) {
    for (int dy = -radius; dy <= radius; ++dy) {
        for (int dx = -radius; dx <= radius; ++dx) {
            const QPoint p = at + QPoint(dx, dy);
            if (image.rect().contains(p) && test(image.pixel(p))) return true;
        }
    }
    return false;
}

// Where a value lands in the chart view's viewport, from the plot area and the axes' ranges
// (not through the chart's own mapping, so a wrong unit or axis shows).
QPoint viewportPoint(OffsetsWindow& window, double hours, double offsetMs) {
    QChart* chart = window.chartView()->chart();
    const QRectF plot = chart->plotArea();
    const QValueAxis* x = window.timeAxis();
    const QValueAxis* y = window.offsetAxis();
    const QPointF inChart(
        plot.left() + (hours - x->min()) / (x->max() - x->min()) * plot.width(),
        plot.bottom() - (offsetMs - y->min()) / (y->max() - y->min()) * plot.height());
    return window.chartView()->mapFromScene(chart->mapToScene(inChart));
}

}  // namespace

class OffsetsWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        today_ = kToday;
    }

    void pointsAreDrawnWhereTheyBelong() {
        // Every 30 minutes, 200 ppm fast (360 ms per interval), every fifth attempt refused.
        const std::string text = generatedRecord(everyPeriod(600, 86000, 1800, 5), 200.0);
        QVERIFY(writeFile(path(kToday), text));
        auto window = makeWindow();
        const QImage image = window->chartView()->viewport()->grab().toImage();
        const auto attempts = zrq::parseOffsetRecord(text).attempts;
        int refused = 0;
        for (const auto& a : attempts) {
            const double hours = a.msOfDay / 3.6e6;
            const QPoint at = viewportPoint(*window, hours, *a.offsetMs);
            const QString where = QStringLiteral("%1 h, %2 ms at (%3, %4)")
                                      .arg(hours)
                                      .arg(*a.offsetMs)
                                      .arg(at.x())
                                      .arg(at.y());
            if (a.made) {
                QVERIFY2(colourNear(image, at, 1, isMadeColour), qPrintable(where));
                QVERIFY2(!colourNear(image, at, 1, isRefusedColour), qPrintable(where));
            } else {
                ++refused;
                QVERIFY2(colourNear(image, at, 1, isRefusedColour), qPrintable(where));
            }
            // Nothing where the same moment would be with the opposite offset.
            const QPoint mirrored = viewportPoint(*window, hours, -*a.offsetMs - 200);
            QVERIFY2(!colourNear(image, mirrored, 2, isMadeColour) &&
                         !colourNear(image, mirrored, 2, isRefusedColour),
                     qPrintable(where));
        }
        QCOMPARE(refused, 9);
        QCOMPARE(window->windowTitle(), QStringLiteral("校时记录"));
        QVERIFY(window->madeSeries()->pointsVisible());
        QCOMPARE(window->timeAxis()->min(), 0.0);
        QCOMPARE(window->timeAxis()->max(), 24.0);
    }

    void statisticsAndNotices_data() {
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("day");
        QTest::addColumn<QString>("statistics");
        QTest::addColumn<QString>("notice");
        const auto qs = [](const std::string& s) { return QString::fromStdString(s); };
        QTest::newRow("fast clock")
            << true << qs(generatedRecord(everyPeriod(31, 86399, 60), 20.0)) << kToday
            << "已校时 1440 次，被拒绝 0 次 · 偏差中位数 1.2 ms，最大 1.3 ms · PC 快 20.0 "
               "ppm（每天 "
               "+1.73 s）"
            << "";
        QTest::newRow("slow clock, refusals")
            << true << qs(generatedRecord(everyPeriod(1831, 86399, 3600, 4), -3.5)) << kToday
            << "已校时 18 次，被拒绝 6 次 · 偏差中位数 12.6 ms，最大 25.2 ms · PC 慢 3.5 ppm（每天 "
               "-0.30 s）"
            << "";
        QTest::newRow("lines skipped")
            << true
            << qs(std::string(kHeader) + attemptLine(1, 0, 0) + "garbage\n" +
                  attemptLine(2, 0, 3.6) + "2026-12-07 03:00:31.0")
            << kToday
            << "已校时 2 次，被拒绝 0 次 · 偏差中位数 1.8 ms，最大 3.6 ms · PC 快 1.0 ppm（每天 "
               "+0.09 s）"
            << "2 行读不懂，已跳过";
        QTest::newRow("refused without an offset")
            << true
            << qs(std::string(kHeader) +
                  "2026-12-07 01:00:31.020,2026-12-00 01:00:31.000,,0.0,refused:no such date\n")
            << kToday << "已校时 0 次，被拒绝 1 次 · 走时快慢：需要相邻两次校时"
            << "1 次被拒绝的校时没有偏差，图上未画";
        QTest::newRow("empty file")
            << true << "" << kToday << "已校时 0 次，被拒绝 0 次 · 走时快慢：需要相邻两次校时"
            << "记录里还没有校时";
        QTest::newRow("today's file not yet there")
            << false << "" << kToday << "已校时 0 次，被拒绝 0 次 · 走时快慢：需要相邻两次校时"
            << "今天还没有记录文件：%DIR%/261207O.csv";
    }

    void statisticsAndNotices() {
        QFETCH(bool, present);
        QFETCH(QString, text);
        QFETCH(QString, day);
        QFETCH(QString, statistics);
        QFETCH(QString, notice);
        if (present) QVERIFY(writeFile(path(day.toStdString()), text.toStdString()));
        auto window = makeWindow();
        QCOMPARE(window->shownDay(), day.toStdString());
        QCOMPARE(window->statisticsText(), statistics);
        QCOMPARE(window->noticeText(), notice.replace(QStringLiteral("%DIR%"), dir_->path()));
    }

    void followsTheRecordAsItGrowsAndIsReplaced() {
        auto window = makeWindow();
        QCOMPARE(window->madeSeries()->count(), 0);
        // The day's first attempt makes the file.
        QVERIFY(writeFile(path(kToday), std::string(kHeader) + attemptLine(0, 1, 0.0)));
        QTRY_COMPARE(window->madeSeries()->count(), 1);
        QVERIFY(
            writeFile(path(kToday), attemptLine(0, 2, 1.2) + attemptLine(0, 3, 1.5, false), true));
        QTRY_COMPARE(window->refusedSeries()->count(), 1);
        QCOMPARE(window->madeSeries()->count(), 2);
        // Replaced in one step (an editor's save): followed still, through the new file.
        QVERIFY(writeFile(dir_->filePath("new"), std::string(kHeader) + attemptLine(5, 0, 0)));
        QVERIFY(std::rename(qPrintable(dir_->filePath("new")), qPrintable(path(kToday))) == 0);
        QTRY_COMPARE(window->madeSeries()->count(), 1);
        QCOMPARE(window->refusedSeries()->count(), 0);
        QVERIFY(writeFile(path(kToday), attemptLine(5, 1, 2.0), true));
        QTRY_COMPARE(window->madeSeries()->count(), 2);
        // Midnight: the next day's record appears, and the window on the newest day moves on.
        today_ = "261208";
        QVERIFY(writeFile(path("261208"), std::string(kHeader) +
                                              "2026-12-08 00:00:31.020,2026-12-08 "
                                              "00:00:31.000,0.4,-0.4,ok\n"));
        QTRY_COMPARE(window->shownDay(), std::string("261208"));
        QCOMPARE(window->madeSeries()->count(), 1);
    }

    void chooseADayZoomAndGoBack() {
        QVERIFY(writeFile(path("261205"), std::string(kHeader) + attemptLine(1, 0, 0)));
        QVERIFY(writeFile(path("261206"),
                          std::string(kHeader) + attemptLine(1, 0, 0) + attemptLine(13, 0, 43.2)));
        auto window = makeWindow();  // today has no file yet: the newest record is shown
        QCOMPARE(window->days(), (std::vector<std::string>{"261205", "261206", kToday}));
        QCOMPARE(window->shownDay(), std::string("261206"));
        auto* previous = buttonNamed(*window, QStringLiteral("◀ 前一天"));
        auto* next = buttonNamed(*window, QStringLiteral("后一天 ▶"));
        QTest::mouseClick(previous, Qt::LeftButton);
        QCOMPARE(window->shownDay(), std::string("261205"));
        QVERIFY(!previous->isEnabled());
        QTest::mouseClick(next, Qt::LeftButton);
        QTest::mouseClick(next, Qt::LeftButton);
        QCOMPARE(window->shownDay(), std::string(kToday));
        QVERIFY(!next->isEnabled());
        QTest::mouseClick(previous, Qt::LeftButton);
        QCOMPARE(window->madeSeries()->count(), 2);

        // A sweep from 6 h to 12 h with the left button shows that range alone.
        QWidget* viewport = window->chartView()->viewport();
        const QPoint from = viewportPoint(*window, 6, 0);
        const QPoint to = viewportPoint(*window, 12, 0);
        QTest::mousePress(viewport, Qt::LeftButton, {}, from);
        QTest::mouseMove(viewport, to);
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, to);
        QVERIFY2(std::fabs(window->timeAxis()->min() - 6) < 0.1 &&
                     std::fabs(window->timeAxis()->max() - 12) < 0.1,
                 qPrintable(QStringLiteral("%1..%2")
                                .arg(window->timeAxis()->min())
                                .arg(window->timeAxis()->max())));
        QCOMPARE(window->timeAxis()->labelFormat(), QStringLiteral("%.0f"));
        // The record growing meanwhile keeps the range.
        QVERIFY(writeFile(path("261206"), attemptLine(14, 0, 3.6), true));
        QTRY_COMPARE(window->madeSeries()->count(), 3);
        QVERIFY(std::fabs(window->timeAxis()->max() - 12) < 0.1);
        // The right button goes back to the whole day, with the offsets fitted to what came
        // meanwhile; so does "整天".
        QVERIFY(writeFile(path("261206"), attemptLine(15, 0, 99.0), true));
        QTRY_COMPARE(window->madeSeries()->count(), 4);
        QVERIFY(window->offsetAxis()->max() < 99);  // still zoomed
        QTest::mouseClick(viewport, Qt::RightButton, {}, to);
        QCOMPARE(window->timeAxis()->min(), 0.0);
        QCOMPARE(window->timeAxis()->max(), 24.0);
        QVERIFY(window->offsetAxis()->max() >= 99);
        window->chartView()->chart()->zoomIn(
            QRectF(viewportPoint(*window, 20, 40), viewportPoint(*window, 21, 0)));
        QVERIFY(window->timeAxis()->max() - window->timeAxis()->min() < 2);
        QCOMPARE(window->timeAxis()->labelFormat(), QStringLiteral("%.1f"));
        QTest::mouseClick(buttonNamed(*window, QStringLiteral("整天")), Qt::LeftButton);
        QCOMPARE(window->timeAxis()->max(), 24.0);
        // On the newest record, the window moves on to today's when the bar starts it.
        QVERIFY(writeFile(path(kToday), std::string(kHeader) + attemptLine(16, 0, 0.1)));
        QTRY_COMPARE(window->shownDay(), std::string(kToday));
    }

    void savesThePictureWhereTheChooserSays() {
        QVERIFY(writeFile(path(kToday), std::string(kHeader) + attemptLine(1, 0, 0)));
        auto window = makeWindow();
        QString answer;
        QString suggestion;
        window->setSavePathChooser([&](QWidget*, const QString& suggested) {
            suggestion = suggested;
            return answer;
        });
        QVERIFY(!window->savePicture());  // cancelled
        QVERIFY(suggestion.endsWith(QStringLiteral("261207O.png")));
        answer = dir_->filePath("chart.png");
        QTest::mouseClick(buttonNamed(*window, QStringLiteral("保存图片")), Qt::LeftButton);
        QImage saved(answer, "PNG");
        QCOMPARE(saved.size(), window->chartView()->size());
        QCOMPARE(window->noticeText(), "图片已保存：" + answer);
        answer = dir_->filePath("no such folder/chart.png");
        QVERIFY(!window->savePicture());
        QCOMPARE(window->noticeText(), "图片未能保存：" + answer);
    }

private:
    QString path(const std::string& day) const {
        return QString::fromStdString(zrq::offsetRecordPath(dir_->path().toStdString(), day));
    }

    std::unique_ptr<OffsetsWindow> makeWindow() {
        auto window =
            std::make_unique<OffsetsWindow>(dir_->path().toStdString(), [this] { return today_; });
        window->resize(900, 540);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get())) return nullptr;
        return window;
    }

    static QPushButton* buttonNamed(QWidget& window, const QString& text) {
        for (auto* button : window.findChildren<QPushButton*>()) {
            if (button->text() == text) return button;
        }
        return nullptr;
    }

    std::unique_ptr<QTemporaryDir> dir_;
    std::string today_;
};

QTEST_MAIN(OffsetsWindowTest)
#include "offsets_window_qtest.moc"
