// The bar as the clock service's face, against a fake service on a private bus of the test's own:
// no port of its own, the service's lamp, status and marks, every entry a call to the service,
// the monitor window fed by the service's lines, refusals said plainly, the service leaving and
// coming back, and closing that ends the bar only.
#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include <memory>
#include <vector>

#include "app/program_windows.h"
#include "app/service_face.h"
#include "app/service_link.h"
#include "tests/app/app_test_support.h"
#include "tests/support/fake_service.h"

namespace zrq::testing {
namespace {

QString utf8(const char* text) { return QString::fromUtf8(text); }

QColor colorOf(Lamp lamp) {
    const LampRgb rgb = lampRgb(lamp);
    return QColor(rgb.r, rgb.g, rgb.b);
}

template <class T>
T* child(QWidget& parent, const char* name) {
    T* found = parent.findChild<T*>(QLatin1String(name));
    if (!found) qFatal("no child %s", name);
    return found;
}

// The five windows over the fake clock and serial library, as the face of the service on the
// test's bus; dialogs shown without blocking.
struct FaceRig {
    AppRig rig;
    std::unique_ptr<ServiceLink> link;
    std::unique_ptr<ProgramWindows> windows;  // goes before the link
    std::vector<QDialog*> opened;
    bool quit = false;

    // Started once the service's state is read.
    void start() {
        link = std::make_unique<ServiceLink>();
        QVERIFY(link->serviceRunning());
        AppContext context = rig.context();
        context.service = link.get();
        context.quitApplication = [this] { quit = true; };
        windows = std::make_unique<ProgramWindows>(context);
        bar().services().showModal = [this](QDialog& dialog) {
            opened.push_back(&dialog);
            dialog.show();
        };
        QVERIFY(processEventsUntil([&] { return link->state().known; }));
    }
    TForm1& bar() { return windows->bar(); }
    PopupMenu1& menu() { return *bar().popupMenu(); }
    QColor lamp() { return bar().Panel2->palette().color(QPalette::Window); }
    bool lampIs(Lamp lamp) {
        return processEventsUntil([&] { return this->lamp() == colorOf(lamp); });
    }
};

}  // namespace

class ServiceFaceTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeServiceBus> service_;
    FakeManager& fake() { return service_->manager; }
    bool callsAre(const QStringList& calls) {
        return processEventsUntil([&] { return fake().calls.size() >= calls.size(); }) &&
               fake().calls == calls;
    }

private slots:
    void initTestCase() { service_ = std::make_unique<FakeServiceBus>(); }
    void cleanupTestCase() { service_.reset(); }
    void init() { QVERIFY(service_->arrive()); }
    void cleanup() { service_->reset(); }

    void showsTheServiceAndKeepsNoClock() {
        FaceRig f;
        f.start();
        QVERIFY(f.lampIs(Lamp::Green));
        QVERIFY(f.rig.setupCalls().isEmpty());  // no port opened, nothing set up
        QVERIFY(!f.bar().core().startupCompleted());
        QVERIFY(f.rig.clock.sets().empty());
        QCOMPARE(f.bar().Label1->text(), QStringLiteral("12:00:00"));
        QVERIFY(f.bar().Label2->text().startsWith(QStringLiteral("2024-05-01")));
        f.rig.clock.advanceSeconds(1);  // the labels' own tick
        QVERIFY(processEventsUntil(
            [&] { return f.bar().Label1->text() == QStringLiteral("12:00:01"); }));
        QCOMPARE(checkedNames(formatItems(f.menu())), QStringList{"N11"});
        QCOMPARE(checkedNames(portAndBaudItems(f.menu())), (QStringList{"com31", "N96001"}));
        QVERIFY(f.menu().N12->isChecked());
        QVERIFY(!f.menu().N18->isChecked());
        f.bar().Panel2DblClick();
        QCOMPARE(shownTexts(f.rig.boxes), QStringList{utf8("接收正常")});

        // The marks and the lamp follow the service's changes; its boxes are the bar's.
        QVERIFY(service_->emitPropertiesChanged(
            {{"Lamp", "yellow"}, {"Port", 7}, {"Format", "TVZ_CODE"}, {"CommLog", true}}));
        QVERIFY(f.lampIs(Lamp::Yellow));
        QCOMPARE(checkedNames(formatItems(f.menu())), QStringList{"N31"});
        QCOMPARE(checkedNames(portAndBaudItems(f.menu())), (QStringList{"N21", "N96001"}));
        QCOMPARE(f.menu().N21->text(), QStringLiteral(">>COM7"));
        QVERIFY(f.menu().N18->isChecked());
        QVERIFY(service_->emitManagerSignal("Box", {"warning", "File access error"}));
        QVERIFY(processEventsUntil([&] { return f.rig.boxes.shown.size() == 2; }));
        QCOMPARE(f.rig.boxes.shown[1].kind, Kind::Warning);
        QVERIFY(f.rig.setupCalls().isEmpty());
    }

