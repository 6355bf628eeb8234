// The one thing login items need of a systemd user manager: whether one runs
// on the session bus (then the bus starts activatable services through it),
// and telling it to read its unit files again. Main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace vorsel::linux_platform {

class UserManager {
  public:
    virtual ~UserManager() = default;

    // True when a systemd user manager owns its name on the session bus.
    virtual bool running() = 0;

    // Reloads the manager's units (daemon-reload). Blocking. Nothing on
    // success, else the error's description.
    virtual std::optional<std::string> reload() = 0;
};

// The manager on the process's session bus, asked through Qt D-Bus. Requires
// a QCoreApplication. With no session bus it is never running.
std::unique_ptr<UserManager> sessionUserManager();

}  // namespace vorsel::linux_platform
