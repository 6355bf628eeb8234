#include "Platform/Linux/Link/DBusLinkService.h"

#include <dlfcn.h>
#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <fstream>

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QVariantMap>

#include "Platform/Linux/Runtime/BusName.h"

namespace vorsel::linux_platform {

namespace {

const QString kBusService = QStringLiteral("org.freedesktop.DBus");
const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");
const QString kAccessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
const QString kLimitsExceeded = QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded");
const QString kNotGenuine = QStringLiteral("only the genuine app may call the guard");
// Refused senders remembered per connection, so that their calls cost no
// new verdict each.
constexpr std::size_t kRefusedKept = 4;
constexpr int kJudgeIdleMs = 2000;  // how long an idle judge thread stays

std::string text(const QString& value) { return value.toStdString(); }

// libdbus stops reading a connection while the messages it has handed out
// total 63 MiB or more (or carry more than a few thousand descriptors), and
// starts again when enough of them are freed. Qt frees them on the thread
// that handled them (ours), and the watch that libdbus then turns back on
// belongs to Qt's D-Bus thread: Qt refuses to enable it from here, and the
// connection never reads again. One 64 MiB message from any peer would leave
// the agent deaf for good. So never stop reading: the bus already bounds each
// message and what it queues for us, and the link bounds what waits.
// libdbus is loaded with Qt D-Bus; its symbols are looked up rather than
// linked, as Qt does.
void neverStopReading(const QDBusConnection& bus) {
    using SetMax = void (*)(void* connection, long size);
    for (const char* limit :
         {"dbus_connection_set_max_received_size", "dbus_connection_set_max_received_unix_fds"}) {
        auto set = reinterpret_cast<SetMax>(::dlsym(RTLD_DEFAULT, limit));
        if (set && bus.internalPointer()) set(bus.internalPointer(), LONG_MAX);
    }
}

// A waiting call holds two descriptors (the proof in libdbus's message and
// Qt's copy of it): the calls that may wait, in all, fit in what this
// process may open, with room for everything else.
LinkLimits withinDescriptors(LinkLimits limits) {
    constexpr std::size_t kRoom = 256;
    rlimit open{};
    if (::getrlimit(RLIMIT_NOFILE, &open) != 0 || open.rlim_cur == RLIM_INFINITY) return limits;
    const std::size_t fit =
        open.rlim_cur > 2 * kRoom ? (static_cast<std::size_t>(open.rlim_cur) - kRoom) / 2 : 1;
    limits.calls = std::min(limits.calls, fit);
    limits.callsPerCaller = std::min(limits.callsPerCaller, fit);
    return limits;
}

}  // namespace

DBusLinkService::DBusLinkService(RunLoop& runLoop, Log& log, CallerCheck check, QDBusConnection bus,
                                 LinkOptions options)
    : runLoop_(runLoop),
      log_(log),
      check_(std::move(check)),
      bus_(std::move(bus)),
      options_(std::move(options)) {
    options_.waiting = withinDescriptors(options_.waiting);
    // Judging hashes a bundle; two at a time keeps a crowd of new senders
    // from taking every core while the main thread stays free.
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
    if (!bus_.connectionCapabilities().testFlag(QDBusConnection::UnixFileDescriptorPassing))
        log_.write(LogLevel::error,
                   "the session bus passes no descriptors: no caller can prove who it is");
    sayWhoMayTrace();
    // Only now: a caller that reached us by our unique name before we owned
    // the service (or after we failed to) is never served.
    delegate_ = &delegate;
    return true;
}

qint64 DBusLinkService::Version(const QDBusUnixFileDescriptor& proof, const QDBusMessage& message) {
    arrived(message, {}, proof);
    return 0;
}

bool DBusLinkService::Hold(const QByteArray& rules, const QDBusUnixFileDescriptor& proof,
                           const QDBusMessage& message, QByteArray&) {
    arrived(message, rules, proof);
    return false;
}

QByteArray DBusLinkService::Held(const QDBusUnixFileDescriptor& proof,
                                 const QDBusMessage& message) {
    arrived(message, {}, proof);
    return {};
}

DBusLinkService::Peer& DBusLinkService::peerFor(const std::string& name) {
    auto found = peers_.find(name);
    if (found != peers_.end()) return found->second;
    Peer& peer = peers_.emplace(name, Peer{}).first->second;
    peer.refused = !delegate_ || !delegate_->shouldAcceptNewConnection(peer.connection);
    return peer;
}

void DBusLinkService::arrived(const QDBusMessage& message, const QByteArray& arguments,
                              const QDBusUnixFileDescriptor& proof) {
    message.setDelayedReply(true);
    const std::string name = text(message.service());
    Peer& peer = peerFor(name);
    if (peer.refused) return deny(message, kNotGenuine);
    if (peer.connection.requirement.empty()) return deliver(peer.connection, message);

    std::string why;
    auto proven = readProof(proof.fileDescriptor(), &why, options_.kernelPidfd);
    if (!proven)
        return deny(message,
                    QStringLiteral("the call proves no sender: ") + QString::fromStdString(why));
    auto sender = std::make_shared<const Sender>(
        Sender{proven->sender.pid, proven->sender.uid, std::move(proven->sender.pidfd)});
    if (refusedBefore(peer, *sender)) return deny(message, kNotGenuine);

    // The sender judged genuine here, with nothing waiting ahead: looked at
    // again, it is answered at once.
    if (peer.waiting.empty() && peer.trusted && sameSender(*peer.trusted, *sender)) {
        switch (recheck(*peer.trusted, peer.snapshot)) {
            case Recheck::same:
                return answer(peer.connection, message, proven->text);
            case Recheck::refused:
                refuseSender(peer, std::move(peer.trusted));
                return deny(message, kNotGenuine);
            case Recheck::changed:
                peer.trusted.reset();
                break;
        }
    }
    const std::size_t bytes = static_cast<std::size_t>(arguments.size()) + kCallOverhead;
    if (!admits(peer, bytes)) {
        bus_.send(message.createErrorReply(
            kLimitsExceeded,
            QStringLiteral("too many calls wait for their sender to be judged: try again later")));
        return;
    }
    peer.waiting.push_back({message, std::move(sender), std::move(proven->text), bytes});
    peer.waitingBytes += bytes;
    count(bytes, true);
    pump(name, false);
}

bool DBusLinkService::admits(const Peer& peer, std::size_t bytes) const {
    const LinkLimits& limits = options_.waiting;
    const bool small = bytes <= kSmallCall;
    return peer.waiting.size() < limits.callsPerCaller && waitingCalls_ < limits.calls &&
           peer.waitingBytes + bytes <= limits.bytesPerCaller &&
           (small ? waitingSmallBytes_ + bytes <= limits.smallBytes
                  : waitingBytes_ + bytes <= limits.bytes);
}

void DBusLinkService::count(std::size_t bytes, bool adding) {
    std::size_t& pool = bytes <= kSmallCall ? waitingSmallBytes_ : waitingBytes_;
    if (adding) {
        ++waitingCalls_;
        pool += bytes;
    } else {
        --waitingCalls_;
        pool -= bytes;
    }
}

DBusLinkService::Waiting DBusLinkService::take(Peer& peer) {
    Waiting call = std::move(peer.waiting.front());
    peer.waiting.pop_front();
    peer.waitingBytes -= call.bytes;
    count(call.bytes, false);
    return call;
}

// Answers the waiting calls of `name` in order, as far as verdicts allow,
// and asks for the verdict the first unanswered one needs. `fresh`: a
// verdict was just given, which needs no second look for the calls of its
// sender that waited for it.
void DBusLinkService::pump(const std::string& name, bool fresh) {
    auto found = peers_.find(name);
    if (found == peers_.end()) return;
    Peer& peer = found->second;
    while (!peer.waiting.empty()) {
        const Waiting& head = peer.waiting.front();
        // A sender that has ended can never be judged genuine again (nor
        // stays in the refused ones): its calls are refused here, for good.
        if (!head.sender->alive() || refusedBefore(peer, *head.sender)) {
            deny(take(peer).message, kNotGenuine);
            continue;
        }
        if (peer.trusted && sameSender(*peer.trusted, *head.sender)) {
            const Recheck again = fresh ? Recheck::same : recheck(*peer.trusted, peer.snapshot);
            if (again == Recheck::same) {
                const Waiting call = take(peer);
                answer(peer.connection, call.message, call.proof);
                continue;
            }
            if (again == Recheck::refused) {
                refuseSender(peer, std::move(peer.trusted));
                continue;
            }
            peer.trusted.reset();
        }
        fresh = false;
        if (!peer.judging) judge(name, peer, head.sender);
        return;
    }
}

void DBusLinkService::judge(const std::string& name, Peer& peer, SenderPtr sender) {
    peer.judging = true;
    // The check hashes the sender's executable and validates its bundle:
    // off the main thread, then back to it with the answer.
    judges_.start([this, check = check_, name, requirement = peer.connection.requirement,
                   sender = std::move(sender)] {
        SenderVerdict verdict;
        try {
            verdict = judgeSender(check, *sender, requirement);
        } catch (...) {
            verdict = {};
        }
        QMetaObject::invokeMethod(
            this,
            [this, name, sender, verdict = std::move(verdict)]() mutable {
                judged(name, sender, std::move(verdict));
            },
            Qt::QueuedConnection);
    });
}

void DBusLinkService::judged(const std::string& name, const SenderPtr& sender,
                             SenderVerdict verdict) {
    auto found = peers_.find(name);
    if (found == peers_.end()) return;  // it left the bus meanwhile
    Peer& peer = found->second;
    peer.judging = false;
    if (verdict.genuine) {
        peer.trusted = sender;
        peer.snapshot = std::move(verdict.snapshot);
    } else {
        refuseSender(peer, sender);
    }
    pump(name, verdict.genuine);
}

bool DBusLinkService::refusedBefore(Peer& peer, const Sender& sender) const {
    auto& refused = peer.refusedSenders;
    refused.erase(std::remove_if(refused.begin(), refused.end(),
                                 [](const SenderPtr& known) { return !known->alive(); }),
                  refused.end());
    return std::any_of(refused.begin(), refused.end(),
                       [&](const SenderPtr& known) { return sameSender(*known, sender); });
}

void DBusLinkService::refuseSender(Peer& peer, SenderPtr sender) const {
    if (!sender) return;
    auto& refused = peer.refusedSenders;
    if (refused.size() >= kRefusedKept) refused.erase(refused.begin());
    refused.push_back(std::move(sender));
}

void DBusLinkService::answer(const DBusLinkConnection& connection, const QDBusMessage& message,
                             const std::string& proof) {
    const QByteArray arguments = message.member() == QLatin1String("Hold")
                                     ? message.arguments().value(0).toByteArray()
                                     : QByteArray();
    const std::string_view bytes(arguments.constData(), static_cast<size_t>(arguments.size()));
    if (proof != proofText(text(message.member()), bytes))
        return deny(message,
                    QStringLiteral("the call proves no sender: its proof is for another call"));
    deliver(connection, message);
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

void DBusLinkService::deny(const QDBusMessage& message, const QString& why) {
    bus_.send(message.createErrorReply(kAccessDenied, why));
}

void DBusLinkService::nameOwnerChanged(const QString& name, const QString&,
                                       const QString& newOwner) {
    if (newOwner.isEmpty() && name.startsWith(QLatin1Char(':'))) forget(text(name));
}

void DBusLinkService::forget(const std::string& name) {
    auto found = peers_.find(name);
    if (found == peers_.end()) return;
    // Its waiting calls go unanswered: nobody is there to read the replies.
    for (const Waiting& call : found->second.waiting) count(call.bytes, false);
    peers_.erase(found);
}

void DBusLinkService::disconnected() { giveUp("lost the session bus"); }

void DBusLinkService::sayWhoMayTrace() {
    if (options_.ptraceScope.empty()) return;
    std::ifstream file(options_.ptraceScope);
    int scope = -1;
    if (!file) {
        log_.write(LogLevel::standard,
                   "yama is absent: any process of this user may trace the app and speak for it");
    } else if (file >> scope && scope == 0) {
        log_.write(
            LogLevel::standard,
            "ptrace_scope is 0: any process of this user may trace the app and speak for it");
    }
}

void DBusLinkService::giveUp(const std::string& why) {
    log_.write(LogLevel::error, why + ": leaving");
    runLoop_.exit(1);
}

}  // namespace vorsel::linux_platform
