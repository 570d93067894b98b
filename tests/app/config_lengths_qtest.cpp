// Start-up over configuration files of every length from empty to past one record, and over files
// of random bytes: it always completes, takes values only from a whole record, marks the menu
// from what it took, and never rewrites the file.
#include <QTest>
#include <algorithm>
#include <cstring>
#include <random>

#include "app_test_support.h"

using namespace zrq;
using namespace zrq::testing;

namespace {

constexpr int kRandomFiles = 40;
constexpr int kLongestRandomFile = 400;

// A record whose every field differs from zero and from the defaults, so that a value taken from
// a short file cannot pass unnoticed.
QByteArray distinctiveRecord() {
    StoredSettings stored;
    stored.port = 2;
    stored.baudCode = kBaudCode9600;
    ClockSettings& c = stored.clock;
    c.CorrectionMode = CorrectionMode::EveryHour;
    c.JumpThresholdSec = 7;
    c.CorrectionSecond = 45;
    c.CorrectionMinute = 12;
    c.DailyPointCount = 3;
    c.FineTuneMs = 500;
    for (int slot = 0; slot < kDailyPointSlots; ++slot) c.DailyPoints[slot] = (slot + 1) / 30.0;
    c.JumpNoCorrect = 0;
    c.CodeFormat = 3;
    const ConfigRecord record = encodeConfigRecord(stored);
    return QByteArray(reinterpret_cast<const char*>(record.data()), kConfigRecordSize);
}

// What start-up must take from the first 224 bytes, read straight from the byte layout (one byte
// each for port and baud code; the low bytes of the 16-bit fields at 4, 6 and 8; fine adjustment
// little-endian at 10; 25 doubles from 16; jump-no-correct at 216, forced on; format at 217).
StoredSettings expectedFromBytes(const QByteArray& bytes) {
    const auto byte = [&](int offset) { return static_cast<uint8_t>(bytes[offset]); };
    StoredSettings s;
    s.port = byte(0);
    s.baudCode = byte(1);
    ClockSettings& c = s.clock;
    c.CorrectionMode = CorrectionMode{byte(2)};
    c.JumpThresholdSec = byte(3);
    c.CorrectionSecond = byte(4);
    c.CorrectionMinute = byte(6);
    c.DailyPointCount = std::min<uint8_t>(byte(8), kMaxDailyPoints);
    c.FineTuneMs = std::min(static_cast<uint16_t>(byte(10) | byte(11) << 8), uint16_t{999});
    std::memcpy(c.DailyPoints.data(), bytes.constData() + 16, sizeof c.DailyPoints);
    c.JumpNoCorrect = 1;
    c.CodeFormat = byte(217);
    return s;
}

StoredSettings expectedFromNothing() {
    StoredSettings s;  // every value zero: a short file gives no defaults either
    s.clock.JumpNoCorrect = 1;
    return s;
}

QByteArray randomBytes(unsigned seed, int length) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    QByteArray bytes(length, '\0');
    for (char& b : bytes) b = static_cast<char>(byte(generator));
    return bytes;
}

