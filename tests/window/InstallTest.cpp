// GuardInstall: where the app runs decides first, then the service's status.
#include <gtest/gtest.h>

#include <vector>

#include "WindowTestSupport.h"

namespace vorsel::window_tests {
namespace {

using State = GuardInstall::State;

State stateAt(const std::optional<std::string>& path, LoginItemStatus status) {
    FakeInstall fake(path);
    fake.service().current = status;
    return fake.install.state();
}

TEST(InstallState, InTheApplicationsFolderTheStatusDecides) {
    EXPECT_EQ(stateAt("/opt/Vorsel.app", LoginItemStatus::enabled), State::on);
    EXPECT_EQ(stateAt("/opt/Vorsel.app", LoginItemStatus::requiresApproval), State::needsApproval);
    EXPECT_EQ(stateAt("/opt/Vorsel.app", LoginItemStatus::notRegistered), State::off);
    EXPECT_EQ(stateAt("/opt/Vorsel.app", LoginItemStatus::notFound), State::off);
    // A subfolder of the Applications folder is in place too.
    EXPECT_EQ(stateAt("/opt/Utilities/Vorsel.app", LoginItemStatus::enabled), State::on);
    // A status outside the known ones reads as off.
    EXPECT_EQ(stateAt("/opt/Vorsel.app", static_cast<LoginItemStatus>(42)), State::off);
}

TEST(InstallState, AnywhereElseIsMisplacedWithoutAskingTheService) {
    const std::vector<std::optional<std::string>> elsewhere = {
        "/home/me/opt/Vorsel.app",
        "/OPT/Vorsel.app",
        "/optional/Vorsel.app",
        "/opt",  // the folder itself, without the slash
        "opt/Vorsel.app",
        std::nullopt};
    for (const auto& path : elsewhere) {
        FakeInstall fake(path);
        EXPECT_EQ(fake.install.state(), State::misplaced) << path.value_or("(no bundle)");
        EXPECT_EQ(fake.made, 0) << "the service must not even be made";
    }
}

TEST(InstallState, MovingTheAppOutLeavesTheRegistrationAlone) {
    FakeInstall fake("/opt/Vorsel.app");
    ASSERT_EQ(fake.install.turnOn(), std::nullopt);
    EXPECT_EQ(fake.install.state(), State::on);

    fake.bundles.path = "/home/me/Downloads/Vorsel.app";
    EXPECT_EQ(fake.install.state(), State::misplaced);
    EXPECT_EQ(fake.items->current, LoginItemStatus::enabled);
    EXPECT_EQ(fake.items->unregisters, 0);

    fake.bundles.path = "/opt/Vorsel.app";
    EXPECT_EQ(fake.install.state(), State::on);
}

TEST(InstallService, IsMadeOnceAndPassesRegisterErrorsUp) {
    FakeInstall fake;
    fake.service().registerError = "Read-only file system";
    EXPECT_EQ(fake.install.turnOn(), "Read-only file system");
    EXPECT_EQ(fake.install.state(), State::off);
    EXPECT_EQ(&fake.install.service(), fake.items);
    EXPECT_EQ(fake.made, 1);
}

}  // namespace
}  // namespace vorsel::window_tests
