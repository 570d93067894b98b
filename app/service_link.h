// The bar's link to the clock service on the system bus: whether the service runs, its state as
// last reported, its monitor lines and boxes, and the calls that steer it.
#pragma once

#include <QDBusConnection>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

#include "base/message_boxes.h"
#include "store/clock_settings.h"
#include "timecode/second_tick.h"

class QDBusMessage;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

namespace zrq {

inline constexpr const char* kServiceName = "org.horivo.Zrq1";
inline constexpr const char* kServicePath = "/org/horivo/Zrq1";
inline constexpr const char* kServiceInterface = "org.horivo.Zrq1.Manager";

// The service's properties as last read or changed; `known` is false until the first answer to
// GetAll after the service appeared, and again once it has gone.
struct ServiceState {
    bool known = false;
    Lamp lamp = Lamp::Red;  // an unknown lamp name shows red
    QString statusMessage;
    int port = 0;
    int baudRate = 0;  // bit/s
    int baudCode = 0;  // kBaudCode4800 or kBaudCode9600; 0 for any other rate
    // Schedule, JumpThreshold, FineTuneMs and Format as the settings dialog holds them; the
    // schedule stays as it was when the service's text cannot be read.
    ClockSettings clock;
    bool jumpLog = false;
    bool commLog = false;
    QVariantMap properties;  // every property by name, the last frame's and correction's too
};

// How a call ended: `ok`, or the bus's error name and text (a refusal is
// org.freedesktop.DBus.Error.AccessDenied; no answer in time is ...Error.NoReply).
struct ServiceCallResult {
    bool ok = false;
    QString errorName;
    QString errorText;

    bool refused() const;  // access denied, by the bus's policy or by the service
};

class ServiceLink final : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(const ServiceCallResult&)>;

    // Follows the service on the system bus (DBUS_SYSTEM_BUS_ADDRESS where set). Asks the bus
    // once, waiting at most kOwnerQueryMs, whether the service runs; if it does, the state is
    // read asynchronously and changed() follows.
    explicit ServiceLink(QObject* parent = nullptr);
    // The same on another connection.
    ServiceLink(const QDBusConnection& bus, QObject* parent = nullptr);
    ~ServiceLink() override;

    static constexpr int kOwnerQueryMs = 1000;   // the start-up question to the bus itself
    static constexpr int kCallTimeoutMs = 3000;  // a call unanswered by then ends as NoReply

    // Whether the service has an owner on the bus, as last seen.
    bool serviceRunning() const { return running_; }
    const ServiceState& state() const { return state_; }
    // Whether this link has asked the service for monitor lines (and will again on its return).
    bool observing() const { return observing_; }

    // The service's methods, all asynchronous: `done` runs on this thread once the call has
    // ended (with an error when there is no bus), never inside the call.
    void correctNow(Done done = {});
    void set(const QMap<QString, QString>& values, Done done = {});
    void observe(Done done = {});
    void stopObserving(Done done = {});

signals:
    void changed();  // state() holds new values
    void monitorLine(const QString& line);
    void box(const QString& kind, const QString& text);  // kind: "error", "warning" or "plain"
    void serviceLost();
    void serviceBack();

private slots:
    void onPropertiesChanged(const QString& interfaceName, const QVariantMap& changedValues,
                             const QStringList& invalidated);
    void onMonitorLine(const QString& line);
    void onBox(const QString& kind, const QString& text);
    void onOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    void subscribe();
    void readAll();
    void applyProperties(const QVariantMap& values);
    void call(const QString& method, const QVariantList& arguments, Done done);

    QDBusConnection bus_;
    QDBusServiceWatcher* watcher_ = nullptr;
    ServiceState state_;
    bool running_ = false;
    bool observing_ = false;
};

// The Set entries for the settings dialog's values: schedule (left out when no mode is chosen),
// threshold and fine.
QMap<QString, QString> clockSettingsKeys(const ClockSettings& settings);
// The Set entry of a port number, a rate code (kBaudCode4800/9600) and a format (1..3); the
// service gives a new format its rate, as the format menu does.
QMap<QString, QString> portKeys(int port);
QMap<QString, QString> baudKeys(int baudCode);
QMap<QString, QString> formatKeys(int format);
// The Set entry of the jump log ("jumplog") or communication log ("commlog") switch.
QMap<QString, QString> logKeys(const QString& key, bool on);

// Reads the service's Schedule text ("minute:SS", "hour:MM:SS", "daily:HH:MM:SS,...") into
// `settings`; false, leaving it unchanged, when the text is none of these.
bool readSchedule(const QString& schedule, ClockSettings& settings);

// Shows one of the service's boxes as the bar's own box of that kind; a text that GBK cannot
// hold, or an unknown kind, goes to the general error report with its UTF-8 text.
void showServiceBox(MessageBoxes& boxes, const QString& kind, const QString& text);

}  // namespace zrq
