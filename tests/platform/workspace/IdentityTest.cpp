// Which processes the workspace lists, and as what.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "Platform/Linux/Workspace/ProcFs.h"
#include "Platform/Linux/Workspace/ProcessTable.h"
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

// Started as a terminal would start them: inheriting the variables of the
// terminal's own launch, which name neither these processes nor their entries.
Child typedIn(const std::vector<std::string>& argv, const std::string& waitFor = {}) {
    Child child = Child::start(argv, {{"GIO_LAUNCHED_DESKTOP_FILE",
                                       testApplicationsFolder() + "/org.example.Shown.desktop"},
                                      {"GIO_LAUNCHED_DESKTOP_FILE_PID", "1"}});
    EXPECT_TRUE(waitForExec(child.pid(), waitFor.empty() ? argv[0] : waitFor)) << argv[0];
    return child;
}

TEST_F(WorkspaceTest, AnAppTypedInATerminalIsTheEntryThatRunsItsExecutable) {
    const std::string bin = testProgramsFolder();
    const std::string sh = real("/bin/sh");
    auto typed = typedIn({bin + "/typed", "--fork-helper"});
    auto settings = typedIn({bin + "/typed", "--settings"});
    auto quiet = typedIn({bin + "/quiet"});
    auto elsewhere = typedIn({bin + "/elsewhere"});
    auto script = typedIn({bin + "/script.sh"}, sh);
    auto pair = typedIn({"/bin/sh", bin + "/pair.sh"}, sh);
    auto wrapped = typedIn({"/usr/bin/env", "WRAPPED=1", bin + "/wrapped"}, bin + "/wrapped");
    // The script given by a name relative to where the interpreter runs.
    auto pairHere = typedIn({"/bin/sh", "-c", "cd " + bin + " && exec /bin/sh pair.sh"}, sh);
    // Near misses: a renamed copy, even calling itself by the entry's name,
    // another program given the interpreter's script, and a program without
    // the argument that its only entry passes.
    // The system's entries count; the user's own copy of an ID wins.
    auto system = typedIn({bin + "/sysapp"});
    auto shadowed = typedIn({bin + "/shadowed"});
    auto panel = typedIn({bin + "/panel"});
    auto panelSettings = typedIn({bin + "/panel", "--preferences"});
    auto renamed = typedIn({"/bin/bash", "-c", "exec -a " + bin + "/typed " + bin + "/renamed"},
                           bin + "/renamed");
    auto notPair = typedIn({bin + "/renamed", bin + "/pair.sh"});
    // A shell: nobody's app, though what runs in it is one.
    auto shell = typedIn({"/bin/sh", "-c", bin + "/quiet; :"}, sh);

    auto app = appWithPid(typed.pid());
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->bundleIdentifier(), "org.example.Typed");
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);
    EXPECT_EQ(app->bundleLocation(), std::nullopt);
    // Arguments tell the entries of one program apart: without "--settings"
    // it is not the settings entry; with it, it may be either.
    EXPECT_TRUE(app->alternativeIdentifiers().empty());
    EXPECT_EQ(workspace.runningApps("org.example.Typed").size(), 2u);
    ASSERT_NE(appWithPid(settings.pid()), nullptr);
    EXPECT_EQ(appWithPid(settings.pid())->bundleIdentifier(), "org.example.TypedSettings");
    EXPECT_EQ(appWithPid(settings.pid())->alternativeIdentifiers(),
              std::vector<std::string>{"org.example.Typed"});

    ASSERT_TRUE(spinUntil(
        [&] { return linux_platform::readCmdline(pairHere.pid()).back() == "pair.sh"; }, 5));
    const std::pair<Child*, const char*> others[] = {{&quiet, "org.example.Quiet"},
                                                     {&elsewhere, "org.example.Elsewhere"},
                                                     {&script, "org.example.Script"},
                                                     {&pair, "org.example.Pair"},
                                                     {&pairHere, "org.example.Pair"},
                                                     {&wrapped, "org.example.Wrapped"},
                                                     {&panelSettings, "org.example.PanelSettings"},
                                                     {&system, "org.example.System"},
                                                     {&shadowed, "org.example.Shadowed"}};
    for (const auto& [child, id] : others) {
        auto other = appWithPid(child->pid());
        ASSERT_NE(other, nullptr) << id;
        EXPECT_EQ(other->bundleIdentifier(), id);
        EXPECT_TRUE(other->alternativeIdentifiers().empty()) << id;
    }
    // Not shown: NoDisplay, or only on another desktop.
    EXPECT_EQ(appWithPid(quiet.pid())->activationPolicy(), ActivationPolicy::accessory);
    EXPECT_EQ(appWithPid(elsewhere.pid())->activationPolicy(), ActivationPolicy::accessory);
    EXPECT_EQ(appWithPid(script.pid())->activationPolicy(), ActivationPolicy::regular);
    EXPECT_EQ(appWithPid(system.pid())->activationPolicy(), ActivationPolicy::regular);
    EXPECT_EQ(appWithPid(shadowed.pid())->activationPolicy(), ActivationPolicy::accessory);

    EXPECT_EQ(appWithPid(panel.pid()), nullptr);
    EXPECT_EQ(appWithPid(renamed.pid()), nullptr);
    EXPECT_EQ(appWithPid(notPair.pid()), nullptr);
    EXPECT_EQ(appWithPid(shell.pid()), nullptr);
    std::set<pid_t> inShell;
    ASSERT_TRUE(spinUntil([&] { return !(inShell = childrenOf(shell.pid())).empty(); }, 5));
    ASSERT_TRUE(waitForExec(*inShell.begin(), bin + "/quiet"));
    EXPECT_NE(appWithPid(*inShell.begin()), nullptr);
    // The typed app's helper is part of it.
    std::set<pid_t> helpers;
    ASSERT_TRUE(spinUntil([&] { return !(helpers = childrenOf(typed.pid())).empty(); }, 5));
    EXPECT_EQ(appWithPid(*helpers.begin()), nullptr);
    ::kill(*inShell.begin(), SIGKILL);  // started by this test's shell
    ::kill(*helpers.begin(), SIGKILL);
}