int randomLength(unsigned seed) {
    std::mt19937 generator(seed ^ 0x5A5A5A5Au);
    return std::uniform_int_distribution<int>(0, kLongestRandomFile)(generator);
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Field by field; the daily points bit for bit, since random bytes make NaNs.
void compareSettings(TForm1& b, const StoredSettings& expected) {
    const ClockSettings& got = b.core().settings();
    const ClockSettings& want = expected.clock;
    QCOMPARE(b.core().line().Port.load(), expected.port);
    QCOMPARE(b.core().line().BaudCode, expected.baudCode);
    QCOMPARE(got.CorrectionMode, want.CorrectionMode);
    QCOMPARE(got.JumpThresholdSec, want.JumpThresholdSec);
    QCOMPARE(got.CorrectionSecond, want.CorrectionSecond);
    QCOMPARE(got.CorrectionMinute, want.CorrectionMinute);
    QCOMPARE(got.DailyPointCount, want.DailyPointCount);
    QCOMPARE(got.FineTuneMs, want.FineTuneMs);
    QVERIFY(std::memcmp(got.DailyPoints.data(), want.DailyPoints.data(), sizeof got.DailyPoints) ==
            0);
    QCOMPARE(got.JumpNoCorrect, uint8_t{1});
    QCOMPARE(got.CodeFormat, want.CodeFormat);
}

// The marks start-up must set for what it took.
void compareMarks(TForm1& bar, const StoredSettings& taken) {
    PopupMenu1& menu = *bar.popupMenu();
    QStringList formats;
    if (QAction* item = menu.formatItem(taken.clock.CodeFormat)) formats << item->objectName();
    QCOMPARE(checkedNames(formatItems(menu)), formats);

    QStringList portAndBaud;
    if (taken.port >= 1 && taken.port <= 4) {
        portAndBaud << menu.portItem(taken.port)->objectName();
        QCOMPARE(menu.N21->text(), QStringLiteral(">>... "));
    } else {
        portAndBaud << "N21";
        QCOMPARE(menu.N21->text(), QStringLiteral(">>COM%1").arg(taken.port));
    }
    if (QAction* item = menu.baudItem(taken.baudCode)) portAndBaud << item->objectName();
    QCOMPARE(checkedNames(portAndBaudItems(menu)), portAndBaud);

    QVERIFY(menu.N4->isChecked());
    QVERIFY(menu.N12->isChecked());
    QVERIFY(!menu.N18->isChecked());
}

// Starts the bar over a file holding `bytes` and checks everything start-up did with it.
void startOver(const QByteArray& bytes, const StoredSettings& expected) {
    AppRig rig;
    rig.writeBytes(kConfigFileName, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    TForm1 bar(rig.context());

    QVERIFY(bar.core().startupCompleted());
    QVERIFY(bar.core().receiver().running());
    QVERIFY2(rig.boxes.shown.empty(), qPrintable(shownTexts(rig.boxes).join(" | ")));
    compareSettings(bar, expected);
    if (QTest::currentTestFailed()) return;
    compareMarks(bar, expected);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(rig.setupCalls().value(0), QStringLiteral("sio_open %1").arg(expected.port));
    const StatusState& status = bar.core().status();
    QVERIFY(status.JumpLogEnabled && !status.CommLogEnabled && !status.MonitorActive);
    QVERIFY(!status.CorrectNowRequested);
    // Start-up reads; only a change the user makes writes.
    QCOMPARE(fileBytes(rig.configPath()), bytes);
}

}  // namespace

class ConfigLengthsTest : public QObject {
    Q_OBJECT
private slots:
    void shortFileTakesNothing_data();
    void shortFileTakesNothing();
    void wholeRecordIsTakenAndTheRestIgnored_data();
    void wholeRecordIsTakenAndTheRestIgnored();
    void randomFileNeverBreaksStartUp_data();
    void randomFileNeverBreaksStartUp();
};

void ConfigLengthsTest::shortFileTakesNothing_data() {
    QTest::addColumn<int>("length");
    for (int length = 0; length < kConfigRecordSize; ++length) {
        QTest::addRow("%d bytes", length) << length;
    }
}

void ConfigLengthsTest::shortFileTakesNothing() {
    QFETCH(int, length);
    startOver(distinctiveRecord().left(length), expectedFromNothing());
}

void ConfigLengthsTest::wholeRecordIsTakenAndTheRestIgnored_data() {
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray record = distinctiveRecord();
    QTest::addRow("224 bytes") << record;
    QTest::addRow("225 bytes") << record + QByteArray(1, '\x7F');
    QTest::addRow("two records") << record + randomBytes(99, kConfigRecordSize);
}

void ConfigLengthsTest::wholeRecordIsTakenAndTheRestIgnored() {
    QFETCH(QByteArray, bytes);
    StoredSettings expected = expectedFromBytes(bytes);
    // The record as written: a cross-check of the byte-layout reading above.
    QCOMPARE(expected.port, 2);
    QCOMPARE(expected.clock.CodeFormat, uint8_t{3});
    QCOMPARE(expected.clock.FineTuneMs, uint16_t{500});
    startOver(bytes, expected);
}

void ConfigLengthsTest::randomFileNeverBreaksStartUp_data() {
    QTest::addColumn<QByteArray>("bytes");
    for (unsigned seed = 1; seed <= kRandomFiles; ++seed) {
        // Every other file is exactly one record long, where the values are taken.
        const int length = seed % 2 ? kConfigRecordSize : randomLength(seed);
        QTest::addRow("seed %u, %d bytes", seed, length) << randomBytes(seed, length);
    }
}

void ConfigLengthsTest::randomFileNeverBreaksStartUp() {
    QFETCH(QByteArray, bytes);
    const StoredSettings expected =
        bytes.size() >= kConfigRecordSize ? expectedFromBytes(bytes) : expectedFromNothing();
    startOver(bytes, expected);
}

QTEST_MAIN(ConfigLengthsTest)
#include "config_lengths_qtest.moc"
