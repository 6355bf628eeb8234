// Calls of the link made as the main app makes them, for our own Qt callers
// (the stand-in, tests, benchmarks): each proved (Client/VorselLink.h), sent
// through the proxy generated from the link's description, its challenge
// answered when it comes, and its proof kept until the reply. Main thread of
// a Qt loop.
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <functional>
#include <memory>

class ComOrdwynGuardLinkInterface;

namespace vorsel::linux_platform {

class ProvenCaller {
  public:
    // Calls the agent owning `service` on `bus`, each call waiting for its
    // reply up to `timeoutMs` (-1: D-Bus's default).
    ProvenCaller(const QDBusConnection& bus, const QString& service, int timeoutMs = -1);
    ~ProvenCaller();

    // Sends `member` (with `rules` for Hold) and calls `done` with the reply,
    // or with an error reply when the call could not be proved. The
    // challenge is answered from the loop.
    void call(const QString& member, const QByteArray& rules,
              std::function<void(const QDBusMessage& reply)> done);

    // The same, blocking until the reply: the challenge is answered first.
    QDBusMessage callBlocking(const QString& member, const QByteArray& rules);

  private:
    QDBusConnection busConnection;
    int timeoutMs;
    std::unique_ptr<ComOrdwynGuardLinkInterface> link;
};

}  // namespace vorsel::linux_platform