// Processes nothing of their own names: a window's class names the entry
// (its StartupWMClass, else its ID, case aside, or a reverse-DNS ID's last
// part), and what the app started stays part of it; a window that names no
// entry, or no process, changes nothing.
TEST_F(WorkspaceTest, AProcessNothingElseNamesIsTheAppItsWindowNames) {
    const std::string bin = testProgramsFolder();
    auto windowed = typedIn({bin + "/renamed", "--fork-helper"});
    auto bravo = typedIn({bin + "/renamed"});
    auto twin = typedIn({bin + "/renamed"});
    auto stray = typedIn({bin + "/renamed"});
    auto pidless = typedIn({bin + "/pidless"});
    // Its own program names it: a window copying another app's class
    // changes nothing.
    auto copier = typedIn({bin + "/typed"});
    std::set<pid_t> helpers;
    ASSERT_TRUE(spinUntil([&] { return !(helpers = childrenOf(windowed.pid())).empty(); }, 5));
    const auto window = [](pid_t pid, std::string windowClass, std::string instance) {
        linux_platform::TopLevel top;
        top.id = std::to_string(pid) + windowClass;
        top.pid = pid;
        top.windowClass = std::move(windowClass);
        top.instance = std::move(instance);
        return top;
    };
    linux_platform::ProcessTable table(::getuid());
    table.windowsSeen(
        {window(windowed.pid(), "VorselWindowed", "renamed"),
         window(bravo.pid(), "BRAVO", "bravo-main"), window(twin.pid(), "Other", "VorselTwin"),
         window(stray.pid(), "NoSuchEntry", "renamed"),
         window(copier.pid(), "VorselWindowed", "typed"), window(0, "Bravo", "pidless"),
         // Names an entry, but no process runs under that name.
         window(0, "VorselWindowed", "nobody-runs-this")});
    std::map<pid_t, std::string> named;
    for (const auto* info : table.apps()) named[info->pid] = info->identity->bundleID;
    EXPECT_EQ(named[windowed.pid()], "org.example.Windowed");
    EXPECT_EQ(named[bravo.pid()], "org.example.Bravo");
    EXPECT_EQ(named[twin.pid()], "twin-a") << "two entries claim the class: the first ID wins";
    EXPECT_EQ(named[pidless.pid()], "org.example.Bravo");
    EXPECT_FALSE(named.contains(stray.pid()));
    EXPECT_EQ(named[copier.pid()], "org.example.Typed");
    EXPECT_FALSE(named.contains(*helpers.begin())) << "a helper of the app is no app of its own";
    EXPECT_EQ(std::count_if(named.begin(), named.end(),
                            [](const auto& app) { return app.second == "org.example.Windowed"; }),
              1);
    ::kill(*helpers.begin(), SIGKILL);
}

