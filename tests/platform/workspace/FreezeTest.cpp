// Freezing an app's processes and letting them go: by signals through
// pidfds, or through the user manager when the app runs alone in its unit.
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "FakeSystemd.h"
#include "Platform/Linux/Workspace/Freezer.h"
#include "Platform/Linux/Workspace/ProcFs.h"
#include "WorkspaceFixture.h"

namespace vorsel::testing {
namespace {

using linux_platform::Frozen;

class FreezeTest : public WorkspaceTest {
  protected:
    bool stopped(pid_t pid) {
        const auto stat = linux_platform::readStat(pid);
        return stat && (stat->state == 'T' || stat->state == 't');
    }
    bool settlesStopped(pid_t pid, bool wanted) {
        return spinUntil([&] { return stopped(pid) == wanted; }, 5);
    }
    pid_t childOf(pid_t parent) {
        pid_t found = 0;
        spinUntil(
            [&] {
                for (pid_t pid : linux_platform::listPids()) {
                    const auto stat = linux_platform::readStat(pid);
                    if (stat && stat->ppid == parent) found = pid;
                }
                return found != 0;
            },
            5);
        return found;
    }
};

TEST_F(FreezeTest, AnAppsProcessesAreStoppedTogetherAndOnlyThoseAreLetGo) {
    Child app = Child::start({WAITER_PROGRAM, "--fork-helper"});
    ASSERT_TRUE(waitForExec(app.pid(), WAITER_PROGRAM));
    const pid_t helper = childOf(app.pid());
    ASSERT_NE(helper, 0);
    Child stranger = Child::start({WAITER_PROGRAM});
    ASSERT_TRUE(waitForExec(stranger.pid(), WAITER_PROGRAM));

    const auto frozen = linux_platform::appProcesses(app.pid(), startTimeOf(app.pid()), false);
    ASSERT_TRUE(frozen);
    EXPECT_TRUE(frozen->unit.empty());
    ASSERT_EQ(frozen->processes.size(), 2u);
    EXPECT_EQ(frozen->processes[1].pid, helper);
    EXPECT_EQ(Frozen::read(frozen->pin()), frozen);
    EXPECT_FALSE(linux_platform::appProcesses(app.pid(), startTimeOf(app.pid()) + 1, false));

    linux_platform::freeze(*frozen);
    EXPECT_TRUE(settlesStopped(app.pid(), true));
    EXPECT_TRUE(settlesStopped(helper, true));
    EXPECT_TRUE(linux_platform::isFrozen(*frozen));
    EXPECT_FALSE(stopped(stranger.pid()));

    // Resumed by hand: no longer frozen, until it is frozen again.
    ::kill(helper, SIGCONT);
    EXPECT_TRUE(settlesStopped(helper, false));
    EXPECT_FALSE(linux_platform::isFrozen(*frozen));
    linux_platform::freeze(*frozen);
    EXPECT_TRUE(settlesStopped(helper, true));

    // A pin whose start time is another's (the pid was recycled) thaws
    // nothing; neither does one that does not read.
    Frozen recycled = *frozen;
    for (Frozen::Process& process : recycled.processes) process.startTime += 1;
    linux_platform::thaw(recycled);
    workspace.thaw("v1 - " + std::to_string(app.pid()));
    spinUntil([] { return false; }, 0.2);
    EXPECT_TRUE(stopped(app.pid()));
    EXPECT_TRUE(stopped(helper));

    // The helper ends while paused; the rest is let go all the same.
    ::kill(helper, SIGKILL);
    workspace.thaw(frozen->pin());
    EXPECT_TRUE(settlesStopped(app.pid(), false));
    EXPECT_TRUE(linux_platform::isFrozen(*frozen) == false);
}

TEST_F(FreezeTest, PinsThatDoNotReadNameNothing) {
    for (const char* pin :
         {"", "v1", "v1 -", "v2 - 5:1", "v1 - 1:5", "v1 - 0:5", "v1 - x:1",
          "v1 - 5:", "v1 - 99999999999:1", "v1 - 5:1:2", "v1 sshd.service 5:1", "v1 - 5:-1"})
        EXPECT_FALSE(Frozen::read(pin)) << pin;
    EXPECT_TRUE(Frozen::read("v1 app-org.example.Shown-42.scope 5:1 6:2"));
}

TEST_F(FreezeTest, AUnitIsFrozenThroughTheManagerAndByItsProcessesWhenTheManagerRefuses) {
    FakeSystemd manager;
    ASSERT_TRUE(manager.present());
    Child app = Child::start({WAITER_PROGRAM});
    ASSERT_TRUE(waitForExec(app.pid(), WAITER_PROGRAM));
    const Frozen frozen{"app-org.example.Shown-42.scope", {{app.pid(), startTimeOf(app.pid())}}};

    auto called = [&](const QString& method) {
        return spinUntil(
            [&] {
                for (const QDBusMessage& call : manager.calls())
                    if (call.member() == method &&
                        call.arguments().value(0).toString() == "app-org.example.Shown-42.scope")
                        return true;
                return false;
            },
            5);
    };
    linux_platform::freeze(frozen);
    EXPECT_TRUE(called("FreezeUnit"));
    spinUntil([] { return false; }, 0.2);
    EXPECT_FALSE(stopped(app.pid())) << "the manager freezes it";

    manager.refusing = {"FreezeUnit"};
    linux_platform::freeze(frozen);
    EXPECT_TRUE(settlesStopped(app.pid(), true));
    linux_platform::thaw(frozen);
    EXPECT_TRUE(called("ThawUnit"));
    EXPECT_TRUE(settlesStopped(app.pid(), false));
}

// In a user session (workspace_session_tests): an app alone in its unit is
// frozen through it; one that shares its unit with another program is not.
TEST_F(WorkspaceTest, AnAppUnitNamesItselfInThePinOnlyWhenItHoldsNothingElse) {
    if (std::system("env -u DBUS_SESSION_BUS_ADDRESS /usr/bin/systemd-run --user --scope --quiet "
                    "/bin/true >/dev/null 2>&1") != 0) {
        if (std::getenv("VORSEL_USER_SESSION")) FAIL() << "no user manager in the user session";
        GTEST_SKIP() << "no systemd user manager to make units (scripts/with-user-session.sh)";
    }
    const std::string tag = std::to_string(::getpid());
    auto inUnit = [](const std::string& unit, const std::vector<std::string>& argv) {
        std::vector<std::string> command{
            "/usr/bin/env", "-u",      "DBUS_SESSION_BUS_ADDRESS", "/usr/bin/systemd-run",
            "--user",       "--quiet", "--unit=" + unit,           "--scope"};
        command.insert(command.end(), argv.begin(), argv.end());
        return Child::start(command);
    };
    const std::string alone = "app-org.example.Alone-" + tag + ".scope";
    Child app = inUnit(alone, {WAITER_PROGRAM, "--fork-helper"});
    Child shared = inUnit("app-org.example.Shared-" + tag + ".scope",
                          {"/bin/sh", "-c", std::string(WAITER_PROGRAM) + " & exec /bin/sleep 60"});
    ASSERT_TRUE(waitForExec(app.pid(), WAITER_PROGRAM));
    ASSERT_TRUE(waitForExec(shared.pid(), "/bin/sleep") ||
                waitForExec(shared.pid(), "/usr/bin/sleep"));
    spinUntil([] { return false; }, 0.3);  // the helper and the other program start

    const auto frozen = linux_platform::appProcesses(app.pid(), startTimeOf(app.pid()), true);
    ASSERT_TRUE(frozen);
    EXPECT_EQ(frozen->unit, alone);
    EXPECT_EQ(frozen->processes.size(), 2u);
    EXPECT_EQ(Frozen::read(frozen->pin()), frozen);
    // The waiter the shell started shares its unit with the shell's sleep.
    pid_t waiter = 0;
    spinUntil(
        [&] {
            for (pid_t pid : linux_platform::listPids()) {
                const auto stat = linux_platform::readStat(pid);
                if (stat && stat->ppid == shared.pid()) waiter = pid;
            }
            return waiter != 0;
        },
        5);
    ASSERT_NE(waiter, 0);
    const auto sharing = linux_platform::appProcesses(waiter, startTimeOf(waiter), true);
    ASSERT_TRUE(sharing);
    EXPECT_EQ(sharing->unit, "") << "its unit holds another program too";
}

}  // namespace
}  // namespace vorsel::testing
