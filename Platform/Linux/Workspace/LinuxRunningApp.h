// One running app of a snapshot, with a pidfd on its process taken against
// the start time the snapshot saw (and shared with later snapshots of the
// same process): terminate and force-terminate reach that process or
// nothing. Without a pidfd (the process was already gone, or none could be
// opened, e.g. with every descriptor in use) nothing is ever signalled, and
// whether it runs is read from /proc against its start time. Main thread
// only.
#pragma once

#include <memory>
#include <optional>

#include "Platform/Linux/Workspace/AppIdentity.h"
#include "Platform/Linux/Workspace/Pidfd.h"
#include "Platform/Workspace.h"

namespace vorsel::linux_platform {

class LinuxRunningApp final : public RunningApp {
  public:
    LinuxRunningApp(AppIdentity identity, pid_t pid, unsigned long long startTime,
                    std::shared_ptr<const Pidfd> handle);

    std::optional<std::string> bundleIdentifier() const override;
    ActivationPolicy activationPolicy() const override;
    std::int32_t processIdentifier() const override;
    bool isTerminated() const override;
    std::optional<std::string> bundleLocation() const override;
    std::vector<std::string> alternativeIdentifiers() const override;

    // Linux has no common way to hide another program's windows: X11 and
    // Wayland compositors differ, and Wayland lets no client hide another's
    // windows at all. Closing the app is what matters, so this does nothing.
    void hide() override;
    void terminate() override;       // SIGTERM
    void forceTerminate() override;  // SIGKILL

  private:
    AppIdentity identity_;
    pid_t pid_;
    unsigned long long startTime_;
    std::shared_ptr<const Pidfd> handle_;
};

}  // namespace vorsel::linux_platform