// A process that made itself non-dumpable shows neither its executable nor
// its environment: its command line still names its entry.
TEST_F(WorkspaceTest, ANonDumpableProcessIsStillTheEntryItsCommandLineRuns) {
    const std::string bin = testProgramsFolder();
    Child sealed = Child::start({bin + "/sealed", "--undumpable"}, {});
    ASSERT_TRUE(spinUntil(
        [&] {
            return linux_platform::readCmdline(sealed.pid()).size() == 2 &&
                   !linux_platform::readExe(sealed.pid());
        },
        5))
        << "still dumpable";
    auto app = appWithPid(sealed.pid());
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->bundleIdentifier(), "org.example.Sealed");
}

TEST_F(WorkspaceTest, ALaunchOnlyNamingItsPidAndABusActivationAreRecognisedByWhatTheyRun) {
    const std::string bin = testProgramsFolder();
    // "gio launch" leaves the pid alone; the process is still what it runs.
    const auto launched = [](const std::string& program) {
        return Child::start(
            {"/bin/sh", "-c", "export GIO_LAUNCHED_DESKTOP_FILE_PID=$$; exec " + program});
    };
    auto typed = launched(bin + "/typed");
    auto renamed = launched(bin + "/renamed");
    // What the session bus starts carries its variables.
    auto bus = Child::start(
        {bin + "/busapp", "--gapplication-service"},
        {{"DBUS_STARTER_BUS_TYPE", "session"}, {"DBUS_STARTER_ADDRESS", "unix:path=/nonexistent"}});
    ASSERT_TRUE(waitForExec(typed.pid(), bin + "/typed"));
    ASSERT_TRUE(waitForExec(renamed.pid(), bin + "/renamed"));
    ASSERT_TRUE(waitForExec(bus.pid(), bin + "/busapp"));

    ASSERT_NE(appWithPid(typed.pid()), nullptr);
    EXPECT_EQ(appWithPid(typed.pid())->bundleIdentifier(), "org.example.Typed");
    EXPECT_EQ(appWithPid(renamed.pid()), nullptr);
    // A DBusActivatable entry need not run anything itself: its service does.
    auto activated = appWithPid(bus.pid());
    ASSERT_NE(activated, nullptr);
    EXPECT_EQ(activated->bundleIdentifier(), "org.example.Bus");
    EXPECT_EQ(activated->activationPolicy(), ActivationPolicy::regular);
}

