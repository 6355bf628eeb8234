#include "Platform/Linux/Install/UserManager.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace vorsel::linux_platform {

namespace {

const QString kManagerName = QStringLiteral("org.freedesktop.systemd1");

class SessionUserManager final : public UserManager {
  public:
    bool running() override {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected() || !bus.interface()) return false;
        const auto reply = bus.interface()->isServiceRegistered(kManagerName);
        return reply.isValid() && reply.value();
    }

    std::optional<std::string> reload() override {
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
};

}  // namespace

std::unique_ptr<UserManager> sessionUserManager() { return std::make_unique<SessionUserManager>(); }

}  // namespace vorsel::linux_platform
