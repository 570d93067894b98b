// Following the clock service on the system bus and calling it without ever blocking the bar.
#include "app/service_link.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

#include <algorithm>
#include <string>

#include "base/gbk_text.h"
#include "serial/serial_library.h"
#include "service/settings_command.h"
#include "store/config_file.h"
#include "timecode/time_code_format.h"

namespace zrq {
namespace {

const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kAccessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");

Lamp lampNamed(const QString& name) {
    if (name == QLatin1String("green")) return Lamp::Green;
    if (name == QLatin1String("yellow")) return Lamp::Yellow;
    return Lamp::Red;
}

int baudCodeOf(int bitsPerSecond) {
    if (bitsPerSecond == 4800) return kBaudCode4800;
    if (bitsPerSecond == 9600) return kBaudCode9600;
    return 0;
}

// 1..3 for the format's name, 0 for any other text.
int formatNumber(const QString& name) {
    for (int format = TVZ_CODE; format <= ST_CODE; ++format) {
        if (name.toStdString() == formatText(format)) return format;
    }
    return 0;
}

uint8_t byteOf(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

QMap<QString, QString> oneKey(const char* key, const std::string& value) {
    return {{QString::fromLatin1(key), QString::fromStdString(value)}};
}

}  // namespace

bool ServiceCallResult::refused() const { return errorName == kAccessDenied; }

ServiceLink::ServiceLink(QObject* parent) : ServiceLink(QDBusConnection::systemBus(), parent) {}

ServiceLink::ServiceLink(const QDBusConnection& bus, QObject* parent) : QObject(parent), bus_(bus) {
    qDBusRegisterMetaType<QMap<QString, QString>>();
    // Listening first, asking second: a change between the two is not missed.
    subscribe();
    QDBusMessage hasOwner = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    hasOwner << QString::fromLatin1(kServiceName);
    // Blocking, and bounded: the bar decides at start whether it is the service's face.
    const QDBusMessage reply = bus_.call(hasOwner, QDBus::Block, kOwnerQueryMs);
    running_ = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
               reply.arguments().constFirst().toBool();
    if (running_) readAll();
}

ServiceLink::~ServiceLink() = default;

void ServiceLink::subscribe() {
    if (!bus_.isConnected()) return;
    const QString service = QString::fromLatin1(kServiceName);
    const QString path = QString::fromLatin1(kServicePath);
    const QString manager = QString::fromLatin1(kServiceInterface);
    bus_.connect(service, path, kPropertiesInterface, QStringLiteral("PropertiesChanged"), this,
                 SLOT(onPropertiesChanged(QString, QVariantMap, QStringList)));
    bus_.connect(service, path, manager, QStringLiteral("MonitorLine"), this,
                 SLOT(onMonitorLine(QString)));
    bus_.connect(service, path, manager, QStringLiteral("Box"), this,
                 SLOT(onBox(QString, QString)));
    watcher_ =
        new QDBusServiceWatcher(service, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &ServiceLink::onOwnerChanged);
}

void ServiceLink::readAll() {
    QDBusMessage getAll = QDBusMessage::createMethodCall(
        QString::fromLatin1(kServiceName), QString::fromLatin1(kServicePath), kPropertiesInterface,
        QStringLiteral("GetAll"));
    getAll << QString::fromLatin1(kServiceInterface);
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(getAll, kCallTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QVariantMap> reply = *finished;
                // No answer: the service has gone meanwhile, and its return reads again.
                if (reply.isError() || !running_) return;
                state_.known = true;
                applyProperties(reply.value());
            });
}

void ServiceLink::applyProperties(const QVariantMap& values) {
    for (auto it = values.cbegin(); it != values.cend(); ++it) state_.properties[it.key()] = *it;
    const QVariantMap& p = state_.properties;
    ServiceState& s = state_;
    if (p.contains("Lamp")) s.lamp = lampNamed(p["Lamp"].toString());
    if (p.contains("StatusMessage")) s.statusMessage = p["StatusMessage"].toString();
    if (p.contains("Port")) s.port = p["Port"].toInt();
    if (p.contains("BaudRate")) {
        s.baudRate = p["BaudRate"].toInt();
        s.baudCode = baudCodeOf(s.baudRate);
    }
    if (p.contains("Format")) s.clock.CodeFormat = byteOf(formatNumber(p["Format"].toString()));
    if (p.contains("Schedule")) readSchedule(p["Schedule"].toString(), s.clock);
    if (p.contains("JumpThreshold")) s.clock.JumpThresholdSec = byteOf(p["JumpThreshold"].toInt());
    if (p.contains("FineTuneMs")) {
        s.clock.FineTuneMs = static_cast<uint16_t>(std::clamp(p["FineTuneMs"].toInt(), 0, 999));
    }
    s.clock.JumpNoCorrect = 1;  // every run forces it
    if (p.contains("JumpLog")) s.jumpLog = p["JumpLog"].toBool();
    if (p.contains("CommLog")) s.commLog = p["CommLog"].toBool();
    emit changed();
}

void ServiceLink::onPropertiesChanged(const QString& interfaceName,
                                      const QVariantMap& changedValues,
                                      const QStringList& invalidated) {
    if (interfaceName != QLatin1String(kServiceInterface) || !state_.known) return;
    applyProperties(changedValues);
    // A property announced without its value is read again with all the others.
    if (!invalidated.isEmpty()) readAll();
}

void ServiceLink::onMonitorLine(const QString& line) { emit monitorLine(line); }

void ServiceLink::onBox(const QString& kind, const QString& text) { emit box(kind, text); }

void ServiceLink::onOwnerChanged(const QString&, const QString& oldOwner, const QString& newOwner) {
    if (!oldOwner.isEmpty() && running_) {
        running_ = false;
        // What the gone service said no longer holds; its settings are kept for the dialog.
        state_.known = false;
        state_.lamp = Lamp::Red;
        state_.statusMessage.clear();
        emit changed();
        emit serviceLost();
    }
    if (newOwner.isEmpty()) return;
    running_ = true;
    emit serviceBack();
    readAll();
    // A new service process knows none of its old observers.
    if (observing_) observe();
}

void ServiceLink::correctNow(Done done) { call(QStringLiteral("CorrectNow"), {}, std::move(done)); }

void ServiceLink::set(const QMap<QString, QString>& values, Done done) {
    call(QStringLiteral("Set"), {QVariant::fromValue(values)}, std::move(done));
}

void ServiceLink::observe(Done done) {
    observing_ = true;
    call(QStringLiteral("Observe"), {},
         [this, done = std::move(done)](const ServiceCallResult& result) {
             // Refused or lost: no lines come, and none are asked for on the service's return.
             if (!result.ok) observing_ = false;
             if (done) done(result);
         });
}

void ServiceLink::stopObserving(Done done) {
    observing_ = false;
    call(QStringLiteral("StopObserving"), {}, std::move(done));
}

void ServiceLink::call(const QString& method, const QVariantList& arguments, Done done) {
    QDBusMessage message = QDBusMessage::createMethodCall(
        QString::fromLatin1(kServiceName), QString::fromLatin1(kServicePath),
        QString::fromLatin1(kServiceInterface), method);
    message.setArguments(arguments);
    if (!bus_.isConnected()) {
        // No pending call to watch: the failure is reported from the event loop all the same.
        const ServiceCallResult noBus{false,
                                      QStringLiteral("org.freedesktop.DBus.Error.Disconnected"),
                                      QStringLiteral("Not connected to the system bus")};
        QMetaObject::invokeMethod(
            this,
            [noBus, done = std::move(done)] {
                if (done) done(noBus);
            },
            Qt::QueuedConnection);
        return;
    }
    // A call the bus refuses to send finishes at once; the watcher still reports it from the
    // event loop.
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(message, kCallTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [done = std::move(done)](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                ServiceCallResult result;
                result.ok = !finished->isError();
                if (!result.ok) {
                    result.errorName = finished->error().name();
                    result.errorText = finished->error().message();
                }
                if (done) done(result);
            });
}

QMap<QString, QString> clockSettingsKeys(const ClockSettings& settings) {
    QMap<QString, QString> keys;
    const int mode = static_cast<int>(settings.CorrectionMode);
    if (mode >= static_cast<int>(CorrectionMode::EveryMinute) &&
        mode <= static_cast<int>(CorrectionMode::DailyPoints)) {
        keys.insert(oneKey("schedule", scheduleText(settings)));
    }
    keys.insert(oneKey("threshold", std::to_string(settings.JumpThresholdSec)));
    keys.insert(oneKey("fine", std::to_string(settings.FineTuneMs)));
    return keys;
}

QMap<QString, QString> portKeys(int port) { return oneKey("port", std::to_string(port)); }

QMap<QString, QString> baudKeys(int baudCode) { return oneKey("baud", baudText(baudCode)); }

QMap<QString, QString> formatKeys(int format) { return oneKey("format", formatText(format)); }

QMap<QString, QString> logKeys(const QString& key, bool on) {
    return {{key, on ? QStringLiteral("on") : QStringLiteral("off")}};
}

bool readSchedule(const QString& schedule, ClockSettings& settings) {
    StoredSettings stored;
    stored.clock = settings;
    if (applySetting(stored, "schedule=" + schedule.toStdString())) return false;
    settings = stored.clock;
    return true;
}

void showServiceBox(MessageBoxes& boxes, const QString& kind, const QString& text) {
    const std::string utf8 = text.toStdString();
    try {
        if (kind == QLatin1String("error")) return boxes.error(gbk(utf8));
        if (kind == QLatin1String("warning")) return boxes.warning(gbk(utf8));
        if (kind == QLatin1String("plain")) return boxes.plain(gbk(utf8));
    } catch (const EncodingError&) {
    }
    boxes.generalError(utf8);
}

}  // namespace zrq
