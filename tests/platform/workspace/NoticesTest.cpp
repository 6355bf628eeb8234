// Launch and termination notices, and the silence of an unobserved workspace.
#include "WorkspaceFixture.h"

namespace vorsel::testing {
namespace {

TEST_F(WorkspaceTest, NoticesComeOnlyWhileObservedAndOnlyForApps) {
    std::string app = bundle({"Noticed", "test.noticed"});
    EXPECT_EQ(loop.liveTimers(), 0);
    int launches = 0, terminations = 0;
    auto launched = workspace.observeLaunches([&] { ++launches; });
    auto terminated = workspace.observeTerminations([&] { ++terminations; });
    EXPECT_EQ(loop.liveTimers(), 1);  // one check serves both

    // A process that is no app brings no notice.
    auto plain = Child::start({WAITER_PROGRAM});
    spinUntil([] { return false; }, 1.2);
    EXPECT_EQ(launches, 0);
    plain.kill();

    auto child = launch(app);
    EXPECT_TRUE(spinUntil([&] { return launches > 0; }, 5));
    child.kill();
    EXPECT_TRUE(spinUntil([&] { return terminations > 0; }, 5));

    launched.reset();
    EXPECT_EQ(loop.liveTimers(), 1);
    terminated.reset();
    EXPECT_EQ(loop.liveTimers(), 0);

    // Unobserved, nothing is noticed any more.
    int before = launches;
    auto unseen = launch(app);
    spinUntil([] { return false; }, 1.2);
    EXPECT_EQ(launches, before);
}

TEST_F(WorkspaceTest, AnAppCaughtBeforeItsExecIsStillNoticed) {
    std::string app = bundle({"Late", "test.late"});
    int launches = 0;
    auto launched = workspace.observeLaunches([&] { ++launches; });
    // The shell is seen first, without an identity; it becomes the app a
    // moment later under the same pid.
    auto child = Child::start({"/bin/sh", "-c", "sleep 0.7; exec " + bundleProgram(app)});
    EXPECT_TRUE(spinUntil([&] { return launches > 0; }, 5));
}

TEST_F(WorkspaceTest, ANoticeMayEndObservationsWhileTheyAreCalled) {
    std::string app = bundle({"Ending", "test.ending"});
    std::unique_ptr<Observation> first, second;
    int calls = 0;
    first = workspace.observeLaunches([&] {
        ++calls;
        first.reset();
        second.reset();
    });
    second = workspace.observeLaunches([&] { ++calls; });
    auto child = launch(app);
    EXPECT_TRUE(spinUntil([&] { return calls > 0; }, 5));
    spinUntil([] { return false; }, 0.3);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(loop.liveTimers(), 0);
}

TEST_F(WorkspaceTest, AnObservationMayOutliveItsWorkspace) {
    auto other = std::make_unique<linux_platform::LinuxWorkspace>(
        loop, linux_platform::LinuxWorkspace::Options{0.5, false, 0, WINDOWS_MODULES});
    auto observation = other->observeTerminations([] {});
    other.reset();
    EXPECT_EQ(loop.liveTimers(), 0);
    observation.reset();
}

}  // namespace
}  // namespace vorsel::testing
