#include "Platform/Linux/Install/UserSession.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace vorsel::linux_platform {

namespace {

const QString kManagerName = QStringLiteral("org.freedesktop.systemd1");

class CurrentUserSession final : public UserSession {
  public:
    bool managerRunning() override {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected() || !bus.interface()) return false;
        const auto reply = bus.interface()->isServiceRegistered(kManagerName);
        return reply.isValid() && reply.value();
    }

    std::optional<std::string> reloadUnits() override {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) return "There is no session bus.";
        auto call = QDBusMessage::createMethodCall(
            kManagerName, QStringLiteral("/org/freedesktop/systemd1"),
            QStringLiteral("org.freedesktop.systemd1.Manager"), QStringLiteral("Reload"));
        // Reloading a busy manager can take a while; a minute is its own limit.
        const QDBusMessage reply = bus.call(call, QDBus::Block, 60000);
        if (reply.type() == QDBusMessage::ErrorMessage) {
            return "The user service manager could not reload its units: " +
                   reply.errorMessage().toStdString();
        }
        return std::nullopt;
    }

    void reloadServices() override {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) return;
        auto call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReloadConfig"));
        bus.call(call, QDBus::Block, 10000);
    }
};

}  // namespace

std::unique_ptr<UserSession> currentUserSession() { return std::make_unique<CurrentUserSession>(); }

}  // namespace vorsel::linux_platform
