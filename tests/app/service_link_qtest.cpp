// The bar's link to the service, against a fake service object on a private bus of the test's
// own: the service's presence, its properties and their changes, its signals, the calls and their
// refusals, and the service leaving and coming back.
#include <QDBusConnection>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <optional>

#include "app/service_link.h"
#include "serial/serial_library.h"
#include "tests/app/app_test_support.h"
#include "tests/support/fake_service.h"
#include "tests/support/recording_boxes.h"

namespace zrq::testing {

class ServiceLinkTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeServiceBus> service_;

    void arrive() { QVERIFY(service_->arrive()); }
    void leave() { QVERIFY(service_->leave()); }
    FakeManager& fake() { return service_->manager; }
    void emitPropertiesChanged(const QVariantMap& values) {
        QVERIFY(service_->emitPropertiesChanged(values));
    }

    // Runs `start` with a handler and waits for the call to end.
    static ServiceCallResult waitFor(const std::function<void(ServiceLink::Done)>& start) {
        std::optional<ServiceCallResult> result;
        start([&](const ServiceCallResult& r) { result = r; });
        if (!processEventsUntil([&] { return result.has_value(); })) return {};
        return *result;
    }

private slots:
    // Before anything asks for the system bus, which is then the fake's.
    void initTestCase() { service_ = std::make_unique<FakeServiceBus>(); }
    void cleanupTestCase() { service_.reset(); }
    void cleanup() { service_->reset(); }

