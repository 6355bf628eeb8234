// The LoginItems port on Linux. Registering the agent makes it D-Bus
// activatable for this user: a service file
// "$XDG_DATA_HOME/dbus-1/services/<bus name>.service" whose Exec= runs the
// bundle's agent program, and, when a systemd user manager runs (then the bus
// hands activation to it), a user unit "<Label>.service" in
// "$XDG_DATA_HOME/systemd/user/" that the service file names. Both are made
// from the bundle's agent declaration (guard-agent.plist). There is no
// approval step on Linux, so the status is never requiresApproval.
//
// Main thread. unregisterAgent() does its work (the files, and the reloads of
// the manager and the bus, which wait for their answers) on a thread of its
// own and completes through the Qt event loop of the QCoreApplication;
// without one (a tool, not the app) it completes at once. Destroying the
// object waits for the unregisters still running; their completions are
// dropped then.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Files.h"
#include "Platform/Linux/Install/AgentDeclaration.h"
#include "Platform/Linux/Install/UserSession.h"
#include "Platform/LoginItems.h"

class QObject;

namespace vorsel::linux_platform {

class LinuxLoginItems final : public LoginItems {
  public:
    // The agent of the bundle at `bundlePath` (nothing: the program runs
    // outside a bundle, so there is no declaration). `files` must outlive
    // this object; `session` may be null, meaning no systemd user manager
    // and a bus that watches its service folders itself.
    LinuxLoginItems(std::optional<std::string> bundlePath, Files& files,
                    std::unique_ptr<UserSession> session);
    ~LinuxLoginItems() override;
    LinuxLoginItems(const LinuxLoginItems&) = delete;
    LinuxLoginItems& operator=(const LinuxLoginItems&) = delete;

    // enabled when the service file exists, its Exec= runs this bundle's
    // agent program and, while a user manager runs, it names this bundle's
    // unit, which is there; notFound when the bundle has no usable
    // declaration; otherwise notRegistered. So a registration made without
    // the unit while a manager runs (the bus would start the agent itself,
    // outside any unit) reads as off, and turning on again completes it.
    LoginItemStatus status() override;

    // Writes the unit (and reloads the manager) first, then the service file,
    // each atomically, so the bus never names a unit that is not there; then
    // asks the bus to read its service folders again. Waits for unregisters
    // still running first.
    std::optional<std::string> registerAgent() override;

    // Removes the service file and the unit when they are this bundle's; a
    // registration of another copy of the app, or none at all, is left as it
    // is and counts as success. Unregisters asked for while one runs run
    // after it, in turn.
    void unregisterAgent(std::function<void(std::optional<std::string> error)> done) override;

    // Linux desktops have no settings page for activatable services: nothing
    // to open, and the window never offers it because approval never waits.
    void openSettings() override {}

    // Where the files go, for tests and for the report of what was written.
    std::string serviceFilePath(const AgentDeclaration& agent) const;
    std::string unitFilePath(const AgentDeclaration& agent) const;

  private:
    std::optional<std::string> unregisterNow();
    std::optional<AgentDeclaration> declaration() const;
    std::string programPath(const AgentDeclaration& agent) const;
    bool ours(const std::optional<std::string>& serviceFile, const AgentDeclaration& agent) const;
    bool unitOurs(const AgentDeclaration& agent) const;

    std::optional<std::string> bundle;
    Files& files;
    std::unique_ptr<UserSession> session;
    // Unregisters run one at a time, each on a thread of its own, and post
    // their completion to `completions`, which lives on the main thread; a
    // register waits for them.
    std::mutex changing;
    std::vector<std::thread> workers;
    std::unique_ptr<QObject> completions;
};

// The adapter for the running app, on the session of its session bus.
std::unique_ptr<LoginItems> makeLoginItems(std::optional<std::string> bundlePath, Files& files);

}  // namespace vorsel::linux_platform
