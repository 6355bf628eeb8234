#include "Platform/Linux/Link/DBusLinkService.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <fstream>

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QVariantMap>

#include "GuardLinkAdaptor.h"
#include "Platform/Linux/Link/BusSocket.h"
#include "Platform/Linux/Link/DBusLinkChallenge.h"
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
                                 LinkOptions givenOptions)
    : runLoop(runLoop),
      log(log),
      check(std::move(check)),
      busConnection(std::move(bus)),
      options(std::move(givenOptions)) {
    options.waiting = withinDescriptors(options.waiting);
    // Judging hashes a bundle; two at a time keeps a crowd of new senders
    // from taking every core while the main thread stays free.
    judges.setMaxThreadCount(2);
    // Callers come seldom (once per connection): a judge thread that has
    // nothing to do leaves soon rather than keep its stack for 30 s.
    judges.setExpiryTimeout(kJudgeIdleMs);
    neverStopReading(busConnection);
    new GuardLinkAdaptor(this);  // ours: a child
}

DBusLinkService::~DBusLinkService() {
    judges.waitForDone();
    // The challenges (our children) outlive the sockets they watch.
    for (auto& [name, peer] : peers)
        for (Waiting& call : peer.waiting)
            if (call.challenge) call.challenge->cancel();
    if (registered) busConnection.unregisterObject(QString::fromLatin1(kLinkPath));
    if (!ownedName.isEmpty() && busConnection.isConnected() && busConnection.interface())
        busConnection.interface()->unregisterService(ownedName);
}

bool DBusLinkService::listen(const std::string& serviceName, LinkListenerDelegate& givenDelegate) {
    if (!busConnection.isConnected()) {
        giveUp("couldn't reach the session bus (" + text(busConnection.lastError().message()) +
               ")");
        return false;
    }
    // Qt keeps running after the bus goes away; the bus's own farewell is
    // the one sure sign, so listen for it.
    busConnection.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                          QStringLiteral("org.freedesktop.DBus.Local"),
                          QStringLiteral("Disconnected"), this, SLOT(disconnected()));
    busConnection.connect(kBusService, kBusPath, kBusService, QStringLiteral("NameOwnerChanged"),
                          this, SLOT(nameOwnerChanged(QString, QString, QString)));

    if (!busConnection.registerObject(QString::fromLatin1(kLinkPath), this,
                                      QDBusConnection::ExportAdaptors)) {
        giveUp("couldn't serve " + std::string(kLinkPath) + " on the session bus");
        return false;
    }
    registered = true;

    const QString name = QString::fromStdString(busName(serviceName));
    QDBusConnectionInterface* bus = busConnection.interface();
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
    ownedName = name;
    if (!busConnection.connectionCapabilities().testFlag(
            QDBusConnection::UnixFileDescriptorPassing))
        log.write(LogLevel::error,
                  "the session bus passes no descriptors: no caller can prove who it is");
    listener = busListener(busSocketOf(busConnection));
    if (!listener)
        log.write(LogLevel::error,
                  "the session bus's listener is unknown: no caller can prove it calls on it");
    sayWhoMayTrace();
    // Only now: a caller that reached us by our unique name before we owned
    // the service (or after we failed to) is never served.
    delegate = &givenDelegate;
    return true;
}

qint64 DBusLinkService::Version(const QDBusUnixFileDescriptor& proof) {
    arrived({}, proof);
    return 0;
}

bool DBusLinkService::Hold(const QByteArray& rules, const QDBusUnixFileDescriptor& proof,
                           QByteArray&) {
    arrived(rules, proof);
    return false;
}

QByteArray DBusLinkService::Held(const QDBusUnixFileDescriptor& proof) {
    arrived({}, proof);
    return {};
}

DBusLinkService::Peer& DBusLinkService::peerFor(const std::string& name) {
    auto found = peers.find(name);
    if (found != peers.end()) return found->second;
    Peer& peer = peers.emplace(name, Peer{}).first->second;
    peer.refused = !delegate || !delegate->shouldAcceptNewConnection(peer.connection);
    return peer;
}

