#include "Platform/Linux/Workspace/QuitAction.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantList>
#include <QVariantMap>
#include <memory>

namespace vorsel::linux_platform {

namespace {

const QString kBus = QStringLiteral("org.freedesktop.DBus");
const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");
// Short: the bus itself answers these at once, or something is wrong.
constexpr int kBusTimeoutMs = 5000;

bool nameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

// Sends `message` and calls `handle` with its reply on the main thread.
void send(const QDBusMessage& message, int timeoutMs,
          std::function<void(const QDBusMessage&)> handle) {
    QDBusPendingCall call = QDBusConnection::sessionBus().asyncCall(message, timeoutMs);
    auto* watcher = new QDBusPendingCallWatcher(call);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [handle = std::move(handle)](QDBusPendingCallWatcher* done) {
                         done->deleteLater();
                         handle(done->reply());
                     });
}

QDBusMessage busCall(const QString& method, const QString& argument) {
    QDBusMessage message = QDBusMessage::createMethodCall(kBus, kBusPath, kBus, method);
    message.setArguments({argument});
    return message;
}

void activateQuit(const QString& unique, const QString& path,
                  const std::function<void(QuitAnswer)>& answered) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(unique, path, QStringLiteral("org.freedesktop.Application"),
                                       QStringLiteral("ActivateAction"));
    message.setArguments({QStringLiteral("quit"), QVariantList{}, QVariantMap{}});
    message.setAutoStartService(false);
    // An app that answers with a dialog of its own may reply only once the
    // dialog is answered, or never; a late reply still means it was asked.
    send(message, 25000, [answered](const QDBusMessage& reply) {
        const bool refused =
            reply.type() == QDBusMessage::ErrorMessage &&
            reply.errorName() != QStringLiteral("org.freedesktop.DBus.Error.NoReply") &&
            reply.errorName() != QStringLiteral("org.freedesktop.DBus.Error.Timeout");
        // Asked already counted when sent; only a refusal changes the course.
        if (refused) answered(QuitAnswer::none);
    });
    answered(QuitAnswer::asked);
}

}  // namespace

std::optional<std::string> applicationBusName(const std::string& appId) {
    if (appId.empty() || appId.size() > 255) return std::nullopt;
    int elements = 0;
    std::size_t start = 0;
    while (start <= appId.size()) {
        std::size_t end = appId.find('.', start);
        if (end == std::string::npos) end = appId.size();
        if (end == start) return std::nullopt;
        if (appId[start] >= '0' && appId[start] <= '9') return std::nullopt;
        for (std::size_t i = start; i < end; ++i)
            if (!nameCharacter(appId[i])) return std::nullopt;
        ++elements;
        start = end + 1;
    }
    if (elements < 2) return std::nullopt;
    return appId;
}

std::string applicationObjectPath(const std::string& busName) {
    std::string path = "/";
    for (char c : busName) path += c == '.' ? '/' : c == '-' ? '_' : c;
    return path;
}

bool sessionBusReachable() {
    return QCoreApplication::instance() != nullptr && QDBusConnection::sessionBus().isConnected();
}

void askToQuit(const std::string& busName, std::function<bool(pid_t)> belongs,
               std::function<void(QuitAnswer)> answered) {
    const QString name = QString::fromStdString(busName);
    const QString path = QString::fromStdString(applicationObjectPath(busName));
    send(busCall(QStringLiteral("GetNameOwner"), name), kBusTimeoutMs,
         [belongs = std::move(belongs), answered = std::move(answered),
          path](const QDBusMessage& owner) mutable {
             if (owner.type() != QDBusMessage::ReplyMessage || owner.arguments().isEmpty())
                 return answered(QuitAnswer::none);
             const QString unique = owner.arguments().first().toString();
             send(busCall(QStringLiteral("GetConnectionUnixProcessID"), unique), kBusTimeoutMs,
                  [belongs = std::move(belongs), answered = std::move(answered), path,
                   unique](const QDBusMessage& process) {
                      if (process.type() != QDBusMessage::ReplyMessage ||
                          process.arguments().isEmpty())
                          return answered(QuitAnswer::none);
                      const auto pid = static_cast<pid_t>(process.arguments().first().toUInt());
                      if (pid <= 0 || !belongs(pid)) return answered(QuitAnswer::none);
                      activateQuit(unique, path, answered);
                  });
         });
}

}  // namespace vorsel::linux_platform
