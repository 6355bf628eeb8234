#include "tools/standin/StandinLink.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <cstdio>
#include <iostream>
#include <string>

#include "Platform/Linux/Link/ProvenCall.h"

namespace vorsel::standin {

namespace {

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
        default:
            break;
    }
    return {};
}

QString memberOf(Call::Kind kind) {
    switch (kind) {
        case Call::Kind::version:
            return QStringLiteral("Version");
        case Call::Kind::held:
            return QStringLiteral("Held");
        default:
            return QStringLiteral("Hold");
    }
}

bool isBarrier(const Call& call) {
    return call.kind == Call::Kind::then || call.kind == Call::Kind::wait;
}

// Sends the calls from `next` on, up to the next barrier, and the rest once
// their replies are in.
class Talk {
  public:
    Talk(const Options& givenOptions, const QDBusConnection& bus, QString givenName)
        : options(givenOptions),
          busConnection(bus),
          name(std::move(givenName)),
          caller(busConnection, name,
                 static_cast<int>(std::min(options.timeout * 1000, 2147483647.0))) {}

    int run() {
        sendBatch();
        if (!isDone) QCoreApplication::exec();
        return status;
    }

  private:
    void sendBatch() {
        while (next < options.calls.size() && !isBarrier(options.calls[next])) {
            const Call& call = options.calls[next++];
            const QByteArray rules =
                call.kind == Call::Kind::hold
                    ? QByteArray(call.rules.data(), static_cast<qsizetype>(call.rules.size()))
                    : QByteArray();
            ++pending;
            // The call carries the proof that this very process makes it.
            caller.call(
                memberOf(call.kind), rules,
                [this, kind = call.kind](const QDBusMessage& reply) { answered(kind, reply); });
        }
        if (pending == 0) passBarrier();
    }

    void answered(Call::Kind kind, const QDBusMessage& reply) {
        if (reply.type() == QDBusMessage::ReplyMessage) {
            printLine(replyLine(kind, reply));
        } else {
            status = 1;
            printLine("{\"error\":\"" + reply.errorName().toUtf8() + "\"}");
            std::fprintf(stderr, "ordwyn: %s: %s\n", qPrintable(reply.errorName()),
                         qPrintable(reply.errorMessage()));
        }
        if (--pending == 0) passBarrier();
    }

    void passBarrier() {
        if (next >= options.calls.size()) {
            isDone = true;
            QCoreApplication::exit(0);
            return;
        }
        if (options.calls[next++].kind == Call::Kind::wait) {
            std::string line;
            std::getline(std::cin, line);
        }
        // From the event loop, not from inside a reply's handler.
        QMetaObject::invokeMethod(
            qApp, [this] { sendBatch(); }, Qt::QueuedConnection);
    }

    const Options& options;
    QDBusConnection busConnection;
    QString name;
    linux_platform::ProvenCaller caller;
    std::size_t next = 0;
    std::size_t pending = 0;
    int status = 0;
    bool isDone = false;
};

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
    Talk talking(options, bus, QString::fromStdString(busName));
    return talking.run();
}

}  // namespace vorsel::standin
