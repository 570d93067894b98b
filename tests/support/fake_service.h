// A fake clock service on a private bus of the test's own, for the bar's tests: the service's
// object (properties, recorded or refused methods), the service's name taken and given up, and
// its signals sent.
#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <optional>
#include <stdexcept>

#include "app/service_link.h"
#include "tests/support/private_bus.h"

namespace zrq::testing {

inline const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// The service's object as far as the bar sees it: properties, the methods (recorded, or refused
// as the service refuses a caller outside its group) and the signals.
class FakeManager final : public QDBusVirtualObject {
public:
    static QVariantMap defaultProperties() {
        return {{"Lamp", "green"},
                {"StatusMessage", QString::fromUtf8("接收正常")},
                {"Port", 3},
                {"BaudRate", 9600},
                {"Format", "EB_CODE"},
                {"Schedule", "daily:08:00:00,20:30:15"},
                {"JumpThreshold", 5},
                {"FineTuneMs", 250},
                {"JumpLog", true},
                {"CommLog", false},
                {"LastCorrectionResult", "done"}};
    }

    QVariantMap properties = defaultProperties();
    QStringList calls;  // "CorrectNow", "Set fine=250 format=EB_CODE", ...
    QString refusal;    // when set, every method is refused with this text
    QString refusalName = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() == kPropertiesInterface &&
            message.member() == QLatin1String("GetAll")) {
            connection.send(message.createReply(QVariant::fromValue(properties)));
            return true;
        }
        if (message.interface() != QLatin1String(kServiceInterface)) return false;
        if (!refusal.isEmpty()) {
            connection.send(message.createErrorReply(refusalName, refusal));
            return true;
        }
        QString call = message.member();
        if (call == QLatin1String("Set")) {
            const auto values = qdbus_cast<QMap<QString, QString>>(message.arguments().value(0));
            for (auto it = values.cbegin(); it != values.cend(); ++it) {
                call += " " + it.key() + "=" + *it;
            }
        }
        calls << call;
        connection.send(message.createReply());
        return true;
    }
};

// A private bus (DBUS_SYSTEM_BUS_ADDRESS pointing at it while it lives) with the fake object on a
// connection of its own. Create it before anything asks for the system bus.
class FakeServiceBus {
public:
    FakeServiceBus() : bus_(std::make_unique<PrivateBus>(PrivateBus::kOpenPolicy)) {
        if (!bus_->failure().empty()) throw std::runtime_error(bus_->failure());
        qDBusRegisterMetaType<QMap<QString, QString>>();
        side_ = QDBusConnection::connectToBus(QString::fromStdString(bus_->address()),
                                              QString::fromLatin1(kConnectionName));
        if (!side_->isConnected() || !side_->registerVirtualObject(kServicePath, &manager)) {
            throw std::runtime_error("the fake service could not join its bus");
        }
    }
    ~FakeServiceBus() {
        side_->unregisterObject(kServicePath);
        side_.reset();
        QDBusConnection::disconnectFromBus(QString::fromLatin1(kConnectionName));
    }
    FakeServiceBus(const FakeServiceBus&) = delete;
    FakeServiceBus& operator=(const FakeServiceBus&) = delete;

    // The fake takes the service's name, or gives it up; false when the bus refuses.
    bool arrive() { return side_->registerService(kServiceName); }
    bool leave() { return side_->unregisterService(kServiceName); }
    // Between tests: no owner, nothing recorded, nothing refused, the first properties.
    void reset() {
        side_->unregisterService(kServiceName);
        manager.calls.clear();
        manager.refusal.clear();
        manager.refusalName = FakeManager().refusalName;
        manager.properties = FakeManager::defaultProperties();
    }

    bool emitSignal(const QString& interfaceName, const QString& name, const QVariantList& args) {
        QDBusMessage message =
            QDBusMessage::createSignal(QString::fromLatin1(kServicePath), interfaceName, name);
        message.setArguments(args);
        return side_->send(message);
    }
    bool emitManagerSignal(const QString& name, const QVariantList& args) {
        return emitSignal(QString::fromLatin1(kServiceInterface), name, args);
    }
    bool emitPropertiesChanged(const QVariantMap& values) {
        return emitSignal(kPropertiesInterface, QStringLiteral("PropertiesChanged"),
                          {QString::fromLatin1(kServiceInterface), values, QStringList{}});
    }

    const PrivateBus& bus() const { return *bus_; }

    FakeManager manager;

private:
    static constexpr const char* kConnectionName = "fake-service";
    std::unique_ptr<PrivateBus> bus_;
    std::optional<QDBusConnection> side_;
};

}  // namespace zrq::testing