TEST_F(WorkspaceTest, EntriesInstalledOrRemovedLaterCountForProcessesStartedAfter) {
    const std::string late = testProgramsFolder() + "/late";
    const std::string folder = testApplicationsFolder() + "/sub";
    auto before = Child::start({late});
    ASSERT_TRUE(waitForExec(before.pid(), late));
    ASSERT_EQ(appWithPid(before.pid()), nullptr);

    std::filesystem::create_directories(folder);
    ASSERT_TRUE(writeFile(folder + "/late.desktop",
                          "[Desktop Entry]\nType=Application\nName=Late\nExec=" + late + "\n"));
    auto after = Child::start({late});
    ASSERT_TRUE(waitForExec(after.pid(), late));
    ASSERT_NE(appWithPid(after.pid()), nullptr);
    EXPECT_EQ(appWithPid(after.pid())->bundleIdentifier(), "sub-late");

    std::filesystem::remove_all(folder);
    auto removed = Child::start({late});
    ASSERT_TRUE(waitForExec(removed.pid(), late));
    EXPECT_EQ(appWithPid(removed.pid()), nullptr);
}

// Runs `argv` through systemd-run in a transient unit of the user manager,
// which it reaches through $XDG_RUNTIME_DIR: the tests' own session bus is a
// private one without it.
Child inUnit(const std::string& unit, const std::vector<std::string>& argv,
             const std::vector<std::string>& options = {"--scope"}) {
    std::vector<std::string> command{"/usr/bin/env",         "-u",     "DBUS_SESSION_BUS_ADDRESS",
                                     "/usr/bin/systemd-run", "--user", "--quiet",
                                     "--unit=" + unit};
    command.insert(command.end(), options.begin(), options.end());
    command.insert(command.end(), argv.begin(), argv.end());
    return Child::start(command);
}

bool userManagerRuns() {
    return std::system(
               "env -u DBUS_SESSION_BUS_ADDRESS /usr/bin/systemd-run --user --scope "
               "--quiet /bin/true >/dev/null 2>&1") == 0;
}

