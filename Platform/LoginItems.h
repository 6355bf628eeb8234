// The per-user registration of the agent with the platform's login-item
// service, made from the agent declaration the bundle carries. Main thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace vorsel {

enum class LoginItemStatus {
    notRegistered,
    enabled,
    requiresApproval,
    notFound,  // the bundle carries no such agent declaration
};

class LoginItems {
  public:
    virtual ~LoginItems() = default;

    // The registration's status as the platform has it now; never fails.
    virtual LoginItemStatus status() = 0;

    // Registers the agent. Blocking. Nothing on success, else the error's
    // description fit to show a user.
    virtual std::optional<std::string> registerAgent() = 0;

    // Unregisters the agent. Returns at once; `done` is called once, later,
    // on the main thread, with nothing or the error's description.
    virtual void unregisterAgent(std::function<void(std::optional<std::string> error)> done) = 0;

    // Opens the platform's login-items settings, where there are any.
    virtual void openSettings() = 0;
};

}  // namespace vorsel
