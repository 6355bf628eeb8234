#include "Platform/Linux/Link/ProvenCall.h"

#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QSocketNotifier>
#include <cstring>
#include <memory>

#include "Platform/Linux/Link/Client/VorselLink.h"

namespace vorsel::linux_platform {

namespace {

struct Proven {
    VorselLinkProof proof{-1, -1, {}};
    ~Proven() { vorselLinkCloseProof(&proof); }
};

QDBusMessage failed(const QString& why) {
    return QDBusMessage::createError(QStringLiteral("org.freedesktop.DBus.Error.Failed"), why);
}

// The call, proved; an error message (and no descriptors open) on failure.
QDBusMessage proven(const QDBusConnection& bus, const QString& service, const QString& member,
                    const QByteArray& rules, Proven& into) {
    const QByteArray name = bus.baseService().toUtf8();
    const QByteArray method = member.toUtf8();
    const bool hold = member == QLatin1String("Hold");
    const int error = vorselLinkProveCall(&into.proof, name.constData(), method.constData(),
                                          hold ? rules.constData() : nullptr,
                                          hold ? static_cast<size_t>(rules.size()) : 0);
    if (error != 0)
        return failed(QStringLiteral("couldn't prove the call: ") +
                      QString::fromLocal8Bit(std::strerror(error)));
    QDBusMessage message = QDBusMessage::createMethodCall(
        service, QString::fromLatin1(kGuardPath), QString::fromLatin1(kGuardInterface), member);
    if (hold) message << rules;
    // The descriptor is duplicated into the message; ours closes now.
    message << QVariant::fromValue(QDBusUnixFileDescriptor(into.proof.passed));
    vorselLinkCloseEnd(&into.proof.passed);
    return message;
}

}  // namespace

void callProven(const QDBusConnection& bus, const QString& service, const QString& member,
                const QByteArray& rules, int timeoutMs,
                std::function<void(const QDBusMessage& reply)> done) {
    auto kept = std::make_shared<Proven>();
    const QDBusMessage message = proven(bus, service, member, rules, *kept);
    if (message.type() == QDBusMessage::ErrorMessage) return done(message);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, timeoutMs));
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

QDBusMessage callProvenBlocking(const QDBusConnection& bus, const QString& service,
                                const QString& member, const QByteArray& rules, int timeoutMs) {
    Proven kept;
    const QDBusMessage message = proven(bus, service, member, rules, kept);
    if (message.type() == QDBusMessage::ErrorMessage) return message;
    QDBusPendingCall pending = bus.asyncCall(message, timeoutMs);
    vorselLinkAnswerChallenge(&kept.proof, timeoutMs);
    pending.waitForFinished();
    return pending.reply();
}

}  // namespace vorsel::linux_platform
