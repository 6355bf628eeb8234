// Which processes the workspace lists, and as what.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <set>

#include "Platform/Linux/Workspace/ProcFs.h"
#include "WorkspaceFixture.h"

namespace vorsel::testing {
namespace {

std::string real(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? buffer : path;
}

std::set<pid_t> childrenOf(pid_t pid) {
    std::set<pid_t> children;
    std::string text =
        readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) children.insert(std::stoi(text.substr(at, end - at)));
        at = end + 1;
    }
    return children;
}

TEST_F(WorkspaceTest, BundlesGiveIdentifierPolicyAndLocation) {
    auto regular = launch(bundle({"Regular", "test.regular"}));
    auto accessory = launch(bundle({"Tray", "test.tray", true, false}));
    auto background = launch(bundle({"Daemon", "test.daemon", false, true}));
    auto nameless = launch(bundle({"Nameless", ""}));
    auto bare = Child::start({WAITER_PROGRAM});
    ASSERT_TRUE(waitForExec(bare.pid(), WAITER_PROGRAM));

    auto app = appWithPid(regular.pid());
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->bundleIdentifier(), "test.regular");
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);
    EXPECT_EQ(app->bundleLocation(), real(dir.path() + "/Regular.app"));
    EXPECT_FALSE(app->isTerminated());

    ASSERT_NE(appWithPid(accessory.pid()), nullptr);
    EXPECT_EQ(appWithPid(accessory.pid())->activationPolicy(), ActivationPolicy::accessory);
    ASSERT_NE(appWithPid(background.pid()), nullptr);
    EXPECT_EQ(appWithPid(background.pid())->activationPolicy(), ActivationPolicy::prohibited);

    // No identifier, or no bundle at all: not an app.
    EXPECT_EQ(appWithPid(nameless.pid()), nullptr);
    EXPECT_EQ(appWithPid(bare.pid()), nullptr);
    EXPECT_EQ(appWithPid(::getpid()), nullptr);

    auto byID = workspace.runningApps("test.regular");
    ASSERT_EQ(byID.size(), 1u);
    EXPECT_EQ(byID[0]->processIdentifier(), regular.pid());
    EXPECT_TRUE(workspace.runningApps("test.Regular").empty());
}

TEST_F(WorkspaceTest, HelpersAreFoldedIntoTheirAppAndSurviveReparenting) {
    auto parent = launch(bundle({"Parent", "test.parent"}), {"--fork-helper"});
    std::set<pid_t> helpers;
    ASSERT_TRUE(spinUntil([&] { return !(helpers = childrenOf(parent.pid())).empty(); }, 5));
    pid_t helper = *helpers.begin();

    auto apps = workspace.runningApps("test.parent");
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0]->processIdentifier(), parent.pid());

    // Once the app itself is gone the orphaned helper stands as the app, so
    // a later pass can close it too.
    parent.kill();
    ASSERT_TRUE(spinUntil(
        [&] {
            auto left = workspace.runningApps("test.parent");
            return left.size() == 1 && left[0]->processIdentifier() == helper;
        },
        5));
    workspace.runningApps("test.parent")[0]->forceTerminate();
    EXPECT_TRUE(spinUntil([&] { return workspace.runningApps("test.parent").empty(); }, 5));
}

TEST_F(WorkspaceTest, LaunchedDesktopFileCountsOnlyForThePidItNames) {
    std::string shown = testApplicationsFolder() + "/org.example.Shown.desktop";
    std::string hidden = testApplicationsFolder() + "/org.example.Hidden.desktop";
    // The shell's own pid is what the launcher would have written; exec keeps it.
    auto asLaunched = [](const std::string& file) {
        return Child::start(
            {"/bin/sh", "-c", "export GIO_LAUNCHED_DESKTOP_FILE_PID=$$; exec " WAITER_PROGRAM},
            {{"GIO_LAUNCHED_DESKTOP_FILE", file}});
    };
    auto shownApp = asLaunched(shown);
    auto hiddenApp = asLaunched(hidden);
    auto inherited = Child::start({WAITER_PROGRAM}, {{"GIO_LAUNCHED_DESKTOP_FILE", shown},
                                                     {"GIO_LAUNCHED_DESKTOP_FILE_PID", "1"}});
    for (pid_t pid : {shownApp.pid(), hiddenApp.pid(), inherited.pid()})
        ASSERT_TRUE(waitForExec(pid, WAITER_PROGRAM));

    auto app = appWithPid(shownApp.pid());
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->bundleIdentifier(), "org.example.Shown");
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);
    EXPECT_EQ(app->bundleLocation(), std::nullopt);

    ASSERT_NE(appWithPid(hiddenApp.pid()), nullptr);
    EXPECT_EQ(appWithPid(hiddenApp.pid())->activationPolicy(), ActivationPolicy::accessory);
    EXPECT_EQ(appWithPid(inherited.pid()), nullptr);
}

TEST_F(WorkspaceTest, BrowsersAreTheHttpsHandlersTheDesktopKnows) {
    auto handlers = workspace.appsOpening("https://probe.invalid/");
    EXPECT_EQ(handlers, std::vector<std::string>{"test-browser"});
    EXPECT_EQ(workspace.appsOpening("HTTPS://probe.invalid/"), handlers);
    EXPECT_TRUE(workspace.appsOpening("no scheme at all").empty());
    EXPECT_TRUE(workspace.appsOpening("x/y:https").empty());
    EXPECT_TRUE(workspace.appsOpening(":").empty());
    EXPECT_TRUE(workspace.appsOpening("gopher://x.invalid/").empty());
}

}  // namespace
}  // namespace vorsel::testing
