// A stand-in for the systemd user manager on the tests' private bus: it owns
// org.freedesktop.systemd1 on a connection of its own, records the calls it
// gets, and sends unit signals on demand. Main thread (its calls arrive
// through the Qt event loop).
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QList>
#include <QString>

namespace vorsel::testing {

class FakeSystemd final : public QDBusVirtualObject {
  public:
    // Connects to the bus at $DBUS_SESSION_BUS_ADDRESS and takes the name;
    // present() tells whether that worked.
    FakeSystemd();
    ~FakeSystemd() override;

    bool present() const { return isPresent; }
    // Method calls received so far, oldest first.
    const QList<QDBusMessage>& calls() const { return recordedCalls; }
    QStringList callNames() const;

    void sendUnitNew(const QString& unit);
    // A job of `unit` ended with `result` ("done" for a unit that started).
    void sendJobRemoved(const QString& unit, const QString& result = QStringLiteral("done"));
    void sendUnitRemoved(const QString& unit);

    // Methods answered with an error rather than an empty reply.
    QStringList refusing;

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

  private:
    QDBusConnection connection;
    bool isPresent = false;
    QList<QDBusMessage> recordedCalls;
};

// Starts a private dbus-daemon and points $DBUS_SESSION_BUS_ADDRESS at it;
// false when it could not be started. stopPrivateBus() ends it.
bool startPrivateBus(const std::string& folder);
void stopPrivateBus();

}  // namespace vorsel::testing