void DBusLinkService::arrived(const QByteArray& arguments, const QDBusUnixFileDescriptor& proof) {
    setDelayedReply(true);
    const QDBusMessage& message = QDBusContext::message();
    const std::string name = text(message.service());
    Peer& peer = peerFor(name);
    if (peer.refused) return deny(message, kNotGenuine);
    if (peer.connection.requirement.empty()) return deliver(peer.connection, message, arguments);

    std::string why;
    auto proven = readProof(proof.fileDescriptor(), &why, options.kernelPidfd);
    if (!proven)
        return deny(message,
                    QStringLiteral("the call proves no sender: ") + QString::fromStdString(why));
    if (!checkProof(message, *proven)) return;
    Waiting call;
    call.socket = UniqueFd(::fcntl(proof.fileDescriptor(), F_DUPFD_CLOEXEC, 0));
    struct stat socketStat {};
    if (!call.socket || ::fstat(call.socket.get(), &socketStat) != 0)
        return deny(message, QStringLiteral("the call proves no sender: its proof is unreadable"));
    call.socketId = {socketStat.st_dev, socketStat.st_ino};
    // One socket answers one call: another call waiting with it is refused,
    // and one that comes after finds it shut down.
    if (proofsInUse.count(call.socketId)) {
        endProof(call.socket.get());
        return deny(
            message,
            QStringLiteral("the call proves no sender: its proof socket proves another call"));
    }
    call.message = message;
    call.rules = arguments;
    call.sender = std::make_shared<const Sender>(
        Sender{proven->sender.pid, proven->sender.uid, std::move(proven->sender.pidfd)});
    call.proof = std::move(proven->text);
    call.large = message.member() == QLatin1String("Hold") &&
                 static_cast<std::size_t>(arguments.size()) > kLargestRules;
    call.bytes = static_cast<std::size_t>(arguments.size()) + kCallOverhead;
    call.id = nextId++;
    if (refusedBefore(peer, *call.sender)) return refuse(std::move(call), kNotGenuine);
    // A sender judged genuine here waits only for its answers: unbounded, as
    // the app's own calls are.
    const bool trusted = peer.trusted && sameSender(*peer.trusted, *call.sender);
    if (!trusted && !admits(peer, call.bytes, call.large)) {
        endProof(call.socket.get());
        busConnection.send(message.createErrorReply(
            kLimitsExceeded,
            QStringLiteral("too many calls wait for their sender to be judged: try again later")));
        return;
    }
    proofsInUse.insert(call.socketId);
    peer.waitingBytes += call.large ? kCallOverhead : call.bytes;
    count(call.bytes, true);
    peer.waiting.push_back(std::move(call));
    pump(name);
}

// Whether `proof` names this call's method, connection and bus and is recent
// enough; a call it is not for is refused here. The digest of the arguments
// is compared only once the sender has answered for the call (deliver), so
// that strangers' huge calls cost no hashing.
bool DBusLinkService::checkProof(const QDBusMessage& message, const Proof& proof) {
    const std::string member = text(message.member());
    constexpr std::size_t kDigest = 64;
    // "<member> <digest> <connection> <listener>", read from both ends.
    const std::string& said = proof.text;
    const std::size_t lastBlank = said.rfind(' ');
    const std::size_t nameBlank = lastBlank == std::string::npos || lastBlank == 0
                                      ? lastBlank
                                      : said.rfind(' ', lastBlank - 1);
    if (nameBlank == std::string::npos || nameBlank != member.size() + 1 + kDigest ||
        said.compare(0, member.size() + 1, member + " ") != 0) {
        deny(message, QStringLiteral("the call proves no sender: its proof is for another call"));
        return false;
    }
    if (said.compare(nameBlank + 1, lastBlank - nameBlank - 1, text(message.service())) != 0) {
        deny(message,
             QStringLiteral("the call proves no sender: its proof names another connection"));
        return false;
    }
    // A call that the app sent on another bus (one that another process
    // runs, say), brought here by someone else, even from a connection that
    // bears the name the app had there.
    if (!listener ||
        said.compare(lastBlank + 1, std::string::npos, std::to_string(*listener)) != 0) {
        deny(message, QStringLiteral("the call proves no sender: its proof names another bus"));
        return false;
    }
    if (std::chrono::system_clock::now() - proof.sent > options.proofLife) {
        deny(message, QStringLiteral("the call proves no sender: its proof is too old"));
        return false;
    }
    return true;
}

