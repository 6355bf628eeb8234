// Quitting, killing, never hitting the wrong process, and opening the kept
// app so that it outlives us.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Platform/Linux/Workspace/Pidfd.h"
#include "Platform/Linux/Workspace/ProcFs.h"
#include "WorkspaceFixture.h"

namespace vorsel::testing {
namespace {

using linux_platform::Pidfd;
using linux_platform::readStat;

bool isZombie(pid_t pid) {
    auto stat = readStat(pid);
    return stat && stat->isZombie();
}

// Our children that have ended but were not reaped.
int zombieChildren() {
    int zombies = 0;
    for (pid_t pid : linux_platform::listPids()) {
        auto stat = readStat(pid);
        if (stat && stat->ppid == ::getpid() && stat->isZombie()) ++zombies;
    }
    return zombies;
}

TEST_F(WorkspaceTest, TerminateAsksAndForceTerminateKills) {
    auto polite = launch(bundle({"Polite", "test.polite"}));
    auto stubborn = launch(bundle({"Stubborn", "test.stubborn"}), {"--ignore-term"});

    auto browser = launch(bundle({"Browserish", "test.browserish"}));
    auto app = appWithPid(polite.pid());
    ASSERT_NE(app, nullptr);
    // Neither a quit action (the bus is asked first) nor a window: SIGTERM.
    app->terminate();
    EXPECT_TRUE(spinUntil([&] { return polite.ended(); }, 5));
    EXPECT_EQ(polite.waitEnded(0), SIGTERM);
    // Hidden first, as a browser is: without a display nothing can be
    // hidden, nothing could ask it either, and it is never signalled for it.
    auto never = appWithPid(browser.pid());
    ASSERT_NE(never, nullptr);
    never->hide();
    never->terminate();
    EXPECT_EQ(browser.waitEnded(0.3), std::nullopt);
    never->terminate();
    EXPECT_EQ(browser.waitEnded(0.2), std::nullopt);

    auto hard = appWithPid(stubborn.pid());
    ASSERT_NE(hard, nullptr);
    hard->terminate();
    spinUntil([] { return false; }, 0.3);
    EXPECT_EQ(stubborn.waitEnded(0), std::nullopt);
    EXPECT_FALSE(hard->isTerminated());
    hard->forceTerminate();
    // Not reaped yet: a zombie already counts as terminated.
    ASSERT_TRUE(spinUntil([&] { return isZombie(stubborn.pid()); }, 5));
    EXPECT_TRUE(hard->isTerminated());
    EXPECT_EQ(appWithPid(stubborn.pid()), nullptr);  // zombies are not listed
    EXPECT_EQ(stubborn.waitEnded(5), SIGKILL);
}

TEST_F(WorkspaceTest, AHandleIsRefusedWhenTheStartTimeIsNotTheOneSeen) {
    auto child = launch(bundle({"Timed", "test.timed"}));
    unsigned long long started = startTimeOf(child.pid());
    ASSERT_NE(started, 0u);
    EXPECT_EQ(Pidfd::open(child.pid(), started + 1), std::nullopt);
    auto handle = Pidfd::open(child.pid(), started);
    ASSERT_TRUE(handle.has_value());
    EXPECT_FALSE(handle->ended());
    child.kill();
    EXPECT_TRUE(handle->ended());
    EXPECT_FALSE(handle->signal(SIGTERM));
}

TEST_F(WorkspaceTest, WithoutAHandleNothingIsSignalledAndLifeIsReadFromProc) {
    auto child = launch(bundle({"Handleless", "test.handleless"}));
    // Observing reads every process once: the identity is cached now, but no
    // handle is taken, as only snapshots handed out take them.
    workspace.observeLaunches([] {}).reset();
    // One descriptor to spare: enough to read /proc one file at a time, not
    // to hold a pidfd while the start time is checked.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fillers.size() < 4096;)
        fillers.push_back(fd);
    ASSERT_FALSE(fillers.empty());
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(fillers.back() + 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    ::close(fillers.back());
    fillers.pop_back();
    auto apps = workspace.runningApps("test.handleless");
    for (int fd : fillers) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);

    ASSERT_EQ(apps.size(), 1u);
    EXPECT_FALSE(apps[0]->isTerminated());
    apps[0]->terminate();
    apps[0]->forceTerminate();
    EXPECT_EQ(child.waitEnded(0.3), std::nullopt) << "signalled without a handle";
    child.kill();
    EXPECT_TRUE(apps[0]->isTerminated());
}

TEST_F(WorkspaceTest, ARecycledPidIsNeverSignalledNorTakenForTheOldApp) {
    std::string oldBundle = bundle({"Old", "test.old"});
    std::string newBundle = bundle({"New", "test.new"});
    auto old = launch(oldBundle, {"--ignore-term"});
    pid_t pid = old.pid();
    auto stale = appWithPid(pid);
    ASSERT_NE(stale, nullptr);
    old.kill();  // killed and reaped: the pid is free again

    auto successor = childAtPid(pid, bundleProgram(newBundle));
    if (!successor) GTEST_SKIP() << "pid " << pid << " did not come round again";
    ASSERT_TRUE(waitForExec(pid, bundleProgram(newBundle)));

    EXPECT_TRUE(stale->isTerminated());
    stale->terminate();
    stale->forceTerminate();
    EXPECT_EQ(successor->waitEnded(0.5), std::nullopt) << "the new process was signalled";

    // The cache is keyed by the process, not the pid, so the pid now reads as
    // the new app.
    auto fresh = appWithPid(pid);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->bundleIdentifier(), "test.new");
}

TEST_F(WorkspaceTest, OpenedAppRunsDetachedFromUs) {
    std::string app = bundle({"Kept", "test.kept"});
    std::string pidFile = dir.path() + "/kept.pid";
    ::setenv("WAITER_PIDFILE", pidFile.c_str(), 1);
    workspace.openInBackground(app);
    ::unsetenv("WAITER_PIDFILE");
    ASSERT_TRUE(spinUntil([&] { return std::filesystem::exists(pidFile); }, 5));
    pid_t pid = std::stoi(readFile(pidFile));

    auto stat = readStat(pid);
    ASSERT_TRUE(stat.has_value());
    EXPECT_NE(stat->ppid, ::getpid());  // its parent was a reaped intermediate
    EXPECT_NE(::getsid(pid), ::getsid(0));
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const char* stream : {"/0", "/1", "/2"})
        EXPECT_EQ(std::filesystem::read_symlink(fds + stream), "/dev/null") << stream;
    int open = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(fds)) ++open;
    EXPECT_EQ(open, 3) << "descriptors leaked into the opened app";
    EXPECT_EQ(zombieChildren(), 0) << "the intermediate child was not reaped";

    auto running = workspace.runningApps("test.kept");
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running[0]->processIdentifier(), pid);
    running[0]->forceTerminate();
    EXPECT_TRUE(spinUntil([&] { return workspace.runningApps("test.kept").empty(); }, 5));
}

TEST_F(WorkspaceTest, OpeningWhatCannotRunDoesNothing) {
    // An Info.plist whose executable name climbs out of Contents/Linux must
    // not start the program it points at.
    std::string broken = dir.path() + "/Broken.app";
    std::filesystem::create_directories(broken + "/Contents/Linux");
    writeFile(broken + "/Contents/Info.plist",
              "<plist><dict><key>CFBundleExecutable</key><string>../../x</string></dict></plist>");
    std::filesystem::copy_file(WAITER_PROGRAM, broken + "/x");
    std::string pidFile = dir.path() + "/escaped.pid";
    ::setenv("WAITER_PIDFILE", pidFile.c_str(), 1);
    workspace.openInBackground(broken);
    workspace.openInBackground(dir.path() + "/Missing.app");
    workspace.openInBackground("");
    ::unsetenv("WAITER_PIDFILE");
    spinUntil([] { return false; }, 0.5);
    EXPECT_FALSE(std::filesystem::exists(pidFile));
    EXPECT_EQ(zombieChildren(), 0);
}

}  // namespace
}  // namespace vorsel::testing
