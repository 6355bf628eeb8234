// Calls of the link made as the main app makes them, for our own Qt callers
// (the stand-in, tests, benchmarks): each proved (Client/VorselLink.h), sent,
// its challenge answered when it comes, and its proof kept until the reply.
// Main thread of a Qt loop.
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <functional>

namespace vorsel::linux_platform {

inline constexpr const char* kGuardPath = "/com/ordwyn/Guard";
inline constexpr const char* kGuardInterface = "com.ordwyn.GuardLink";

// Sends `member` (with `rules` for Hold) to `service` on `bus` and calls
// `done` with the reply, or with an error reply when the call could not be
// proved. The challenge is answered from the loop.
void callProven(const QDBusConnection& bus, const QString& service, const QString& member,
                const QByteArray& rules, int timeoutMs,
                std::function<void(const QDBusMessage& reply)> done);

// The same, blocking until the reply: the challenge is answered first.
QDBusMessage callProvenBlocking(const QDBusConnection& bus, const QString& service,
                                const QString& member, const QByteArray& rules, int timeoutMs);

}  // namespace vorsel::linux_platform
