#include "Platform/Linux/Workspace/SystemdUser.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QList>

#include "Platform/Linux/Workspace/AppUnit.h"

namespace vorsel::linux_platform {
namespace {

const QString kService = QStringLiteral("org.freedesktop.systemd1");
const QString kPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManager = QStringLiteral("org.freedesktop.systemd1.Manager");

// One property of a transient unit: D-Bus "(sv)".
struct UnitProperty {
    QString name;
    QDBusVariant value;
};

// An auxiliary unit: D-Bus "(sa(sv))"; always an empty list here.
struct AuxUnit {
    QString name;
    QList<UnitProperty> properties;
};

QDBusArgument& operator<<(QDBusArgument& out, const UnitProperty& property) {
    out.beginStructure();
    out << property.name << property.value;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, UnitProperty& property) {
    in.beginStructure();
    in >> property.name >> property.value;
    in.endStructure();
    return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const AuxUnit& unit) {
    out.beginStructure();
    out << unit.name << unit.properties;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, AuxUnit& unit) {
    in.beginStructure();
    in >> unit.name >> unit.properties;
    in.endStructure();
    return in;
}

}  // namespace
}  // namespace vorsel::linux_platform

Q_DECLARE_METATYPE(vorsel::linux_platform::UnitProperty)
Q_DECLARE_METATYPE(vorsel::linux_platform::AuxUnit)

namespace vorsel::linux_platform {
namespace {

void registerTypes() {
    static const bool done = [] {
        // QtDBus matches a slot's parameters by type name, which only works
        // for types registered by name.
        qRegisterMetaType<QDBusObjectPath>();
        qDBusRegisterMetaType<UnitProperty>();
        qDBusRegisterMetaType<QList<UnitProperty>>();
        qDBusRegisterMetaType<AuxUnit>();
        qDBusRegisterMetaType<QList<AuxUnit>>();
        qDBusRegisterMetaType<QList<uint>>();
        return true;
    }();
    (void)done;
}

void callManager(const QString& method, const QList<QVariant>& arguments = {}) {
    auto message = QDBusMessage::createMethodCall(kService, kPath, kManager, method);
    message.setArguments(arguments);
    // The reply is of no interest; asking for none keeps the main thread free.
    message.setAutoStartService(false);
    QDBusConnection::sessionBus().asyncCall(message);
}

}  // namespace

bool systemdUserManagerRuns() {
    if (QCoreApplication::instance() == nullptr) return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) return false;
    auto reply = bus.interface()->isServiceRegistered(kService);
    return reply.isValid() && reply.value();
}

void moveToOwnScope(pid_t pid, const std::string& appId) {
    registerTypes();
    QString unit = QStringLiteral("app-vorsel-%1-%2.scope")
                       .arg(QString::fromStdString(escapeUnitPiece(appId)))
                       .arg(pid);
    QList<UnitProperty> properties{
        {QStringLiteral("PIDs"),
         QDBusVariant(QVariant::fromValue(QList<uint>{static_cast<uint>(pid)}))},
        {QStringLiteral("CollectMode"), QDBusVariant(QStringLiteral("inactive-or-failed"))}};
    callManager(QStringLiteral("StartTransientUnit"),
                {unit, QStringLiteral("fail"), QVariant::fromValue(properties),
                 QVariant::fromValue(QList<AuxUnit>{})});
}

SystemdUnitWatch::SystemdUnitWatch(std::function<void(bool, bool)> changed)
    : changed(std::move(changed)) {
    registerTypes();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    bool jobs = bus.connect(kService, kPath, kManager, QStringLiteral("JobRemoved"), this,
                            SLOT(jobRemoved(uint, QDBusObjectPath, QString, QString)));
    bool removed = bus.connect(kService, kPath, kManager, QStringLiteral("UnitRemoved"), this,
                               SLOT(unitRemoved(QString, QDBusObjectPath)));
    isWatching = jobs && removed;
    // Without Subscribe the manager sends its unit signals to nobody.
    if (isWatching) callManager(QStringLiteral("Subscribe"));
}

SystemdUnitWatch::~SystemdUnitWatch() { close(); }

void SystemdUnitWatch::close() {
    if (!changed) return;
    changed = nullptr;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.disconnect(kService, kPath, kManager, QStringLiteral("JobRemoved"), this,
                   SLOT(jobRemoved(uint, QDBusObjectPath, QString, QString)));
    bus.disconnect(kService, kPath, kManager, QStringLiteral("UnitRemoved"), this,
                   SLOT(unitRemoved(QString, QDBusObjectPath)));
    if (isWatching) callManager(QStringLiteral("Unsubscribe"));
    isWatching = false;
}

void SystemdUnitWatch::jobRemoved(uint, const QDBusObjectPath&, const QString& unit,
                                  const QString& result) {
    // The signal does not tell a start from a stop: a stop that is done
    // brings one pass too many, which costs little; a start that failed
    // started nothing.
    if (changed && result == QStringLiteral("done") && appIdOfUnit(unit.toStdString()))
        changed(true, false);
}

void SystemdUnitWatch::unitRemoved(const QString& id, const QDBusObjectPath&) {
    if (changed && appIdOfUnit(id.toStdString())) changed(false, true);
}

}  // namespace vorsel::linux_platform
