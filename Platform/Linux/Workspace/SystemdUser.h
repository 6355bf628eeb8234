// The systemd user manager, when one runs on the session bus: its unit
// signals (apps come and go as "app-…" units) and transient scopes for apps
// we start. Nothing here blocks on the manager: calls to it are sent without
// waiting for their replies. Main thread only (QtDBus delivers signals to the
// main thread, where these objects live); needs a QCoreApplication.
#pragma once

#include <sys/types.h>

#include <QDBusObjectPath>  // complete, so that QtDBus can match the slots' types
#include <QObject>
#include <QString>
#include <functional>
#include <string>

namespace vorsel::linux_platform {

// Whether a QCoreApplication exists and a user manager owns its name on the
// session bus (one short round trip to the bus itself).
bool systemdUserManagerRuns();

// Asks the manager to move `pid` into a transient scope of its own,
// "app-vorsel-<appId>-<pid>.scope", so that stopping our unit never takes it
// down. Fire and forget.
void moveToOwnScope(pid_t pid, const std::string& appId);

// Subscribes to the manager's unit signals until close() (or destruction) and
// calls `changed(launched, terminated)` when an app unit has started or has
// gone away. Started means its start job is done: only then are its
// processes in its cgroup (a scope gets them moved in by that job), whereas
// the unit itself appears before that, while they still run elsewhere. A
// watch may be closed from inside its own callback; it must then be freed
// with deleteLater(), not deleted.
class SystemdUnitWatch final : public QObject {
    Q_OBJECT
  public:
    explicit SystemdUnitWatch(std::function<void(bool launched, bool terminated)> changed);
    ~SystemdUnitWatch() override;

    // Whether the signal subscription was set up.
    bool watching() const { return isWatching; }
    // Ends the subscription at once; no callback follows. Idempotent.
    void close();

  private slots:
    void jobRemoved(uint id, const QDBusObjectPath& job, const QString& unit,
                    const QString& result);
    void unitRemoved(const QString& id, const QDBusObjectPath& unit);

  private:
    std::function<void(bool, bool)> changed;
    bool isWatching = false;
};

}  // namespace vorsel::linux_platform
