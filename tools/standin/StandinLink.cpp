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
    Talk(const Options& options, const QDBusConnection& bus, QString name)
        : options_(options),
          bus_(bus),
          name_(std::move(name)),
          caller_(bus_, name_, static_cast<int>(std::min(options_.timeout * 1000, 2147483647.0))) {}

    int run() {
        sendBatch();
        if (!done_) QCoreApplication::exec();
        return status_;
    }

  private:
    void sendBatch() {
        while (next_ < options_.calls.size() && !isBarrier(options_.calls[next_])) {
            const Call& call = options_.calls[next_++];
            const QByteArray rules =
                call.kind == Call::Kind::hold
                    ? QByteArray(call.rules.data(), static_cast<qsizetype>(call.rules.size()))
                    : QByteArray();
            ++pending_;
            // The call carries the proof that this very process makes it.
            caller_.call(
                memberOf(call.kind), rules,
                [this, kind = call.kind](const QDBusMessage& reply) { answered(kind, reply); });
        }
        if (pending_ == 0) passBarrier();
    }

    void answered(Call::Kind kind, const QDBusMessage& reply) {
        if (reply.type() == QDBusMessage::ReplyMessage) {
            printLine(replyLine(kind, reply));
        } else {
            status_ = 1;
            printLine("{\"error\":\"" + reply.errorName().toUtf8() + "\"}");
            std::fprintf(stderr, "ordwyn: %s: %s\n", qPrintable(reply.errorName()),
                         qPrintable(reply.errorMessage()));
        }
        if (--pending_ == 0) passBarrier();
    }

    void passBarrier() {
        if (next_ >= options_.calls.size()) {
            done_ = true;
            QCoreApplication::exit(0);
            return;
        }
        if (options_.calls[next_++].kind == Call::Kind::wait) {
            std::string line;
            std::getline(std::cin, line);
        }
        // From the event loop, not from inside a reply's handler.
        QMetaObject::invokeMethod(
            qApp, [this] { sendBatch(); }, Qt::QueuedConnection);
    }

    const Options& options_;
    QDBusConnection bus_;
    QString name_;
    linux_platform::ProvenCaller caller_;
    std::size_t next_ = 0;
    std::size_t pending_ = 0;
    int status_ = 0;
    bool done_ = false;
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
