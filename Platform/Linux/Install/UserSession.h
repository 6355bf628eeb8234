// What login items need of the user's session: whether a systemd user manager
// runs on the session bus (then the bus hands activation to it), making it
// read its unit files again, and making the bus read its service folders
// again. Main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace vorsel::linux_platform {

class UserSession {
  public:
    virtual ~UserSession() = default;

    // True when a systemd user manager owns its name on the session bus.
    virtual bool managerRunning() = 0;

    // Reloads the manager's units (daemon-reload). Blocking. Nothing on
    // success, else the error's description.
    virtual std::optional<std::string> reloadUnits() = 0;

    // Asks the bus to read its configuration and service folders again, so a
    // service file written or removed counts at once. Bus daemons that watch
    // their folders do not need it, others do; a failure changes nothing.
    virtual void reloadServices() = 0;
};

// The session of the process's session bus, asked through Qt D-Bus. Requires
// a QCoreApplication. With no session bus no manager runs and nothing reloads.
std::unique_ptr<UserSession> currentUserSession();

}  // namespace vorsel::linux_platform
