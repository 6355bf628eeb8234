#include "FakeSystemd.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusObjectPath>
#include <cstdlib>

#include "TestApps.h"

namespace vorsel::testing {
namespace {

const QString kService = QStringLiteral("org.freedesktop.systemd1");
const QString kPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManager = QStringLiteral("org.freedesktop.systemd1.Manager");
pid_t daemonPid = -1;

}  // namespace

FakeSystemd::FakeSystemd()
    : connection(QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-systemd")) {
    isPresent = connection.isConnected() && connection.registerVirtualObject(kPath, this) &&
                connection.registerService(kService);
}

FakeSystemd::~FakeSystemd() {
    connection.unregisterService(kService);
    connection.unregisterObject(kPath);
    QDBusConnection::disconnectFromBus("fake-systemd");
}

QStringList FakeSystemd::callNames() const {
    QStringList names;
    for (const auto& call : recordedCalls) names << call.member();
    return names;
}

void FakeSystemd::sendUnitNew(const QString& unit) {
    connection.send(QDBusMessage::createSignal(kPath, kManager, QStringLiteral("UnitNew"))
                    << unit
                    << QVariant::fromValue(QDBusObjectPath("/org/freedesktop/systemd1/unit/x")));
}

void FakeSystemd::sendJobRemoved(const QString& unit, const QString& result) {
    connection.send(QDBusMessage::createSignal(kPath, kManager, QStringLiteral("JobRemoved"))
                    << 7u << QVariant::fromValue(QDBusObjectPath("/org/freedesktop/systemd1/job/7"))
                    << unit << result);
}

void FakeSystemd::sendUnitRemoved(const QString& unit) {
    connection.send(QDBusMessage::createSignal(kPath, kManager, QStringLiteral("UnitRemoved"))
                    << unit
                    << QVariant::fromValue(QDBusObjectPath("/org/freedesktop/systemd1/unit/x")));
}

QString FakeSystemd::introspect(const QString&) const { return {}; }

bool FakeSystemd::handleMessage(const QDBusMessage& message,
                                const QDBusConnection& givenConnection) {
    if (message.type() != QDBusMessage::MethodCallMessage) return false;
    recordedCalls << message;
    if (refusing.contains(message.member())) {
        givenConnection.send(message.createErrorReply(
            QStringLiteral("org.freedesktop.DBus.Error.Failed"), QStringLiteral("refused")));
    } else if (message.member() == QStringLiteral("StartTransientUnit")) {
        givenConnection.send(message.createReply(
            QVariant::fromValue(QDBusObjectPath("/org/freedesktop/systemd1/job/1"))));
    } else {
        givenConnection.send(message.createReply());
    }
    return true;
}

bool startPrivateBus(const std::string& folder) {
    std::string config = folder + "/bus.conf";
    writeFile(config,
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>session</type><listen>unix:dir=" +
                  folder +
                  "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                  "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                  "<allow own=\"*\"/></policy></busconfig>\n");
    int out[2];
    if (::pipe(out) != 0) return false;
    daemonPid = ::fork();
    if (daemonPid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        std::string option = "--config-file=" + config;
        ::execl("/usr/bin/dbus-daemon", "dbus-daemon", option.c_str(), "--nofork",
                "--print-address=1", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string address;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') address += c;
    ::close(out[0]);
    if (address.empty()) return false;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    return true;
}

void stopPrivateBus() {
    if (daemonPid <= 0) return;
    ::kill(daemonPid, SIGTERM);
    ::waitpid(daemonPid, nullptr, 0);
    daemonPid = -1;
}

}  // namespace vorsel::testing
