// Which app a process belongs to, worked out from its /proc files: the bundle
// around its executable, else the desktop file a GIO launcher named in its
// environment (only when the launcher also named this very pid), else its
// systemd app unit. Main thread only.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "Platform/Workspace.h"

namespace vorsel::linux_platform {

struct AppIdentity {
    std::string bundleID;
    ActivationPolicy policy = ActivationPolicy::regular;
    std::optional<std::string> location;  // the bundle, when the app has one

    bool operator==(const AppIdentity&) const = default;
};

// The identity that a bundle's Info.plist gives an app at `bundle`, or
// nothing when it has no readable Info.plist with a CFBundleIdentifier.
std::optional<AppIdentity> identityOfBundle(const std::string& bundle);

// The identity of the running process `pid`, or nothing when it has none
// (or is gone, or is not ours to read).
std::optional<AppIdentity> identityOfProcess(pid_t pid);

}  // namespace vorsel::linux_platform
