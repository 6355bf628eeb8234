// What login items need of the user's session: whether a systemd user manager
// runs for this user (then a bus it started hands activation to it), making
// it read its unit files again, and making the bus read its service folders
// again. Any thread: a caller keeps the reloads, which wait for their
// answers, off its main thread while it goes on asking managerRunning()
// there.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace vorsel::linux_platform {

class UserSession {
  public:
    virtual ~UserSession() = default;

    // True when a systemd user manager runs for this user, whether or not it
    // has registered on the session bus yet.
    virtual bool managerRunning() = 0;

    // Reloads the manager's units (daemon-reload). Blocking. Nothing on
    // success, else the error's description.
    virtual std::optional<std::string> reloadUnits() = 0;

    // Asks the bus to read its configuration and service folders again, so a
    // service file written or removed counts at once. Bus daemons that watch
    // their folders do not need it, others do; a failure changes nothing.
    virtual void reloadServices() = 0;

    // Turns the windows extension of GNOME Shell on or off in the user's
    // settings (ShellExtension.h). Blocking. What went wrong, or nothing; a
    // session that is not this process's own changes nothing.
    virtual std::optional<std::string> switchShellExtension(bool) { return std::nullopt; }
};

// The session of this process: its user manager found at its own socket,
// "$XDG_RUNTIME_DIR/systemd/private", else by its name on the session bus,
// and asked over that socket when it is there. Requires a QCoreApplication.
// With neither socket nor bus no manager runs and nothing reloads.
std::unique_ptr<UserSession> currentUserSession();

}  // namespace vorsel::linux_platform