    void noServiceMeansNoFace() {
        ServiceLink link;
        QVERIFY(!link.serviceRunning());
        QVERIFY(!link.state().known);
        const ServiceCallResult result = waitFor([&](auto done) { link.correctNow(done); });
        QVERIFY(!result.ok);
        QVERIFY(!result.refused());
        QCOMPARE(result.errorName, QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"));
    }

    void noBusMeansNoServiceAndCallsStillEnd() {
        const QString name = QStringLiteral("no-bus");
        {
            ServiceLink link(QDBusConnection::connectToBus(
                "unix:path=" + QString::fromStdString(service_->bus().dir().file("absent")), name));
            QVERIFY(!link.serviceRunning());
            const ServiceCallResult result = waitFor([&](auto done) { link.observe(done); });
            QCOMPARE(result.errorName, QStringLiteral("org.freedesktop.DBus.Error.Disconnected"));
            QVERIFY(!link.observing());
        }
        QDBusConnection::disconnectFromBus(name);
    }

    void readsThePropertiesAndFollowsTheirChanges() {
        arrive();
        ServiceLink link;
        QVERIFY(link.serviceRunning());
        QVERIFY(processEventsUntil([&] { return link.state().known; }));
        const ServiceState& s = link.state();
        QCOMPARE(s.lamp, Lamp::Green);
        QCOMPARE(s.statusMessage, QString::fromUtf8("接收正常"));
        QCOMPARE(s.port, 3);
        QCOMPARE(s.baudRate, 9600);
        QCOMPARE(s.baudCode, kBaudCode9600);
        QCOMPARE(s.clock.CodeFormat, 2);
        QCOMPARE(s.clock.CorrectionMode, CorrectionMode::DailyPoints);
        QCOMPARE(s.clock.DailyPointCount, 2);
        QCOMPARE(s.clock.DailyPoints[1], timeOfDayValue(20, 30, 15, 0));
        QCOMPARE(s.clock.JumpThresholdSec, 5);
        QCOMPARE(s.clock.FineTuneMs, 250);
        QVERIFY(s.jumpLog);
        QVERIFY(!s.commLog);
        QCOMPARE(s.properties.value("LastCorrectionResult").toString(), QStringLiteral("done"));

        QSignalSpy changed(&link, &ServiceLink::changed);
        emitPropertiesChanged({{"Lamp", "yellow"},
                               {"StatusMessage", QString::fromUtf8("检测到跳动")},
                               {"Schedule", "hour:15:30"},
                               {"BaudRate", 4800},
                               {"CommLog", true}});
        QVERIFY(changed.wait(5000));
        QCOMPARE(s.lamp, Lamp::Yellow);
        QCOMPARE(s.statusMessage, QString::fromUtf8("检测到跳动"));
        QCOMPARE(s.clock.CorrectionMode, CorrectionMode::EveryHour);
        QCOMPARE(s.clock.CorrectionMinute, 15);
        QCOMPARE(s.clock.CorrectionSecond, 30);
        QCOMPARE(s.baudCode, kBaudCode4800);
        QVERIFY(s.commLog);
        QCOMPARE(s.port, 3);  // not in the change: as it was

        // A schedule the link cannot read leaves the last one it could.
        emitPropertiesChanged({{"Schedule", "weekly:1"}, {"Lamp", "blue"}});
        QVERIFY(changed.wait(5000));
        QCOMPARE(s.clock.CorrectionMode, CorrectionMode::EveryHour);
        QCOMPARE(s.lamp, Lamp::Red);
    }

    void passesOnMonitorLinesAndBoxes() {
        arrive();
        ServiceLink link;
        QSignalSpy lines(&link, &ServiceLink::monitorLine);
        QSignalSpy boxes(&link, &ServiceLink::box);
        QVERIFY(service_->emitManagerSignal(QStringLiteral("MonitorLine"),
                                            {QString::fromUtf8("收到: 55 AA 01")}));
        QVERIFY(service_->emitManagerSignal(
            QStringLiteral("Box"), {QStringLiteral("error"), QString::fromUtf8("串口打开失败")}));
        QVERIFY(processEventsUntil([&] { return lines.size() == 1 && boxes.size() == 1; }));
        QCOMPARE(lines[0][0].toString(), QString::fromUtf8("收到: 55 AA 01"));
        QCOMPARE(boxes[0][0].toString(), QStringLiteral("error"));
        QCOMPARE(boxes[0][1].toString(), QString::fromUtf8("串口打开失败"));
    }

    void callsReachTheServiceAndRefusalsSayWhy() {
        arrive();
        ServiceLink link;
        QVERIFY(waitFor([&](auto done) { link.correctNow(done); }).ok);
        QVERIFY(waitFor([&](auto done) {
                    link.set({{"format", "EB_CODE"}, {"fine", "250"}}, done);
                }).ok);
        QVERIFY(waitFor([&](auto done) { link.observe(done); }).ok);
        QVERIFY(link.observing());
        QVERIFY(waitFor([&](auto done) { link.stopObserving(done); }).ok);
        QVERIFY(!link.observing());
        QCOMPARE(fake().calls, (QStringList{"CorrectNow", "Set fine=250 format=EB_CODE", "Observe",
                                            "StopObserving"}));

        fake().refusal = QStringLiteral("not a member of the group zrq");
        const ServiceCallResult refused = waitFor([&](auto done) { link.set(portKeys(2), done); });
        QVERIFY(!refused.ok);
        QVERIFY(refused.refused());
        QCOMPARE(refused.errorText, fake().refusal);
        QVERIFY(waitFor([&](auto done) { link.observe(done); }).refused());
        QVERIFY(!link.observing());  // nothing to ask for again when the service returns
        QCOMPARE(fake().calls.size(), 4);
    }

    void noticesTheServiceLeavingAndComingBack() {
        arrive();
        ServiceLink link;
        QVERIFY(processEventsUntil([&] { return link.state().known; }));
        QVERIFY(waitFor([&](auto done) { link.observe(done); }).ok);
        QSignalSpy lost(&link, &ServiceLink::serviceLost);
        QSignalSpy back(&link, &ServiceLink::serviceBack);

        leave();
        QVERIFY(lost.wait(5000));
        QVERIFY(!link.serviceRunning());
        QVERIFY(!link.state().known);
        QCOMPARE(link.state().lamp, Lamp::Red);
        QVERIFY(link.state().statusMessage.isEmpty());
        QCOMPARE(link.state().clock.FineTuneMs, 250);  // kept for the settings dialog

        fake().properties["Lamp"] = "yellow";
        arrive();
        QVERIFY(back.wait(5000));
        QVERIFY(link.serviceRunning());
        QVERIFY(processEventsUntil([&] { return link.state().known; }));
        QCOMPARE(link.state().lamp, Lamp::Yellow);
        // The returned service is asked again for the monitor lines.
        QVERIFY(processEventsUntil([&] { return fake().calls.count("Observe") == 2; }));
        QCOMPARE(lost.size(), 1);
    }

    void convertsTheBarsValuesToSetEntries() {
        ClockSettings clock{};
        clock.CorrectionMode = CorrectionMode::DailyPoints;
        clock.DailyPointCount = 2;
        clock.DailyPoints[0] = timeOfDayValue(6, 5, 4, 0);
        clock.DailyPoints[1] = timeOfDayValue(23, 59, 0, 0);
        clock.JumpThresholdSec = 7;
        clock.FineTuneMs = 40;
        const QMap<QString, QString> keys = clockSettingsKeys(clock);
        QCOMPARE(keys,
                 (QMap<QString, QString>{
                     {"schedule", "daily:06:05:04,23:59:00"}, {"threshold", "7"}, {"fine", "40"}}));
        ClockSettings read{};
        QVERIFY(readSchedule(keys["schedule"], read));
        QCOMPARE(read.DailyPointCount, 2);
        QCOMPARE(read.DailyPoints[0], clock.DailyPoints[0]);

        clock.CorrectionMode = CorrectionMode{};  // none chosen: the schedule is left as it is
        QVERIFY(!clockSettingsKeys(clock).contains("schedule"));
        QVERIFY(!readSchedule("none (mode 0)", read));
        QCOMPARE(read.DailyPointCount, 2);

        QCOMPARE(portKeys(4), (QMap<QString, QString>{{"port", "4"}}));
        QCOMPARE(baudKeys(kBaudCode4800), (QMap<QString, QString>{{"baud", "4800"}}));
        QCOMPARE(baudKeys(kBaudCode9600), (QMap<QString, QString>{{"baud", "9600"}}));
        QCOMPARE(formatKeys(1), (QMap<QString, QString>{{"format", "TVZ_CODE"}}));
        QCOMPARE(formatKeys(3), (QMap<QString, QString>{{"format", "ST_CODE"}}));
        QCOMPARE(logKeys("commlog", false), (QMap<QString, QString>{{"commlog", "off"}}));
    }

    void showsTheServicesBoxesAsTheBarsOwn() {
        RecordingMessageBoxes boxes;
        showServiceBox(boxes, "warning", "File access error");
        showServiceBox(boxes, "plain", QString::fromUtf8("校时成功"));
        showServiceBox(boxes, "plain", QString::fromUtf8("\U0001F600"));  // no GBK for it
        showServiceBox(boxes, "question", "?");
        QCOMPARE(boxes.shown.size(), 4u);
        QCOMPARE(boxes.shown[0].kind, Kind::Warning);
        QCOMPARE(boxes.shown[1].kind, Kind::Plain);
        QCOMPARE(boxes.shown[1].text, std::string("校时成功"));
        QCOMPARE(boxes.shown[2].kind, Kind::GeneralError);
        QCOMPARE(boxes.shown[3].kind, Kind::GeneralError);
    }
};

}  // namespace zrq::testing

QTEST_MAIN(zrq::testing::ServiceLinkTest)
#include "service_link_qtest.moc"
