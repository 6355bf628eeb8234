// What a snapshot costs is kept low by remembering processes and, briefly,
// whole snapshots; these stories check that nothing is missed because of it.
#include <filesystem>

#include "Platform/Linux/Workspace/ProcFs.h"
#include "Platform/Linux/Workspace/ProcessTable.h"
#include "WorkspaceFixture.h"

namespace vorsel::testing {
namespace {

bool lists(Workspace& workspace, const std::string& id, pid_t pid) {
    for (const auto& app : workspace.runningApps(id)) {
        if (app->processIdentifier() == pid) return true;
    }
    return false;
}

TEST_F(WorkspaceTest, AProcessSeenWithoutIdentityIsAnAppOnceItRunsOne) {
    std::string app = bundle({"Later", "test.later"});
    auto child = Child::start({"/bin/sh", "-c", "sleep 0.7; exec " + bundleProgram(app)});
    // Remembered as one of ours without identity while the shell runs.
    EXPECT_FALSE(lists(workspace, "test.later", child.pid()));
    EXPECT_TRUE(spinUntil([&] { return lists(workspace, "test.later", child.pid()); }, 5));
}

// What the identity lookup says of the test's child; the rest have none.
pid_t movedPid = 0;
bool movedKnown = false;
int movedAsked = 0;
std::optional<linux_platform::AppIdentity> movedIdentity(pid_t pid) {
    if (pid == movedPid) ++movedAsked;
    if (pid != movedPid || !movedKnown) return std::nullopt;
    return linux_platform::AppIdentity{
        "org.example.Moved", ActivationPolicy::regular, std::nullopt, {}, false};
}

TEST_F(WorkspaceTest, AProcessGivenAnIdentityWithoutANewProgramCountsOnceLookedAtAgain) {
    // As a desktop moves a running app into its unit: same process, same
    // program, an identity it did not have when first seen.
    auto child = Child::start({WAITER_PROGRAM});
    movedPid = child.pid();
    movedKnown = false;
    linux_platform::ProcessTable table(::getuid(), &movedIdentity);
    auto listed = [&] {
        for (const auto* info : table.apps())
            if (info->pid == child.pid()) return true;
        return false;
    };
    ASSERT_TRUE(spinUntil(
        [&] { return linux_platform::readExe(child.pid()) == std::string(WAITER_PROGRAM); }, 5));
    EXPECT_FALSE(listed());
    movedKnown = true;
    EXPECT_FALSE(listed()) << "an unchanged process is not looked at again on every read";
    table.lookAgain();
    EXPECT_TRUE(listed());

    // Once the table has looked again, a process without identity is
    // worked out anew only when it is in another cgroup than before (the
    // move a desktop makes; the session's stories move one for real).
    auto other = Child::start({WAITER_PROGRAM});
    ASSERT_TRUE(spinUntil(
        [&] { return linux_platform::readExe(other.pid()) == std::string(WAITER_PROGRAM); }, 5));
    movedPid = other.pid();
    movedKnown = false;
    movedAsked = 0;
    table.apps();
    ASSERT_EQ(movedAsked, 1);
    table.lookAgain();
    table.apps();
    table.lookAgain();
    table.apps();
    EXPECT_EQ(movedAsked, 1) << "neither moved nor running another program";
}

TEST_F(WorkspaceTest, AnAppThatRunsAnotherProgramLosesItsIdentity) {
    std::string app = bundle({"Leaving", "test.leaving"});
    auto child = launch(app, {"--exec-after", "0.7", "/bin/sleep", "30"});
    ASSERT_TRUE(lists(workspace, "test.leaving", child.pid()));
    EXPECT_TRUE(spinUntil([&] { return !lists(workspace, "test.leaving", child.pid()); }, 5));
    EXPECT_EQ(appWithPid(child.pid()), nullptr);
}

TEST_F(WorkspaceTest, ASnapshotIsReusedOnlyUntilANoticeOrAnOpening) {
    linux_platform::LinuxWorkspace reusing{loop, {0.2, false, 3600, WINDOWS_MODULES}};
    int launches = 0;
    auto observed = reusing.observeLaunches([&] { ++launches; });
    ASSERT_TRUE(reusing.runningApps("test.reused").empty());

    auto child = launch(bundle({"Reused", "test.reused"}));
    EXPECT_TRUE(reusing.runningApps("test.reused").empty()) << "the snapshot was not reused";
    // The check that notices the launch ends the reuse before it tells
    // anyone, so whoever the notice wakes sees the app.
    bool seenInNotice = false;
    auto seeing = reusing.observeLaunches(
        [&] { seenInNotice = seenInNotice || lists(reusing, "test.reused", child.pid()); });
    ASSERT_TRUE(spinUntil([&] { return launches > 0; }, 5));
    EXPECT_TRUE(seenInNotice);

    // Opening an app ends the reuse too: what runs now differs.
    observed.reset();
    seeing.reset();
    child.kill();
    ASSERT_EQ(reusing.runningApps("test.reused").size(), 1u);  // reused, though gone
    std::string pidFile = dir.path() + "/opened.pid";
    ::setenv("WAITER_PIDFILE", pidFile.c_str(), 1);
    reusing.openInBackground(bundle({"Opened", "test.opened"}));
    ::unsetenv("WAITER_PIDFILE");
    EXPECT_TRUE(reusing.runningApps("test.reused").empty());
    ASSERT_TRUE(spinUntil([&] { return std::filesystem::exists(pidFile); }, 5));
    ASSERT_TRUE(spinUntil([&] { return workspace.runningApps("test.opened").size() == 1; }, 5));
    workspace.runningApps("test.opened")[0]->forceTerminate();
}

}  // namespace
}  // namespace vorsel::testing