    void everyEntryActsOnTheService() {
        FaceRig f;
        f.start();
        PopupMenu1& menu = f.menu();
        for (QAction* entry : {menu.N6, menu.N10, menu.com21, menu.N48001, menu.N12, menu.N18}) {
            entry->trigger();
        }
        // Until the service says otherwise, the marks show its values, not the clicks.
        QCOMPARE(checkedNames(formatItems(menu)), QStringList{"N11"});
        QCOMPARE(checkedNames(portAndBaudItems(menu)), (QStringList{"com31", "N96001"}));
        QVERIFY(menu.N12->isChecked());
        QVERIFY(!menu.N18->isChecked());

        menu.N3->trigger();  // the settings dialog shows the service's values
        TForm2& settings = f.windows->settingsDialog();
        QVERIFY(child<QRadioButton>(settings, "RadioButton3")->isChecked());
        QCOMPARE(child<QSpinBox>(settings, "SpinEdit7")->value(), 5);
        child<QSpinBox>(settings, "SpinEdit7")->setValue(9);
        child<QPushButton>(settings, "Button3")->click();
        QVERIFY(!settings.isVisible());

        menu.N21->trigger();
        TForm4& port = f.windows->portDialog();
        child<QSpinBox>(port, "SpinEdit1")->setValue(6);
        child<QPushButton>(port, "Button1")->click();
        QVERIFY(!port.isVisible());

        QVERIFY(
            callsAre({"CorrectNow", "Set format=ST_CODE", "Set port=2", "Set baud=4800",
                      "Set jumplog=off", "Set commlog=on",
                      "Set fine=250 schedule=daily:08:00:00,20:30:15 threshold=9", "Set port=6"}));
        QVERIFY(!f.rig.storedConfig().has_value());  // the service saves, not the bar
        QVERIFY(f.rig.boxes.shown.empty());
        QVERIFY(f.rig.setupCalls().isEmpty());
    }

    void theMonitorWindowShowsTheServicesLinesWhileItObserves() {
        FaceRig f;
        f.start();
        f.menu().N16->trigger();
        TForm3& monitor = f.windows->monitorWindow();
        QCOMPARE(f.opened, std::vector<QDialog*>{&monitor});
        QVERIFY(callsAre({"Observe"}));
        QVERIFY(service_->emitManagerSignal("MonitorLine", {utf8("收到: 55 AA 01")}));
        QVERIFY(processEventsUntil([&] { return monitor.lines().size() == 1; }));
        QCOMPARE(monitor.lines().front().toUtf8(), std::string("收到: 55 AA 01"));

        monitor.SpeedButton2Click();  // "停止观测": lines for other faces are not shown
        QVERIFY(callsAre({"Observe", "StopObserving"}));
        QSignalSpy arrived(f.link.get(), &ServiceLink::monitorLine);
        QVERIFY(service_->emitManagerSignal("MonitorLine", {utf8("收到: 55 AA 02")}));
        QVERIFY(arrived.wait(5000));
        QCOMPARE(monitor.lines().size(), 1u);
        monitor.SpeedButton4Click();  // "继续观测"
        QVERIFY(callsAre({"Observe", "StopObserving", "Observe"}));
        QVERIFY(service_->emitManagerSignal("MonitorLine", {utf8("收到: 55 AA 03")}));
        QVERIFY(processEventsUntil([&] { return monitor.lines().size() == 2; }));
        QCOMPARE(monitor.lines().back().toUtf8(), std::string("收到: 55 AA 03"));
        monitor.close();
        QVERIFY(callsAre({"Observe", "StopObserving", "Observe", "StopObserving"}));
    }

    void refusalsAndFailuresAreSaidInAPlainBox() {
        FaceRig f;
        f.start();
        fake().refusal = QStringLiteral("not a member of the group zrq");
        f.menu().N6->trigger();
        f.menu().N10->trigger();
        QVERIFY(processEventsUntil([&] { return f.rig.boxes.shown.size() == 2; }));
        for (const auto& box : f.rig.boxes.shown) {
            QCOMPARE(box.kind, Kind::Plain);
            QCOMPARE(box.text, std::string(kServiceRefusedMessage));
        }
        QCOMPARE(checkedNames(formatItems(f.menu())), QStringList{"N11"});

        // Any other failure says the service's own reason.
        fake().refusalName = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
        fake().refusal = QStringLiteral("port: not a port number");
        f.menu().com21->trigger();
        QVERIFY(processEventsUntil([&] { return f.rig.boxes.shown.size() == 3; }));
        QCOMPARE(f.rig.boxes.shown[2].kind, Kind::Plain);
        QCOMPARE(f.rig.boxes.shown[2].text,
                 std::string(kServiceFailedMessage) + "port: not a port number");
        QVERIFY(fake().calls.isEmpty());
    }

    void followsTheServiceAwayAndBack() {
        FaceRig f;
        f.start();
        QVERIFY(f.lampIs(Lamp::Green));
        QVERIFY(service_->leave());
        QVERIFY(f.lampIs(Lamp::Red));
        f.bar().Panel2DblClick();
        QCOMPARE(shownTexts(f.rig.boxes), QStringList{utf8(kServiceStoppedMessage)});

        fake().properties["Lamp"] = "yellow";
        fake().properties["Format"] = "ST_CODE";
        QVERIFY(service_->arrive());
        QVERIFY(f.lampIs(Lamp::Yellow));
        QCOMPARE(checkedNames(formatItems(f.menu())), QStringList{"N10"});
        f.bar().Panel2DblClick();
        QCOMPARE(shownTexts(f.rig.boxes).last(), utf8("接收正常"));
        QVERIFY(f.rig.setupCalls().isEmpty());
    }

    void closingEndsTheBarOnly() {
        FaceRig f;
        f.start();
        f.menu().N8->trigger();
        QVERIFY(f.quit);
        QVERIFY(!f.bar().isVisible());
        QTest::qWait(50);
        QVERIFY(fake().calls.isEmpty());  // the service is neither stopped nor changed
        QVERIFY(f.link->serviceRunning());
    }
};

}  // namespace zrq::testing

QTEST_MAIN(zrq::testing::ServiceFaceTest)
#include "service_face_qtest.moc"
