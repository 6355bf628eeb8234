// One running app of a snapshot, with a pidfd on its process taken against
// the start time the snapshot saw (and shared with later snapshots of the
// same process): terminate and force-terminate reach that process or
// nothing. Without a pidfd (the process was already gone, or none could be
// opened, e.g. with every descriptor in use) nothing is ever signalled, and
// whether it runs is read from /proc against its start time. What hide and
// terminate ask of the app, when a request becomes SIGTERM, whether the app
// answered with a dialog and how it is paused, is the business of the
// workspace's QuitRequests, which every app of a workspace
// shares. Main thread only.
#pragma once

#include <memory>
#include <optional>

#include "Platform/Linux/Workspace/AppIdentity.h"
#include "Platform/Linux/Workspace/Pidfd.h"
#include "Platform/Linux/Workspace/QuitRequests.h"
#include "Platform/Workspace.h"

namespace vorsel::linux_platform {

class LinuxRunningApp final : public RunningApp {
  public:
    LinuxRunningApp(AppIdentity identity, pid_t pid, unsigned long long startTime,
                    std::shared_ptr<const Pidfd> handle,
                    std::shared_ptr<QuitRequests> requests = nullptr);

    std::optional<std::string> bundleIdentifier() const override;
    ActivationPolicy activationPolicy() const override;
    std::int32_t processIdentifier() const override;
    bool isTerminated() const override;
    std::optional<std::string> bundleLocation() const override;
    std::vector<std::string> alternativeIdentifiers() const override;

    // Minimises its X11 windows; does nothing where no window can be
    // reached (no display, no window manager, or Wayland, which lets no
    // client hide another's windows).
    void hide() override;
    // Its quit action, else a close request to its windows, else SIGTERM;
    // SIGTERM also on a later request (QuitRequests.h). Without requests,
    // plain SIGTERM.
    void terminate() override;
    void forceTerminate() override;  // SIGKILL
    // Through the workspace's QuitRequests; never without them.
    bool answeredWithDialog() const override;
    std::optional<std::string> pause() override;

  private:
    AppIdentity identity;
    pid_t processId;
    unsigned long long startTime;
    std::shared_ptr<const Pidfd> handle;
    std::shared_ptr<QuitRequests> requests;
};

}  // namespace vorsel::linux_platform
