// The companion app's one point of contact with the login-item service: the
// registration state of the agent, turning it on, and the service handle that
// the status window unregisters through.
//
// Main thread, like the window that uses it; only the one-time creation of the
// service handle is also safe against concurrent first use.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Bundles.h"
#include "Platform/LoginItems.h"

namespace vorsel {

class GuardInstall {
  public:
    // How far the agent's registration has got, as the window shows it.
    enum class State {
        on,             // registered and enabled
        off,            // not registered, or the bundle declares no agent
        needsApproval,  // registered, waiting for the user's approval
        misplaced,      // the app does not run from the Applications folder
    };

    // Makes the login-item service handle; called at most once.
    using ServiceFactory = std::function<std::unique_ptr<LoginItems>()>;

    // The Linux Applications folder. A bundle path must begin with exactly
    // this text (case-sensitive, trailing slash included) to be in place.
    static constexpr std::string_view kApplicationsFolder = "/opt/";

    // `bundles` must outlive this object; `makeService` is kept until the
    // handle is first needed.
    GuardInstall(const Bundles& bundles, ServiceFactory makeService);

    // The service handle: made on first use, then the same for the life of
    // this object.
    LoginItems& service();

    // Reads the state afresh: misplaced when the main bundle's path is not in
    // the Applications folder (or there is no bundle), without making or
    // asking the service; otherwise from the service's status. Never fails.
    State state();

    // Registers the agent. Nothing on success, else the error's description.
    // No retry, no location check; callers read state() afterwards.
    std::optional<std::string> turnOn();

    // Whether `bundlePath` lies in the Applications folder.
    static bool inApplications(const std::optional<std::string>& bundlePath);

  private:
    const Bundles& bundles;
    ServiceFactory makeService;
    std::once_flag made;
    std::unique_ptr<LoginItems> handle;
};

}  // namespace vorsel