TEST_F(WorkspaceTest, AnAppUnitNamesItsFirstProcessAndWhatItStartsBelongsToIt) {
    if (::access("/usr/bin/systemd-run", X_OK) != 0 || !userManagerRuns()) {
        if (std::getenv("VORSEL_USER_SESSION")) FAIL() << "no user manager in the user session";
        GTEST_SKIP() << "no systemd user manager to make units (scripts/with-user-session.sh)";
    }
    const std::string bin = testProgramsFolder();
    const std::string sh = real("/bin/sh");
    const std::string tag = std::to_string(::getpid());
    // A terminal's scope: the shell is the app, what it starts is its
    // helper, unless it is an app of its own.
    auto terminal = inUnit("app-gnome-org.example.Shown-" + tag + ".scope",
                           {"/bin/sh", "-c", bin + "/renamed & " + bin + "/quiet & wait"});
    // KDE's form, a flatpak's with an escaped dash, a snap's: the unit
    // names the app whatever it runs.
    auto kde =
        inUnit("app-org.example.Typed-0123456789abcdef0123456789ab" + tag.substr(0, 4) + ".scope",
               {bin + "/renamed"});
    auto flatpak =
        inUnit("app-flatpak-org.example.my\\x2dtool-" + tag + ".scope", {bin + "/renamed"});
    auto snap =
        inUnit("snap.testsnap.tool-7b4d1c2e-9f3a-4e5b-8c6d-0a1b2c3d" + tag.substr(0, 4) + ".scope",
               {bin + "/renamed"});
    // The desktop session's own slice holds no apps, whatever they run,
    // but for what the session bus there started for an entry: not the
    // services it starts for the desktop itself.
    auto session = inUnit("vorsel-test-" + tag + ".scope", {bin + "/typed"},
                          {"--scope", "--slice=session.slice"});
    auto service = inUnit("vorsel-service-" + tag + ".scope",
                          {"/usr/bin/env", "DBUS_STARTER_BUS_TYPE=session", bin + "/renamed"},
                          {"--scope", "--slice=session.slice"});
    auto activated = inUnit("vorsel-bus-" + tag + ".scope",
                            {"/usr/bin/env", "DBUS_STARTER_BUS_TYPE=session", bin + "/busapp",
                             "--gapplication-service"},
                            {"--scope", "--slice=session.slice"});
    ASSERT_TRUE(waitForExec(terminal.pid(), sh));
    for (Child* child : {&kde, &flatpak, &snap})
        ASSERT_TRUE(waitForExec(child->pid(), bin + "/renamed"));
    ASSERT_TRUE(waitForExec(session.pid(), bin + "/typed"));
    ASSERT_TRUE(waitForExec(service.pid(), bin + "/renamed"));
    ASSERT_TRUE(waitForExec(activated.pid(), bin + "/busapp"));
    std::set<pid_t> started;
    ASSERT_TRUE(spinUntil([&] { return (started = childrenOf(terminal.pid())).size() == 2; }, 5));

    auto shell = appWithPid(terminal.pid());
    ASSERT_NE(shell, nullptr);
    EXPECT_EQ(shell->bundleIdentifier(), "org.example.Shown");
    EXPECT_EQ(shell->activationPolicy(), ActivationPolicy::regular);
    for (pid_t pid : started) {
        ASSERT_TRUE(spinUntil(
            [&] {
                auto exe = linux_platform::readExe(pid);
                return exe && *exe != sh;
            },
            5));
        const bool quiet = linux_platform::readExe(pid) == bin + "/quiet";
        auto app = appWithPid(pid);
        if (quiet) {
            ASSERT_NE(app, nullptr);
            EXPECT_EQ(app->bundleIdentifier(), "org.example.Quiet");
        } else {
            EXPECT_EQ(app, nullptr) << "a helper of the shell's app";
        }
    }
    const std::pair<Child*, const char*> named[] = {
        {&kde, "org.example.Typed"}, {&flatpak, "org.example.my-tool"}, {&snap, "testsnap_tool"}};
    for (const auto& [child, id] : named) {
        auto app = appWithPid(child->pid());
        ASSERT_NE(app, nullptr) << id;
        EXPECT_EQ(app->bundleIdentifier(), id);
    }
    EXPECT_EQ(appWithPid(kde.pid())->activationPolicy(), ActivationPolicy::regular);
    // Not installed: not shown.
    EXPECT_EQ(appWithPid(snap.pid())->activationPolicy(), ActivationPolicy::accessory);
    EXPECT_EQ(appWithPid(session.pid()), nullptr);
    EXPECT_EQ(appWithPid(service.pid()), nullptr);
    ASSERT_NE(appWithPid(activated.pid()), nullptr);
    EXPECT_EQ(appWithPid(activated.pid())->bundleIdentifier(), "org.example.Bus");
    for (pid_t pid : started) ::kill(pid, SIGKILL);  // started by this test's shell

    // Moved into an app's scope after it started, as desktop shells do: the
    // table, told to look again, finds it there.
    auto moved = Child::start({bin + "/renamed"});
    ASSERT_TRUE(waitForExec(moved.pid(), bin + "/renamed"));
    linux_platform::ProcessTable table(::getuid());
    const auto listed = [&] {
        for (const auto* info : table.apps())
            if (info->pid == moved.pid()) return info->identity->bundleID;
        return std::string();
    };
    table.lookAgain();
    EXPECT_EQ(listed(), "");
    table.lookAgain();
    EXPECT_EQ(listed(), "");
    const std::string scope = "app-gnome-org.example.Typed-" + tag + "9.scope";
    ASSERT_EQ(std::system(("env -u DBUS_SESSION_BUS_ADDRESS busctl --user --quiet call "
                           "org.freedesktop.systemd1 /org/freedesktop/systemd1 "
                           "org.freedesktop.systemd1.Manager StartTransientUnit "
                           "'ssa(sv)a(sa(sv))' " +
                           scope + " fail 1 PIDs au 1 " + std::to_string(moved.pid()) + " 0")
                              .c_str()),
              0);
    ASSERT_TRUE(spinUntil(
        [&] {
            return readFile("/proc/" + std::to_string(moved.pid()) + "/cgroup").find(scope) !=
                   std::string::npos;
        },
        5));
    EXPECT_EQ(listed(), "") << "not looked at again before a unit's start";
    table.lookAgain();
    EXPECT_EQ(listed(), "org.example.Typed");
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
