// The baseline of the link benchmarks: the least a Qt D-Bus service can be.
// It owns the bus name given as its argument and exports, like the agent, the
// com.ordwyn.GuardLink interface at /com/ordwyn/Guard, but checks nobody and
// decides nothing: Hold(rules) answers (true, rules), Held() the last rules,
// Version() 1. It takes each call both in the bare form of before and with a
// proof of its sender, which it reads and challenges as the agent does (on
// its one thread, waiting for the answer), but judges nobody.
//
//   echo_service BUSNAME
#include <poll.h>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>

#include <QDBusContext>
#include <QDBusMessage>
#include <cstdio>

#include "Platform/Linux/Link/BusSocket.h"
#include "Platform/Linux/Link/DBusLinkProof.h"

namespace {

namespace lp = vorsel::linux_platform;

// Reads the proof, checks what it names and asks its challenge, answered.
bool proven(const QDBusUnixFileDescriptor& proof, const QDBusMessage& message,
            const QByteArray& rules) {
    const int socket = proof.fileDescriptor();
    const auto read = lp::readProof(socket, nullptr);
    const std::string_view bytes(rules.constData(), static_cast<size_t>(rules.size()));
    // The bus's listener, as the agent learns it once.
    static const auto listener = lp::busListener(lp::busSocketOf(QDBusConnection::sessionBus()));
    bool right = read && listener &&
                 read->text == lp::proofText(message.member().toStdString(), bytes,
                                             message.service().toStdString(), *listener);
    const std::string challenge = lp::makeChallenge();
    right = right && lp::sendChallenge(socket, challenge, nullptr);
    auto answer = lp::Answer::waiting;
    while (right && answer == lp::Answer::waiting) {
        pollfd waiting{socket, POLLIN, 0};
        if (::poll(&waiting, 1, 5000) <= 0) break;
        answer = lp::readAnswer(socket, read->sender.pid, read->sender.pidfd.get(), read->text,
                                challenge, nullptr);
    }
    lp::endProof(socket);
    return answer == lp::Answer::right;
}

class Echo final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.ordwyn.GuardLink")

  public slots:
    qlonglong Version() { return 1; }
    QByteArray Held() { return last; }
    bool Hold(const QByteArray& rules, QByteArray& held) {
        last = rules;
        held = rules;
        return true;
    }
    qlonglong Version(const QDBusUnixFileDescriptor& proof) {
        return proven(proof, message(), {}) ? Version() : 0;
    }
    QByteArray Held(const QDBusUnixFileDescriptor& proof) {
        return proven(proof, message(), {}) ? Held() : QByteArray();
    }
    bool Hold(const QByteArray& rules, const QDBusUnixFileDescriptor& proof, QByteArray& held) {
        return proven(proof, message(), rules) && Hold(rules, held);
    }

  private:
    QByteArray last;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: echo_service BUSNAME\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    Echo echo;
    if (!bus.registerObject(QStringLiteral("/com/ordwyn/Guard"), &echo,
                            QDBusConnection::ExportAllSlots) ||
        !bus.registerService(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "echo_service: can't serve %s\n", argv[1]);
        return 1;
    }
    return application.exec();
}

#include "EchoService.moc"
