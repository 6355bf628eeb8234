#include "tools/standin/StandinLink.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <cstdio>

namespace vorsel::standin {

namespace {

const QString kPath = QStringLiteral("/com/ordwyn/Guard");
const QString kInterface = QStringLiteral("com.ordwyn.GuardLink");

void printLine(const QByteArray& text) {
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QByteArray orNull(const QByteArray& bytes) { return bytes.isEmpty() ? QByteArray("null") : bytes; }

// The printed line for a successful reply to `kind`.
QByteArray replyLine(Call::Kind kind, const QDBusMessage& reply) {
    const QList<QVariant> values = reply.arguments();
    switch (kind) {
        case Call::Kind::version:
            return QByteArray::number(values.value(0).toLongLong());
        case Call::Kind::hold:
            return values.value(0).toBool() ? orNull(values.value(1).toByteArray())
                                            : QByteArray("null");
        case Call::Kind::held:
            return orNull(values.value(0).toByteArray());
    }
    return {};
}

QDBusMessage message(const Call& call, const QString& busName) {
    switch (call.kind) {
        case Call::Kind::version:
            return QDBusMessage::createMethodCall(busName, kPath, kInterface,
                                                  QStringLiteral("Version"));
        case Call::Kind::held:
            return QDBusMessage::createMethodCall(busName, kPath, kInterface,
                                                  QStringLiteral("Held"));
        case Call::Kind::hold: {
            QDBusMessage hold =
                QDBusMessage::createMethodCall(busName, kPath, kInterface, QStringLiteral("Hold"));
            hold << QByteArray(call.rules.data(), static_cast<qsizetype>(call.rules.size()));
            return hold;
        }
    }
    return {};
}

}  // namespace

int talk(const Options& options, const std::string& busName) {
    const QDBusConnection bus =
        options.bus ? QDBusConnection::connectToBus(QString::fromStdString(*options.bus),
                                                    QStringLiteral("standin"))
                    : QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "ordwyn: couldn't reach the bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    const QString name = QString::fromStdString(busName);
    const int timeout = static_cast<int>(std::min(options.timeout * 1000, 2147483647.0));
    size_t pending = options.calls.size();
    int status = 0;
    for (const Call& call : options.calls) {
        auto* watcher =
            new QDBusPendingCallWatcher(bus.asyncCall(message(call, name), timeout), qApp);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp,
                         [kind = call.kind, &pending, &status](QDBusPendingCallWatcher* done) {
                             done->deleteLater();
                             const QDBusMessage reply = done->reply();
                             if (reply.type() == QDBusMessage::ReplyMessage) {
                                 printLine(replyLine(kind, reply));
                             } else {
                                 status = 1;
                                 printLine("{\"error\":\"" + reply.errorName().toUtf8() + "\"}");
                                 std::fprintf(stderr, "ordwyn: %s: %s\n",
                                              qPrintable(reply.errorName()),
                                              qPrintable(reply.errorMessage()));
                             }
                             if (--pending == 0) QCoreApplication::exit(0);
                         });
    }
    if (pending > 0) QCoreApplication::exec();
    return status;
}

}  // namespace vorsel::standin
