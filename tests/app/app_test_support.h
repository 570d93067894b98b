// What the program's GUI tests share: a working directory of their own, the fake clock, the fake
// serial library and recorded message boxes behind an AppContext, and configuration files.
#pragma once

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/main_bar.h"
#include "app/startup.h"
#include "base/message_boxes.h"
#include "store/config_file.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_library.h"
#include "tests/support/recording_boxes.h"

namespace zrq::testing {

using Kind = RecordingMessageBoxes::Kind;
using namespace std::chrono_literals;

// 2024-05-01 (a Wednesday) 12:00:00.000.
inline LocalTimeRecord startTime() { return {2024, 5, 3, 1, 12, 0, 0, 0}; }

struct AppRig {
    QTemporaryDir dir;
    FakeClock clock{startTime()};
    // Large (a state per port): kept off the stack.
    std::unique_ptr<FakeSerialLibrary> serial = std::make_unique<FakeSerialLibrary>();
    RecordingMessageBoxes boxes;

    std::string workDir() const { return dir.path().toStdString(); }
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    QString configPath() const { return path(kConfigFileName); }

    AppContext context() {
        return AppContext{.clock = clock,
                          .serial = *serial,
                          .boxes = boxes,
                          .workDir = workDir(),
                          .screenWidth = {},
                          .listPorts = [] { return PortList{}; },
                          .quitApplication = {}};
    }

    void writeConfig(const StoredSettings& stored) const {
        const ConfigRecord record = encodeConfigRecord(stored);
        writeBytes(kConfigFileName, reinterpret_cast<const char*>(record.data()), record.size());
    }
    void writeBytes(const char* name, const char* bytes, std::size_t size) const {
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(bytes, static_cast<qint64>(size)), static_cast<qint64>(size));
    }
    // The stored record, when the file exists and holds a whole one.
    std::optional<StoredSettings> storedConfig() const {
        QFile file(configPath());
        if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
        const QByteArray bytes = file.readAll();
        if (bytes.size() != kConfigRecordSize) return std::nullopt;
        ConfigRecord record{};
        std::copy(bytes.begin(), bytes.end(), record.begin());
        return decodeConfigRecord(record);
    }

    // The library calls other than reads and writes (the receiver and the tick make those).
    QStringList setupCalls() const {
        QStringList out;
        for (const auto& record : serial->calls()) {
            if (record.call != SerialCall::Read && record.call != SerialCall::Write) {
                out << QString::fromStdString(record.text());
            }
        }
        return out;
    }
};

inline StoredSettings settingsWithPort(int port, int baudCode = kBaudCode4800, int format = 1) {
    StoredSettings stored = defaultSettings();
    stored.port = port;
    stored.baudCode = baudCode;
    stored.clock.CodeFormat = static_cast<uint8_t>(format);
    return stored;
}

// Dispatches events until the condition holds or the time is up.
inline bool processEventsUntil(const std::function<bool()>& condition,
                               std::chrono::milliseconds timeout = 5s) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeout.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qSleep(1);
    }
    return true;
}

// The names of the checked entries among these, in the order given.
inline QStringList checkedNames(const std::vector<QAction*>& items) {
    QStringList names;
    for (const QAction* item : items) {
        if (item->isChecked()) names << item->objectName();
    }
    return names;
}

inline std::vector<QAction*> portAndBaudItems(const PopupMenu1& menu) {
    return {menu.com11, menu.com21, menu.com31, menu.com41, menu.N21, menu.N48001, menu.N96001};
}

inline std::vector<QAction*> formatItems(const PopupMenu1& menu) {
    return {menu.N31, menu.N11, menu.N10};
}

inline QStringList shownTexts(const RecordingMessageBoxes& boxes) {
    QStringList texts;
    for (const auto& text : boxes.texts()) texts << QString::fromStdString(text);
    return texts;
}

}  // namespace zrq::testing
