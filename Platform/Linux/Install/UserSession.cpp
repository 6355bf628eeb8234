#include "Platform/Linux/Install/UserSession.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <cstdlib>
#include <cstring>

#include "Platform/Linux/Install/ShellExtension.h"
#include "Platform/Linux/Runtime/PosixError.h"

namespace vorsel::linux_platform {

namespace {

const QString kManagerName = QStringLiteral("org.freedesktop.systemd1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManagerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
// Reloading a busy manager can take a while; a minute is its own limit.
constexpr int kReloadTimeout = 60000;

// The user manager's own D-Bus socket, which systemctl --user talks to. It
// is there from the manager's start on, whereas the session bus is a unit
// the manager starts on first use and registers on only once that is up:
// a question to the bus can come too early and hear of no manager.
std::string managerSocket() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/') return {};
    return std::string(runtime) + "/systemd/private";
}

// Whether something listens on the unix socket at `path`: a manager that
// has ended leaves its socket file behind until the folder is cleaned.
bool listening(const std::string& path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool accepted =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return accepted;
}

std::optional<std::string> reloadError(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ErrorMessage) return std::nullopt;
    return "The user service manager could not reload its units: " +
           reply.errorMessage().toStdString();
}

// Reload, asked on the manager's own socket as systemctl asks it. With
// sd-bus, systemd's own client: a Qt D-Bus peer link loses the reply to its
// first call there.
std::optional<std::string> reloadOverSocket(const std::string& socket) {
    sd_bus* link = nullptr;
    int result = sd_bus_new(&link);
    if (result >= 0) result = sd_bus_set_address(link, ("unix:path=" + socket).c_str());
    if (result >= 0) result = sd_bus_start(link);
    if (result >= 0) result = sd_bus_set_method_call_timeout(link, kReloadTimeout * 1000ull);
    std::optional<std::string> failed;
    if (result < 0) {
        failed = "The user service manager could not be reached: " + posixError(-result) + ".";
    } else {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        result = sd_bus_call_method(
            link, kManagerName.toUtf8().constData(), kManagerPath.toUtf8().constData(),
            kManagerInterface.toUtf8().constData(), "Reload", &error, nullptr, "");
        if (result < 0) {
            failed = std::string("The user service manager could not reload its units: ") +
                     (error.message ? error.message : posixError(-result));
        }
        sd_bus_error_free(&error);
    }
    sd_bus_flush_close_unref(link);
    return failed;
}

class CurrentUserSession final : public UserSession {
  public:
    bool managerRunning() override {
        if (listening(managerSocket())) return true;
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected() || !bus.interface()) return false;
        const auto reply = bus.interface()->isServiceRegistered(kManagerName);
        return reply.isValid() && reply.value();
    }

    std::optional<std::string> reloadUnits() override {
        const std::string socket = managerSocket();
        if (listening(socket)) return reloadOverSocket(socket);
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) return "There is no session bus.";
        auto call = QDBusMessage::createMethodCall(kManagerName, kManagerPath, kManagerInterface,
                                                   QStringLiteral("Reload"));
        // A bus the manager started would hold a call to a manager that is
        // not there until one registers: ask only one that is there.
        call.setAutoStartService(false);
        return reloadError(bus.call(call, QDBus::Block, kReloadTimeout));
    }

    std::optional<std::string> switchShellExtension(bool on) override {
        return linux_platform::switchShellExtension(on);
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
