#include "Platform/Linux/System/DBusLinkService.h"

#include <dlfcn.h>

#include <climits>

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QVariantMap>

#include "Platform/Linux/BusName.h"

namespace vorsel::linux_platform {

namespace {

const QString kBusService = QStringLiteral("org.freedesktop.DBus");
const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");
const QString kAccessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
constexpr int kJudgeIdleMs = 2000;  // how long an idle judge thread stays

std::string text(const QString& value) { return value.toStdString(); }

// libdbus stops reading a connection while the messages it has handed out
// total 63 MiB or more, and starts again when enough of them are freed. Qt
// frees them on the thread that handled them (ours), and the watch that libdbus
// then turns back on belongs to Qt's D-Bus thread: Qt refuses to enable it from
// here, and the connection never reads again. One 64 MiB message from any
// peer would leave the agent deaf for good. So never stop reading: the bus
// already bounds each message and what it queues for us. libdbus is loaded
// with Qt D-Bus; its symbol is looked up rather than linked, as Qt does.
void neverStopReading(const QDBusConnection& bus) {
    using SetMaxReceivedSize = void (*)(void* connection, long size);
    auto set = reinterpret_cast<SetMaxReceivedSize>(
        ::dlsym(RTLD_DEFAULT, "dbus_connection_set_max_received_size"));
    if (set && bus.internalPointer()) set(bus.internalPointer(), LONG_MAX);
}

}  // namespace

DBusLinkService::DBusLinkService(RunLoop& runLoop, Log& log, CallerCheck check, QDBusConnection bus)
    : runLoop_(runLoop), log_(log), check_(std::move(check)), bus_(std::move(bus)) {
    // Judging hashes a bundle; two at a time keeps a crowd of new peers from
    // taking every core while the main thread stays free.
    judges_.setMaxThreadCount(2);
    // Callers come seldom (once per connection): a judge thread that has
    // nothing to do leaves soon rather than keep its stack for 30 s.
    judges_.setExpiryTimeout(kJudgeIdleMs);
    neverStopReading(bus_);
}

DBusLinkService::~DBusLinkService() {
    judges_.waitForDone();
    if (registered_) bus_.unregisterObject(QString::fromLatin1(kLinkPath));
    if (!ownedName_.isEmpty() && bus_.isConnected() && bus_.interface())
        bus_.interface()->unregisterService(ownedName_);
}

bool DBusLinkService::listen(const std::string& serviceName, LinkListenerDelegate& delegate) {
    if (!bus_.isConnected()) {
        giveUp("couldn't reach the session bus (" + text(bus_.lastError().message()) + ")");
        return false;
    }
    // Qt keeps running after the bus goes away; the bus's own farewell is
    // the one sure sign, so listen for it.
    bus_.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                 QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), this,
                 SLOT(disconnected()));
    bus_.connect(kBusService, kBusPath, kBusService, QStringLiteral("NameOwnerChanged"), this,
                 SLOT(nameOwnerChanged(QString, QString, QString)));

    if (!bus_.registerObject(QString::fromLatin1(kLinkPath), this,
                             QDBusConnection::ExportScriptableSlots)) {
        giveUp("couldn't serve " + std::string(kLinkPath) + " on the session bus");
        return false;
    }
    registered_ = true;

    const QString name = QString::fromStdString(busName(serviceName));
    QDBusConnectionInterface* bus = bus_.interface();
    if (!bus) {
        giveUp("couldn't reach the session bus");
        return false;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> owned =
        bus->registerService(name, QDBusConnectionInterface::DontQueueService,
                             QDBusConnectionInterface::DontAllowReplacement);
    if (!owned.isValid()) {
        giveUp("couldn't own " + text(name) + " (" + text(owned.error().message()) + ")");
        return false;
    }
    if (owned.value() != QDBusConnectionInterface::ServiceRegistered) {
        giveUp("another process owns " + text(name));
        return false;
    }
    ownedName_ = name;
    // Only now: a caller that reached us by our unique name before we owned
    // the service (or after we failed to) is never served.
    delegate_ = &delegate;
    return true;
}

qint64 DBusLinkService::Version(const QDBusMessage& message) {
    arrived(message);
    return 0;
}

bool DBusLinkService::Hold(const QByteArray&, const QDBusMessage& message, QByteArray&) {
    arrived(message);
    return false;
}

QByteArray DBusLinkService::Held(const QDBusMessage& message) {
    arrived(message);
    return {};
}

