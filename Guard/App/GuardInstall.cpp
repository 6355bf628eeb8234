#include "Guard/App/GuardInstall.h"

#include <utility>

namespace vorsel {

namespace {

// A handle for a factory that gave none: nothing is registered and nothing
// can be, so the window shows "off" and a clear reason instead of crashing.
class MissingService final : public LoginItems {
  public:
    LoginItemStatus status() override { return LoginItemStatus::notFound; }
    std::optional<std::string> registerAgent() override {
        return "The login-item service is not available.";
    }
    void unregisterAgent(std::function<void(std::optional<std::string>)> done) override {
        done(std::nullopt);
    }
    void openSettings() override {}
};

}  // namespace

GuardInstall::GuardInstall(const Bundles& bundles, ServiceFactory makeService)
    : bundles(bundles), makeService(std::move(makeService)) {}

LoginItems& GuardInstall::service() {
    std::call_once(made, [this] {
        if (makeService) handle = makeService();
        if (!handle) handle = std::make_unique<MissingService>();
        makeService = nullptr;
    });
    return *handle;
}

bool GuardInstall::inApplications(const std::optional<std::string>& bundlePath) {
    return bundlePath && bundlePath->starts_with(kApplicationsFolder);
}

GuardInstall::State GuardInstall::state() {
    if (!inApplications(bundles.mainPath())) return State::misplaced;
    switch (service().status()) {
        case LoginItemStatus::enabled:
            return State::on;
        case LoginItemStatus::requiresApproval:
            return State::needsApproval;
        case LoginItemStatus::notRegistered:
        case LoginItemStatus::notFound:
            break;
    }
    return State::off;
}

std::optional<std::string> GuardInstall::turnOn() { return service().registerAgent(); }

}  // namespace vorsel
