#include "Platform/Linux/Link/ProvenCall.h"

#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QSocketNotifier>
#include <cstring>
#include <optional>

#include "GuardLinkInterface.h"
#include "Platform/Linux/Link/BusSocket.h"
#include "Platform/Linux/Link/Client/VorselLink.h"
#include "Platform/Linux/Link/LinkNames.h"

namespace vorsel::linux_platform {

namespace {

struct Proven {
    VorselLinkProof proof{-1, -1, {}};
    ~Proven() { vorselLinkCloseProof(&proof); }
};

QDBusMessage failed(const QString& why) {
    return QDBusMessage::createError(QStringLiteral("org.freedesktop.DBus.Error.Failed"), why);
}

// The call, proved and sent; nothing, with `error` set, when it could not be
// proved.
std::optional<QDBusPendingCall> send(ComOrdwynGuardLinkInterface& link, const QDBusConnection& bus,
                                     const QString& member, const QByteArray& rules, Proven& into,
                                     QDBusMessage& error) {
    const bool hold = member == QLatin1String("Hold");
    const int failure =
        vorselLinkProveCall(&into.proof, busSocketOf(bus), bus.baseService().toUtf8().constData(),
                            member.toUtf8().constData(), hold ? rules.constData() : nullptr,
                            hold ? static_cast<size_t>(rules.size()) : 0);
    if (failure != 0) {
        error = failed(QStringLiteral("couldn't prove the call: ") +
                       QString::fromLocal8Bit(std::strerror(failure)));
        return std::nullopt;
    }
    // The descriptor is duplicated into the message; ours closes once sent.
    const QDBusUnixFileDescriptor proof(into.proof.passed);
    vorselLinkCloseEnd(&into.proof.passed);
    if (hold) return link.Hold(rules, proof);
    if (member == QLatin1String("Held")) return link.Held(proof);
    return link.Version(proof);
}

}  // namespace

ProvenCaller::ProvenCaller(const QDBusConnection& bus, const QString& service, int givenTimeoutMs)
    : busConnection(bus),
      timeoutMs(givenTimeoutMs),
      link(std::make_unique<ComOrdwynGuardLinkInterface>(service, QString::fromLatin1(kLinkPath),
                                                         bus)) {
    link->setTimeout(givenTimeoutMs);
}

ProvenCaller::~ProvenCaller() = default;

void ProvenCaller::call(const QString& member, const QByteArray& rules,
                        std::function<void(const QDBusMessage& reply)> done) {
    auto kept = std::make_shared<Proven>();
    QDBusMessage error;
    const auto pending = send(*link, busConnection, member, rules, *kept, error);
    if (!pending) return done(error);
    auto* watcher = new QDBusPendingCallWatcher(*pending);
    auto* notifier = new QSocketNotifier(kept->proof.kept, QSocketNotifier::Read, watcher);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [kept, notifier] {
        // Answered, or the agent ended the call: either way nothing more comes.
        vorselLinkAnswerChallenge(&kept->proof, 0);
        notifier->setEnabled(false);
    });
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [kept, done = std::move(done)](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         done(finished->reply());
                     });
}

QDBusMessage ProvenCaller::callBlocking(const QString& member, const QByteArray& rules) {
    Proven kept;
    QDBusMessage error;
    auto pending = send(*link, busConnection, member, rules, kept, error);
    if (!pending) return error;
    vorselLinkAnswerChallenge(&kept.proof, timeoutMs < 0 ? 25000 : timeoutMs);
    pending->waitForFinished();
    return pending->reply();
}

}  // namespace vorsel::linux_platform