void DBusLinkService::arrived(const QDBusMessage& message) {
    message.setDelayedReply(true);
    const std::string name = text(message.service());
    auto found = peers_.find(name);
    if (found == peers_.end()) {
        found = peers_.emplace(name, Peer{}).first;
        Peer& peer = found->second;
        if (!delegate_ || !delegate_->shouldAcceptNewConnection(peer.connection)) {
            peer.verdict = Verdict::refused;
        } else if (peer.connection.requirement.empty()) {
            peer.verdict = Verdict::genuine;  // nothing asked of this peer
        } else {
            peer.waiting.push_back(message);
            judge(name, peer.connection.requirement);
            return;
        }
    }
    Peer& peer = found->second;
    switch (peer.verdict) {
        case Verdict::judging:
            peer.waiting.push_back(message);
            break;
        case Verdict::genuine:
            deliver(peer.connection, message);
            break;
        case Verdict::refused:
            deny(message);
            break;
    }
}

void DBusLinkService::judge(const std::string& name, const std::string& requirement) {
    QDBusMessage ask = QDBusMessage::createMethodCall(kBusService, kBusPath, kBusService,
                                                      QStringLiteral("GetConnectionCredentials"));
    ask << QString::fromStdString(name);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(ask), this);
    connect(
        watcher, &QDBusPendingCallWatcher::finished, this,
        [this, name, requirement](QDBusPendingCallWatcher* call) {
            call->deleteLater();
            const QDBusMessage reply = call->reply();
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
                // Most likely the peer has left already, and its farewell
                // may have come before its call: forget it here, or never.
                judged(name, false);
                peers_.erase(name);
                return;
            }
            const QVariantMap credentials = qdbus_cast<QVariantMap>(reply.arguments().constFirst());
            bool uidKnown = false;
            bool pidKnown = false;
            const uint uid = credentials.value(QStringLiteral("UnixUserID")).toUInt(&uidKnown);
            const uint pid = credentials.value(QStringLiteral("ProcessID")).toUInt(&pidKnown);
            if (!uidKnown || !pidKnown || pid == 0 || pid > INT32_MAX) {
                judged(name, false);
                return;
            }
            // The check hashes the peer's executable and validates its
            // bundle: off the main thread, then back to it with the answer.
            judges_.start([this, check = check_, name, requirement, uid, pid] {
                bool genuine = false;
                try {
                    genuine = check(uid, static_cast<std::int32_t>(pid), requirement);
                } catch (...) {
                    genuine = false;
                }
                QMetaObject::invokeMethod(
                    this, [this, name, genuine] { judged(name, genuine); }, Qt::QueuedConnection);
            });
        });
}

void DBusLinkService::judged(const std::string& name, bool genuine) {
    auto found = peers_.find(name);
    if (found == peers_.end()) return;  // it left the bus meanwhile
    Peer& peer = found->second;
    if (peer.verdict != Verdict::judging) return;
    peer.verdict = genuine ? Verdict::genuine : Verdict::refused;
    std::deque<QDBusMessage> waiting;
    waiting.swap(peer.waiting);
    for (const QDBusMessage& message : waiting) {
        if (genuine)
            deliver(peer.connection, message);
        else
            deny(message);
    }
}

void DBusLinkService::deliver(const DBusLinkConnection& connection, const QDBusMessage& message) {
    LinkHandler* handler = connection.resumed ? connection.handler : nullptr;
    if (!handler) {
        bus_.send(message.createErrorReply(QDBusError::Failed,
                                           QStringLiteral("nothing serves this connection")));
        return;
    }
    const QDBusConnection bus = bus_;
    const QString member = message.member();
    if (member == QLatin1String("Version")) {
        handler->version([bus, message](std::int64_t version) {
            bus.send(message.createReply(QVariant::fromValue<qint64>(version)));
        });
    } else if (member == QLatin1String("Hold")) {
        const QByteArray rules = message.arguments().value(0).toByteArray();
        handler->hold(std::string(rules.constData(), static_cast<size_t>(rules.size())),
                      [bus, message](std::optional<std::string> held) {
                          const QByteArray bytes =
                              held ? QByteArray(held->data(), static_cast<qsizetype>(held->size()))
                                   : QByteArray();
                          bus.send(message.createReply(
                              QVariantList{QVariant(held.has_value()), QVariant(bytes)}));
                      });
    } else if (member == QLatin1String("Held")) {
        handler->held([bus, message](std::string held) {
            bus.send(message.createReply(
                QVariant(QByteArray(held.data(), static_cast<qsizetype>(held.size())))));
        });
    }
}

void DBusLinkService::deny(const QDBusMessage& message) {
    bus_.send(message.createErrorReply(kAccessDenied,
                                       QStringLiteral("only the genuine app may call the guard")));
}

void DBusLinkService::nameOwnerChanged(const QString& name, const QString&,
                                       const QString& newOwner) {
    if (newOwner.isEmpty() && name.startsWith(QLatin1Char(':'))) peers_.erase(text(name));
}

void DBusLinkService::disconnected() { giveUp("lost the session bus"); }

void DBusLinkService::giveUp(const std::string& why) {
    log_.write(LogLevel::error, why + ": leaving");
    runLoop_.exit(1);
}

}  // namespace vorsel::linux_platform