bool DBusLinkService::admits(const Peer& peer, std::size_t bytes, bool large) const {
    const LinkLimits& limits = options.waiting;
    const bool small = bytes <= kSmallCall;
    // Rules too large to be held are answered present=false, whatever their
    // size: only the budget of large calls in all bounds them, so that one
    // such call from a sender not yet judged waits rather than being told to
    // try again.
    const std::size_t own = large ? kCallOverhead : bytes;
    const std::size_t pooled = small ? waitingSmallBytes : waitingBytes;
    const std::size_t pool = small ? limits.smallBytes : limits.bytes;
    // A call larger than its whole pool comes in when nothing else there
    // waits: told to try again later, it would be told so for good.
    return peer.waiting.size() < limits.callsPerCaller && waitingCalls < limits.calls &&
           peer.waitingBytes + own <= limits.bytesPerCaller &&
           (pooled + bytes <= pool || pooled == 0);
}

void DBusLinkService::count(std::size_t bytes, bool adding) {
    std::size_t& pool = bytes <= kSmallCall ? waitingSmallBytes : waitingBytes;
    if (adding) {
        ++waitingCalls;
        pool += bytes;
    } else {
        --waitingCalls;
        pool -= bytes;
    }
}

DBusLinkService::Waiting DBusLinkService::take(Peer& peer) {
    Waiting call = std::move(peer.waiting.front());
    peer.waiting.pop_front();
    // Its socket closes with it: nothing may watch that number any more.
    if (call.challenge) call.challenge->cancel();
    peer.waitingBytes -= call.large ? kCallOverhead : call.bytes;
    count(call.bytes, false);
    proofsInUse.erase(call.socketId);
    return call;
}

// Answers the waiting calls of `name` in order, as far as verdicts and
// answers allow, and asks for the verdict or the answer the first one needs.
void DBusLinkService::pump(const std::string& name) {
    auto found = peers.find(name);
    if (found == peers.end()) return;
    Peer& peer = found->second;
    while (!peer.waiting.empty()) {
        Waiting& head = peer.waiting.front();
        // A sender that has ended can never be judged genuine again (nor
        // stays in the refused ones): its calls are refused here, for good.
        if (!head.sender->alive() || refusedBefore(peer, *head.sender)) {
            refuse(take(peer), kNotGenuine);
            continue;
        }
        if (head.step == Waiting::Step::asked) return;
        if (peer.trusted && sameSender(*peer.trusted, *head.sender)) {
            // Judged: it must answer for the call, and is looked at again
            // (untraced, mapping what it mapped then) as it is asked.
            if (head.step == Waiting::Step::unasked) {
                std::string why;
                switch (challenge(name, peer, head, &why)) {
                    case Answer::waiting:
                        return;
                    case Answer::wrong:
                        refuse(take(peer), QStringLiteral("the call proves no sender: ") +
                                               QString::fromStdString(why));
                        continue;
                    case Answer::right:
                        break;
                }
            }
            const Recheck again = head.lookedAgain.value_or(Recheck::changed);
            if (again == Recheck::same) {
                deliver(peer.connection, take(peer));
                continue;
            }
            if (again == Recheck::refused) {
                refuseSender(peer, std::move(peer.trusted));
                continue;
            }
            peer.trusted.reset();
        }
        // An answer given before a verdict proves nothing: asked again after it.
        head.step = Waiting::Step::unasked;
        head.lookedAgain.reset();
        if (!peer.judging) judge(name, peer, head.sender);
        return;
    }
}

// Asks the sender of `call`, judged genuine, to answer for it now: only the
// process that made the call can, and only after it was judged. The sender
// is looked at again meanwhile; a caller has most often answered by the end
// of that look, and its answer is read at once rather than on a later turn
// of the loop. Waiting: an answer is watched for, and comes to challenged().
Answer DBusLinkService::challenge(const std::string& name, Peer& peer, Waiting& call,
                                  std::string* why) {
    call.step = Waiting::Step::asked;
    const std::string value = makeChallenge();
    if (!sendChallenge(call.socket.get(), value, why)) return Answer::wrong;
    // After the challenge left, so that the look covers the process that
    // will answer it.
    call.lookedAgain = recheck(*peer.trusted, peer.snapshot);
    const Answer answer = readAnswer(call.socket.get(), call.sender->pid, call.sender->pidfd.get(),
                                     call.proof, value, why);
    if (answer == Answer::right) call.step = Waiting::Step::answered;
    if (answer != Answer::waiting) return answer;
    call.challenge = new ProofChallenge(
        call.socket.get(), call.sender, call.proof, value, options.challengeLimit,
        [this, name, id = call.id](bool right, const std::string& failure) {
            challenged(name, id, right, failure);
        },
        this);
    return answer;
}

