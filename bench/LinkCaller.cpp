// The caller of the link benchmarks: calls a service on the session bus one
// call at a time, waiting for each reply, and prints how long each kind took.
// Each call carries the proof of its sender (ProvenCall.h), made anew for
// each call as the app makes it; with --bare, calls are sent without one, in
// the form of before (which the echo baseline still takes). Run from inside
// a bundle signed as the main app, the agent takes it for the genuine app;
// the echo baseline takes anyone.
//
//   link_caller [--bare] NAME ROUNDS [RULES-FILE]
//
// Prints, one per line, "first <µs>" (the first call: Version(), which may
// start the service), then "version <median µs> <p90 µs>" and, with a rules
// file, "hold <median µs> <p90 µs>" over ROUNDS calls each. Exits 1 when a
// call fails.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Platform/Linux/Link/ProvenCall.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

const QString kPath = QStringLiteral("/com/ordwyn/Guard");
const QString kInterface = QStringLiteral("com.ordwyn.GuardLink");

double micros(SteadyClock::time_point since) {
    return std::chrono::duration<double, std::micro>(SteadyClock::now() - since).count();
}

bool bare = false;

// The duration of one blocking call, proof included, or a negative number
// when it fails.
double timed(QDBusConnection& bus, const QDBusMessage& call) {
    const auto start = SteadyClock::now();
    QDBusMessage reply;
    if (!bare) {
        const QByteArray rules =
            call.arguments().isEmpty() ? QByteArray() : call.arguments().value(0).toByteArray();
        // Proved, its challenge answered before the reply is awaited.
        static vorsel::linux_platform::ProvenCaller caller(bus, call.service(), 60000);
        reply = caller.callBlocking(call.member(), rules);
    } else {
        // A message of its own: copies of a QDBusMessage share their arguments.
        QDBusMessage sent = QDBusMessage::createMethodCall(call.service(), call.path(),
                                                           call.interface(), call.member());
        sent.setArguments(call.arguments());
        reply = bus.call(sent, QDBus::Block, 60000);
    }
    const double took = micros(start);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        std::fprintf(stderr, "link_caller: %s\n", qPrintable(reply.errorMessage()));
        return -1;
    }
    return took;
}

bool series(QDBusConnection& bus, const QDBusMessage& call, int rounds, const char* label) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const double took = timed(bus, call);
        if (took < 0) return false;
        times.push_back(took);
    }
    if (times.empty()) return true;
    std::sort(times.begin(), times.end());
    std::printf("%s %.1f %.1f\n", label, times[times.size() / 2], times[times.size() * 9 / 10]);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "--bare") {
        bare = true;
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: link_caller [--bare] NAME ROUNDS [RULES-FILE]\n");
        return 2;
    }
    const QString name = QString::fromLocal8Bit(argv[1]);
    const int rounds = std::atoi(argv[2]);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return 1;

    const QDBusMessage version =
        QDBusMessage::createMethodCall(name, kPath, kInterface, QStringLiteral("Version"));
    const double first = timed(bus, version);
    if (first < 0) return 1;
    std::printf("first %.1f\n", first);
    if (!series(bus, version, rounds, "version")) return 1;
    if (argc > 3) {
        std::ifstream file(argv[3], std::ios::binary);
        const std::string rules{std::istreambuf_iterator<char>(file), {}};
        QDBusMessage hold =
            QDBusMessage::createMethodCall(name, kPath, kInterface, QStringLiteral("Hold"));
        hold << QByteArray(rules.data(), static_cast<qsizetype>(rules.size()));
        if (!series(bus, hold, rounds, "hold")) return 1;
    }
    return 0;
}
