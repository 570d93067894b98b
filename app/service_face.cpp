// The face's commands as calls to the service, and the service's state on the bar's widgets.
#include "app/service_face.h"
#include "base/time_units.h"

#include <QTimer>

#include "app/main_bar.h"
#include "base/date_patterns.h"

namespace zrq {
namespace {

// A text of the service in the bar's GBK; nothing when GBK cannot hold it.
std::optional<GbkText> gbkOf(const QString& text) {
    try {
        return gbk(text.toStdString());
    } catch (const EncodingError&) {
        return std::nullopt;
    }
}

}  // namespace

ServiceFace::ServiceFace(ServiceLink& link, TForm1& bar, LocalClock& clock, MessageBoxes& boxes)
    : QObject(&bar), link_(link), bar_(bar), clock_(clock), boxes_(boxes), tick_(new QTimer(this)) {
    tick_->setSingleShot(true);
    tick_->setTimerType(Qt::PreciseTimer);
    connect(tick_, &QTimer::timeout, this, &ServiceFace::tick);
    connect(&link_, &ServiceLink::changed, this, &ServiceFace::showState);
    connect(&link_, &ServiceLink::serviceLost, this, &ServiceFace::showState);
    connect(&link_, &ServiceLink::monitorLine, this, &ServiceFace::showMonitorLine);
    connect(&link_, &ServiceLink::box, this, [this](const QString& kind, const QString& text) {
        showServiceBox(boxes_, kind, text);
    });
}

void ServiceFace::start() {
    showState();
    tick();
}

// --- What the bar shows.

void ServiceFace::showState() {
    const ServiceState& state = link_.state();
    bar_.setLamp(link_.serviceRunning() ? state.lamp : Lamp::Red);
    // Until the service has answered, the marks stay as they are.
    if (!state.known) return;
    bar_.markMenu(MenuMarks{.format = state.clock.CodeFormat,
                            .port = state.port,
                            .baudCode = state.baudCode,
                            .jumpLog = state.jumpLog,
                            .commLog = state.commLog});
}

void ServiceFace::showMonitorLine(const QString& line) {
    // The service sends its lines to every face while any observes: only this one's are shown.
    MonitorLines* monitor = bar_.monitor();
    if (!monitor || !link_.observing()) return;
    // The service makes its lines from GBK texts, so each has a GBK form.
    if (const std::optional<GbkText> text = gbkOf(line)) monitor->appendLine(*text);
}

// The labels only, at the start of each second of the PC clock: no frame goes anywhere.
void ServiceFace::tick() {
    const LocalTimeRecord now = clock_.now();
    if (now.second != shownSecond_) {
        shownSecond_ = now.second;
        bar_.timeShown(formatBarTime(now));
    }
    if (now.day != shownDay_) {
        shownDay_ = now.day;
        bar_.dateShown(formatDateWithWeekday(now));
    }
    tick_->start(kMsPerSecond - now.milliseconds % kMsPerSecond);
}

GbkText ServiceFace::statusMessage() const {
    const QString text = link_.serviceRunning() ? link_.state().statusMessage
                                                : QString::fromUtf8(kServiceStoppedMessage);
    return gbkOf(text).value_or(GbkText{});
}

// --- Commands.

ServiceLink::Done ServiceFace::reportFailure() {
    MessageBoxes& boxes = boxes_;
    return [&boxes](const ServiceCallResult& result) {
        if (result.ok) return;
        if (result.refused()) return boxes.plain(gbk(kServiceRefusedMessage));
        showServiceBox(boxes, QStringLiteral("plain"),
                       QString::fromUtf8(kServiceFailedMessage) + result.errorText);
    };
}

void ServiceFace::set(const QMap<QString, QString>& values) {
    link_.set(values, reportFailure());
    // The menu's own marks moved with the click: they follow the service, which says its change.
    showState();
}

void ServiceFace::switchFormat(int format) { set(formatKeys(format)); }

void ServiceFace::switchPort(int port) { set(portKeys(port)); }

bool ServiceFace::switchPortFromDialog(int port) {
    set(portKeys(port));
    return true;  // a refusal comes as a box once the service has answered
}

void ServiceFace::switchRate(int baudCode) { set(baudKeys(baudCode)); }

void ServiceFace::correctNow() { link_.correctNow(reportFailure()); }

void ServiceFace::applySettings(const ClockSettings& values) {
    link_.set(clockSettingsKeys(values), reportFailure());
}

void ServiceFace::observe(bool on) {
    if (on == link_.observing()) return;
    if (on) {
        link_.observe(reportFailure());
    } else {
        link_.stopObserving(reportFailure());
    }
}

void ServiceFace::setJumpLog(bool on) { set(logKeys(QStringLiteral("jumplog"), on)); }

void ServiceFace::setCommLog(bool on) { set(logKeys(QStringLiteral("commlog"), on)); }

}  // namespace zrq