void DBusLinkService::challenged(const std::string& name, std::uint64_t id, bool right,
                                 const std::string& why) {
    auto found = peers.find(name);
    if (found == peers.end()) return;
    Peer& peer = found->second;
    if (peer.waiting.empty() || peer.waiting.front().id != id) return;
    if (!right) {
        refuse(take(peer),
               QStringLiteral("the call proves no sender: ") + QString::fromStdString(why));
    } else {
        peer.waiting.front().step = Waiting::Step::answered;
    }
    pump(name);
}

void DBusLinkService::refuse(Waiting call, const QString& why) {
    endProof(call.socket.get());
    deny(call.message, why);
}

void DBusLinkService::judge(const std::string& name, Peer& peer, SenderPtr sender) {
    peer.judging = true;
    // The check hashes the sender's executable and validates its bundle:
    // off the main thread, then back to it with the answer.
    judges.start([this, check = check, name, requirement = peer.connection.requirement,
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
    auto found = peers.find(name);
    if (found == peers.end()) return;  // it left the bus meanwhile
    Peer& peer = found->second;
    peer.judging = false;
    if (verdict.genuine) {
        peer.trusted = sender;
        peer.snapshot = std::move(verdict.snapshot);
    } else {
        refuseSender(peer, sender);
    }
    pump(name);
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

void DBusLinkService::deliver(const DBusLinkConnection& connection, Waiting call) {
    endProof(call.socket.get());
    const std::string_view rules(call.rules.constData(), static_cast<size_t>(call.rules.size()));
    if (call.proof !=
        proofText(text(call.message.member()), rules, text(call.message.service()), *listener))
        return deny(call.message,
                    QStringLiteral("the call proves no sender: its proof is for another call"));
    // Rules too large to be read reach the logic unread, so that a hand-over
    // it cannot hold is logged and keeps the agent as any unreadable one does.
    deliver(connection, call.message, call.large ? QByteArray() : call.rules);
}

void DBusLinkService::deliver(const DBusLinkConnection& connection, const QDBusMessage& message,
                              const QByteArray& rules) {
    LinkHandler* handler = connection.resumed ? connection.handler : nullptr;
    if (!handler) {
        busConnection.send(message.createErrorReply(
            QDBusError::Failed, QStringLiteral("nothing serves this connection")));
        return;
    }
    const QDBusConnection bus = busConnection;
    const QString member = message.member();
    if (member == QLatin1String("Version")) {
        handler->version([bus, message](std::int64_t version) {
            bus.send(message.createReply(QVariant::fromValue<qint64>(version)));
        });
    } else if (member == QLatin1String("Hold")) {
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
    busConnection.send(message.createErrorReply(kAccessDenied, why));
}

void DBusLinkService::nameOwnerChanged(const QString& name, const QString&,
                                       const QString& newOwner) {
    if (newOwner.isEmpty() && name.startsWith(QLatin1Char(':'))) forget(text(name));
}

void DBusLinkService::forget(const std::string& name) {
    auto found = peers.find(name);
    if (found == peers.end()) return;
    // Its waiting calls go unanswered: nobody is there to read the replies.
    Peer& peer = found->second;
    while (!peer.waiting.empty()) endProof(take(peer).socket.get());
    peers.erase(found);
}

void DBusLinkService::disconnected() { giveUp("lost the session bus"); }

void DBusLinkService::sayWhoMayTrace() {
    if (options.ptraceScope.empty()) return;
    std::ifstream file(options.ptraceScope);
    int scope = -1;
    if (!file) {
        log.write(LogLevel::standard,
                  "yama is absent: any process of this user may trace the app and speak for it");
    } else if (file >> scope && scope == 0) {
        log.write(LogLevel::standard,
                  "ptrace_scope is 0: any process of this user may trace the app and speak for it");
    }
}

void DBusLinkService::giveUp(const std::string& why) {
    log.write(LogLevel::error, why + ": leaving");
    runLoop.exit(1);
}

}  // namespace vorsel::linux_platform
