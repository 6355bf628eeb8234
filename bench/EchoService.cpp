// The baseline of the link benchmarks: the least a Qt D-Bus service can be.
// It owns the bus name given as its argument and exports, like the agent, the
// com.ordwyn.GuardLink interface at /com/ordwyn/Guard, but checks nobody and
// decides nothing: Hold(rules) answers (true, rules), Held() the last rules,
// Version() 1. It takes each call both with a proof of its sender (which it
// ignores) and in the bare form of before.
//
//   echo_service BUSNAME
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <cstdio>

namespace {

class Echo final : public QObject {
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
    qlonglong Version(const QDBusUnixFileDescriptor&) { return Version(); }
    QByteArray Held(const QDBusUnixFileDescriptor&) { return Held(); }
    bool Hold(const QByteArray& rules, const QDBusUnixFileDescriptor&, QByteArray& held) {
        return Hold(rules, held);
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
