// Asking apps to quit the way a desktop asks, against windows of our own
// test app (desk_app) on a throwaway X11 desktop, with and without a window
// manager: which windows are an app's, close requests before signals, the
// app's own quit action on the bus, and hiding.
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "Platform/Linux/Windows/X11Windows.h"
#include "Platform/Linux/Workspace/ProcFs.h"
#include "Platform/Linux/Workspace/QuitRequests.h"
#include "WorkspaceFixture.h"
#include "tests/support/SkipForWant.h"
#include "tests/support/VirtualDesktop.h"

namespace vorsel::testing {
namespace {

using linux_platform::Pidfd;
using linux_platform::QuitRequests;
using linux_platform::TopLevel;
using linux_platform::X11Windows;
using SteadyClock = std::chrono::steady_clock;

int occurrences(const std::string& text, const std::string& line) {
    int count = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
}

class QuitTest : public WorkspaceTest {
  protected:
    void TearDown() override { ::unsetenv("DISPLAY"); }

    // A fresh desktop; the apps of the last one must be gone by then.
    bool startDesktop(bool windowManager) {
        desktop.reset();
        if (auto missing = VirtualDesktop::unavailable(windowManager); !missing.empty()) {
            skipped = missing;
            return false;
        }
        desktop = std::make_unique<VirtualDesktop>(VirtualDesktop::Options{windowManager});
        EXPECT_TRUE(desktop->ready()) << desktop->problem();
        ::setenv("DISPLAY", desktop->display().c_str(), 1);
        if (!desktop->ready()) return false;
        // openbox names its check window on the root window a moment before
        // the check window names itself.
        auto display = X11Windows::open(desktop->display());
        EXPECT_NE(display, nullptr);
        EXPECT_TRUE(spinUntil([&] { return display && display->managed() == windowManager; }, 10))
            << "openbox " << (::kill(desktop->windowManagerPid(), 0) == 0 ? "runs" : "is gone");
        return true;
    }

    // desk_app in a bundle named `id`, started and waited for until its
    // windows are up (and, with a window manager, managed).
    Child desk(const std::string& id, std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"--log", logOf(id)});
        Child child = launch(makeBundle(dir.path(), {id, id}, DESK_APP_PROGRAM), args);
        EXPECT_TRUE(spinUntil([&] { return occurrences(log(id), "ready") > 0; }, 10)) << id;
        return child;
    }

    std::string logOf(const std::string& id) const { return dir.path() + "/" + id + ".log"; }
    std::string log(const std::string& id) const { return readFile(logOf(id)); }
    bool waitForLine(const std::string& id, const std::string& line, double timeout = 5) {
        return spinUntil([&] { return occurrences(log(id), line) > 0; }, timeout);
    }

    // The windows the lookup finds, once there are `count` of them.
    std::vector<TopLevel> windowsOnce(std::size_t count) {
        auto display = X11Windows::open(desktop->display());
        EXPECT_NE(display, nullptr);
        std::vector<TopLevel> found;
        if (!display) return found;
        spinUntil([&] { return (found = display->windows()).size() >= count; }, 10);
        return found;
    }

    void waitManaged(std::size_t count) { EXPECT_GE(windowsOnce(count).size(), count); }

    std::unique_ptr<VirtualDesktop> desktop;
    std::string skipped;
};

TEST_F(QuitTest, TheLookupFindsEachAppsWindowsWithAndWithoutAWindowManager) {
    for (bool windowManager : {true, false}) {
        SCOPED_TRACE(windowManager ? "with openbox" : "without a window manager");
        if (!startDesktop(windowManager)) VORSEL_SKIP_FOR_WANT_OF(skipped);
        Child two = desk("test.two", {"--windows", "2"});
        Child launcher = desk("test.launcher", {"--child"});
        Child bare = desk("test.bare", {"--no-protocol"});
        auto display = X11Windows::open(desktop->display());
        ASSERT_NE(display, nullptr);
        EXPECT_EQ(display->managed(), windowManager);
        const auto windows = windowsOnce(4);
        ASSERT_EQ(windows.size(), 4u);
        int ofTwo = 0, ofLauncher = 0, ofBare = 0;
        for (const TopLevel& window : windows) {
            EXPECT_FALSE(window.dialog);
            EXPECT_FALSE(window.minimised);
            if (window.pid == two.pid()) {
                ++ofTwo;
                EXPECT_TRUE(window.closable);
            } else if (window.pid == bare.pid()) {
                ++ofBare;
                EXPECT_FALSE(window.closable) << "it does not take WM_DELETE_WINDOW";
            } else {
                // Made by the launcher's child, which is the window's pid.
                auto stat = linux_platform::readStat(window.pid);
                ASSERT_TRUE(stat.has_value());
                EXPECT_EQ(stat->ppid, launcher.pid());
                ++ofLauncher;
            }
        }
        EXPECT_EQ(ofTwo, 2);
        EXPECT_EQ(ofLauncher, 1);
        EXPECT_EQ(ofBare, 1);
        // The launcher's own process has no window: its child's is asked.
        auto app = appWithPid(launcher.pid());
        ASSERT_NE(app, nullptr);
        app->terminate();
        EXPECT_TRUE(spinUntil([&] { return launcher.ended(); }, 5));
        EXPECT_EQ(launcher.waitEnded(0), 0) << "closed, not signalled";
        EXPECT_EQ(occurrences(log("test.launcher"), "term"), 0);
    }
}

TEST_F(QuitTest, AWindowIsAskedFirstAndADialogItAnswersWithSparesItTheSignal) {
    if (!startDesktop(true)) VORSEL_SKIP_FOR_WANT_OF(skipped);
    Child asker = desk("test.asker", {"--ask"});
    Child deaf = desk("test.deaf", {"--ignore-close"});
    waitManaged(2);
    const auto first = SteadyClock::now();
    appWithPid(asker.pid())->terminate();
    appWithPid(deaf.pid())->terminate();
    ASSERT_TRUE(waitForLine("test.asker", "dialog"));
    EXPECT_EQ(occurrences(log("test.asker"), "close 0"), 1);
    EXPECT_TRUE(waitForLine("test.deaf", "close 0"));
    // A request soon after, as a pass brought early by a notice makes: the
    // app keeps its dialog.
    appWithPid(asker.pid())->terminate();
    appWithPid(deaf.pid())->terminate();
    spinUntil([] { return false; }, 0.3);
    EXPECT_EQ(occurrences(log("test.deaf"), "term"), 0);
    EXPECT_FALSE(asker.ended());

    // A later request signals the app that only ignored it, never the one
    // that asks its user.
    spinUntil([&] { return SteadyClock::now() - first > std::chrono::milliseconds(1600); }, 5);
    appWithPid(asker.pid())->terminate();
    appWithPid(deaf.pid())->terminate();
    EXPECT_TRUE(spinUntil([&] { return deaf.ended(); }, 5));
    EXPECT_EQ(deaf.waitEnded(0), SIGTERM);
    EXPECT_FALSE(appWithPid(deaf.pid()) && appWithPid(deaf.pid())->answeredWithDialog());
    EXPECT_TRUE(spinUntil([&] { return appWithPid(asker.pid())->answeredWithDialog(); }, 5));
    appWithPid(asker.pid())->terminate();
    spinUntil([] { return false; }, 0.3);
    EXPECT_FALSE(asker.ended());
    EXPECT_EQ(occurrences(log("test.asker"), "term"), 0);
    EXPECT_EQ(occurrences(log("test.asker"), "close 0"), 1) << "asked once";
}

// An app selected while it starts, before its first window is up: that
// window is what asks it, not a signal sent because it had none yet.
TEST_F(QuitTest, AnAppAskedBeforeItsFirstWindowIsAskedByThatWindow) {
    if (!startDesktop(true)) VORSEL_SKIP_FOR_WANT_OF(skipped);
    Child late = desk("test.late", {"--window-after", "600"});
    appWithPid(late.pid())->terminate();
    EXPECT_TRUE(spinUntil([&] { return late.ended(); }, 10));
    EXPECT_EQ(late.waitEnded(0), 0) << "closed, not signalled";
    EXPECT_EQ(occurrences(log("test.late"), "close 0"), 1);
    EXPECT_EQ(occurrences(log("test.late"), "term"), 0);
}

// Paused: every window minimised, its dialog too, and only then stopped;
// thawed, it runs again with its dialog still up.
TEST_F(QuitTest, APausedAppHasEveryWindowMinimisedBeforeItIsStoppedAndRunsAgainWhenThawed) {
    if (!startDesktop(true)) VORSEL_SKIP_FOR_WANT_OF(skipped);
    Child asker = desk("test.asker", {"--ask", "--child"});
    waitManaged(1);
    appWithPid(asker.pid())->terminate();
    ASSERT_TRUE(waitForLine("test.asker", "dialog"));
    auto display = X11Windows::open(desktop->display());
    ASSERT_NE(display, nullptr);
    auto stopped = [](pid_t pid) {
        const auto stat = linux_platform::readStat(pid);
        return stat && stat->state == 'T';
    };
    const std::optional<std::string> pin = appWithPid(asker.pid())->pause();
    ASSERT_TRUE(pin);
    ASSERT_TRUE(spinUntil([&] { return stopped(asker.pid()); }, 10));
    std::size_t windows = 0;
    for (const TopLevel& window : display->windows()) {
        const auto stat = linux_platform::readStat(window.pid);
        if (!stat || stat->ppid != asker.pid()) continue;
        ++windows;
        EXPECT_TRUE(window.minimised) << window.title;
        EXPECT_TRUE(stopped(window.pid)) << "the child that made the windows";
    }
    EXPECT_EQ(windows, 2u) << "its window and its dialog";
    EXPECT_EQ(appWithPid(asker.pid())->pause(), pin) << "paused again, the same";

    workspace.thaw(*pin);
    EXPECT_TRUE(spinUntil([&] { return !stopped(asker.pid()); }, 5));
    spinUntil([] { return false; }, 0.3);
    EXPECT_FALSE(asker.ended());
    EXPECT_EQ(occurrences(log("test.asker"), "cancel"), 0) << "its dialog was closed for it";
    EXPECT_EQ(occurrences(log("test.asker"), "term"), 0);
}

TEST_F(QuitTest, WithoutAWindowManagerTheWindowItselfIsAskedAndAnUnreachableAppIsSignalled) {
    if (!startDesktop(false)) VORSEL_SKIP_FOR_WANT_OF(skipped);
    Child plain = desk("test.plain");
    Child bare = desk("test.bare", {"--no-protocol"});
    waitManaged(2);
    appWithPid(plain.pid())->terminate();
    appWithPid(bare.pid())->terminate();
    EXPECT_TRUE(spinUntil([&] { return plain.ended() && bare.ended(); }, 5));
    EXPECT_EQ(plain.waitEnded(0), 0);
    EXPECT_EQ(occurrences(log("test.plain"), "close 0"), 1);
    // A window that does not take the delete protocol is no way to ask.
    EXPECT_EQ(bare.waitEnded(0), SIGTERM);
    EXPECT_EQ(occurrences(log("test.bare"), "close"), 0);

    // Nobody could minimise its windows: it is not paused.
    Child asker = desk("test.asker", {"--ask"});
    waitManaged(1);
    auto app = appWithPid(asker.pid());
    app->pause();
    EXPECT_TRUE(spinUntil([&] { return !appWithPid(asker.pid())->pause(); }, 5));
    const auto stat = linux_platform::readStat(asker.pid());
    ASSERT_TRUE(stat);
    EXPECT_NE(stat->state, 'T');
}

TEST_F(QuitTest, TheQuitActionIsAskedOnlyOfTheAppThatOwnsItsName) {
    if (!startDesktop(true)) VORSEL_SKIP_FOR_WANT_OF(skipped);
    Child quitter = desk("test.desk.Quitter", {"--bus", "test.desk.Quitter"});
    // Another process holds the name the victim's identity would own.
    Child holder = desk("test.desk.Holder", {"--bus", "test.desk.Victim", "--windows", "0"});
    Child victim = desk("test.desk.Victim");
    Child actionless =
        desk("test.desk.Actionless", {"--bus", "test.desk.Actionless", "--no-quit-action"});
    waitManaged(3);

    appWithPid(quitter.pid())->terminate();
    appWithPid(victim.pid())->terminate();
    appWithPid(actionless.pid())->terminate();
    EXPECT_TRUE(
        spinUntil([&] { return quitter.ended() && victim.ended() && actionless.ended(); }, 5));
    EXPECT_EQ(quitter.waitEnded(0), 0);
    EXPECT_EQ(occurrences(log("test.desk.Quitter"), "quit"), 1);
    EXPECT_EQ(occurrences(log("test.desk.Quitter"), "close"), 0) << "its action was enough";

    EXPECT_EQ(occurrences(log("test.desk.Holder"), "quit"), 0) << "asked a process not the app";
    EXPECT_FALSE(holder.ended());
    EXPECT_EQ(occurrences(log("test.desk.Victim"), "close 0"), 1);

    // An app without a quit action refuses it; its window is asked instead.
    EXPECT_EQ(occurrences(log("test.desk.Actionless"), "action quit"), 1);
    EXPECT_EQ(occurrences(log("test.desk.Actionless"), "close 0"), 1);
    EXPECT_EQ(actionless.waitEnded(0), 0);
}

TEST_F(QuitTest, AHiddenAppIsMinimisedAndAskedAgainButNeverSignalledOverItsDialog) {
    if (!startDesktop(true)) VORSEL_SKIP_FOR_WANT_OF(skipped);
    Child browser = desk("test.browserish", {"--ask"});
    waitManaged(1);
    auto app = appWithPid(browser.pid());
    app->hide();
    EXPECT_TRUE(waitForLine("test.browserish", "minimised 0"));
    app->terminate();
    ASSERT_TRUE(waitForLine("test.browserish", "dialog"));
    const auto first = SteadyClock::now();
    // Passes go on: each hides and asks again, and the dialog stays the
    // user's to answer.
    for (int pass = 0; pass < 2; ++pass) {
        spinUntil(
            [&] {
                return SteadyClock::now() - first > std::chrono::milliseconds(1600 * (pass + 1));
            },
            5);
        auto again = appWithPid(browser.pid());
        again->hide();
        again->terminate();
    }
    spinUntil([] { return false; }, 0.3);
    EXPECT_FALSE(browser.ended());
    EXPECT_EQ(occurrences(log("test.browserish"), "term"), 0);
    EXPECT_EQ(occurrences(log("test.browserish"), "close 0"), 1);
    EXPECT_EQ(occurrences(log("test.browserish"), "cancel"), 0) << "its dialog was closed for it";
}

// An app started outside any unit, that makes itself non-dumpable and that
// no entry names by its program: its window brings a pass at once and names
// it. A window without a pid names its process by its instance, but cannot
// be asked for it: that app is signalled, as one without windows is.
TEST_F(QuitTest, ANewWindowBringsANoticeAtOnceAndNamesItsProcess) {
    if (!startDesktop(true)) VORSEL_SKIP_FOR_WANT_OF(skipped);
    // The /proc check would come only after an hour: any notice is the window's.
    linux_platform::LinuxWorkspace watched{loop, {3600, false, 0, WINDOWS_MODULES}};
    int notices = 0;
    auto observation = watched.observeLaunches([&] { ++notices; });
    spinUntil([] { return false; }, 0.5);
    const int before = notices;
    Child sealed = Child::start(
        {DESK_APP_PROGRAM, "--log", logOf("sealed"), "--undumpable", "--class", "VorselDeskWindow"},
        {});
    ASSERT_TRUE(waitForLine("sealed", "ready", 10));
    EXPECT_TRUE(spinUntil([&] { return notices > before; }, 10)) << "no notice for the window";
    Child pidless = Child::start(
        {DESK_APP_PROGRAM, "--log", logOf("pidless"), "--no-pid", "--class", "VorselDeskWindow"},
        {});
    ASSERT_TRUE(waitForLine("pidless", "ready", 10));
    const auto named = [&](pid_t pid) -> std::shared_ptr<RunningApp> {
        for (const auto& app : watched.runningApps("org.example.DeskWindow"))
            if (app->processIdentifier() == pid) return app;
        return nullptr;
    };
    std::shared_ptr<RunningApp> sealedApp, pidlessApp;
    ASSERT_TRUE(spinUntil([&] { return (sealedApp = named(sealed.pid())) != nullptr; }, 10));
    ASSERT_TRUE(spinUntil([&] { return (pidlessApp = named(pidless.pid())) != nullptr; }, 10));
    sealedApp->terminate();
    pidlessApp->terminate();
    EXPECT_TRUE(spinUntil([&] { return sealed.ended() && pidless.ended(); }, 10));
    EXPECT_EQ(sealed.waitEnded(0), 0) << "closed, not signalled";
    EXPECT_EQ(occurrences(log("sealed"), "close 0"), 1);
    EXPECT_EQ(pidless.waitEnded(0), SIGTERM);
}

// The window manager dies during a session: windows mapped after it are
// still heard of at once (as top-level windows being mapped), and their
// apps asked through them.
TEST_F(QuitTest, AWindowManagerThatDiesLeavesNewWindowsHeardOfAndAsked) {
    if (!startDesktop(true)) VORSEL_SKIP_FOR_WANT_OF(skipped);
    linux_platform::LinuxWorkspace watched{loop, {3600, false, 0, WINDOWS_MODULES}};
    int notices = 0;
    auto observation = watched.observeLaunches([&] { ++notices; });
    spinUntil([] { return false; }, 0.5);
    ASSERT_EQ(::kill(desktop->windowManagerPid(), SIGKILL), 0);
    spinUntil([] { return false; }, 0.5);
    const int before = notices;
    Child late = Child::start(
        {DESK_APP_PROGRAM, "--log", logOf("late"), "--undumpable", "--class", "VorselDeskWindow"},
        {});
    ASSERT_TRUE(waitForLine("late", "ready", 10));
    EXPECT_TRUE(spinUntil([&] { return notices > before; }, 10)) << "no notice for the window";
    std::shared_ptr<RunningApp> app;
    ASSERT_TRUE(spinUntil(
        [&] {
            for (const auto& each : watched.runningApps("org.example.DeskWindow"))
                if (each->processIdentifier() == late.pid()) app = each;
            return app != nullptr;
        },
        10));
    app->terminate();
    EXPECT_TRUE(spinUntil([&] { return late.ended(); }, 10));
    EXPECT_EQ(late.waitEnded(0), 0) << "closed, not signalled";
}

// A browser (hidden first) with neither a quit action nor a window: never
// signalled, asked again, and the log says why once.
TEST_F(QuitTest, ABrowserNothingCouldAskIsLeftRunningAndTheLogSaysWhyOnce) {
    Child browser = launch(bundle({"Browserish", "test.browserish"}));
    auto opened = Pidfd::open(browser.pid(), startTimeOf(browser.pid()));
    ASSERT_TRUE(opened.has_value());
    auto handle = std::make_shared<const Pidfd>(std::move(*opened));
    std::vector<std::string> lines;
    QuitRequests::Options options{
        .useBus = true, .windowsModules = WINDOWS_MODULES, .listener = {}};
    options.listener.note = [&](const std::string& line) { lines.push_back(line); };
    auto requests = std::make_shared<QuitRequests>(loop, options);
    requests->watching();
    const auto first = SteadyClock::now();
    for (int pass = 0; pass < 2; ++pass) {
        spinUntil(
            [&] { return SteadyClock::now() - first > std::chrono::milliseconds(1600 * pass); }, 5);
        requests->hide(browser.pid(), handle);
        requests->terminate(browser.pid(), handle, "test.browserish");
    }
    EXPECT_EQ(browser.waitEnded(0.3), std::nullopt) << "signalled";
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("test.browserish"), std::string::npos) << lines[0];
    requests->released();
}

TEST_F(QuitTest, RequestsAndTheDisplayLastOnlyWhileASessionWatches) {
    if (!startDesktop(true)) VORSEL_SKIP_FOR_WANT_OF(skipped);
    Child stubborn = desk("test.stubborn", {"--ignore-close"});
    waitManaged(1);
    auto opened = Pidfd::open(stubborn.pid(), startTimeOf(stubborn.pid()));
    ASSERT_TRUE(opened.has_value());
    auto handle = std::make_shared<const Pidfd>(std::move(*opened));
    auto requests = std::make_shared<QuitRequests>(
        loop,
        QuitRequests::Options{.useBus = true, .windowsModules = WINDOWS_MODULES, .listener = {}});
    EXPECT_FALSE(requests->displayOpen()) << "opened before anything was asked";
    requests->watching();
    requests->terminate(stubborn.pid(), handle, "test.stubborn");
    ASSERT_TRUE(waitForLine("test.stubborn", "close 0"));
    EXPECT_TRUE(requests->displayOpen());
    requests->released();
    EXPECT_FALSE(requests->displayOpen());
    // A new session starts afresh: a close request again, not SIGTERM.
    requests->watching();
    requests->terminate(stubborn.pid(), handle, "test.stubborn");
    EXPECT_TRUE(spinUntil([&] { return occurrences(log("test.stubborn"), "close 0") == 2; }, 5));
    EXPECT_EQ(occurrences(log("test.stubborn"), "term"), 0);
    requests->released();
}

// An X server that stops answering (stopped here; grabbed or swapped out on
// a real desktop) holds up only the display thread: requests return, an
// app is still signalled on time, a hidden one is left alone, the session
// ends without waiting for the server, and the next one reaches it again.
TEST_F(QuitTest, AStoppedDisplayHoldsUpNeitherTheRequestsNorTheSessionsEnd) {
    if (!startDesktop(true)) VORSEL_SKIP_FOR_WANT_OF(skipped);
    Child first = desk("test.first");
    Child frozen = desk("test.frozen");
    Child hidden = desk("test.hidden");
    waitManaged(3);
    auto pin = [](const Child& child) {
        auto opened = Pidfd::open(child.pid(), startTimeOf(child.pid()));
        return opened ? std::make_shared<const Pidfd>(std::move(*opened)) : nullptr;
    };
    auto firstHandle = pin(first), frozenHandle = pin(frozen), hiddenHandle = pin(hidden);
    ASSERT_TRUE(firstHandle && frozenHandle && hiddenHandle);
    auto requests = std::make_shared<QuitRequests>(
        loop,
        QuitRequests::Options{.useBus = false, .windowsModules = WINDOWS_MODULES, .listener = {}});
    requests->watching();
    // The connection is open, as in a session that has closed apps already.
    requests->terminate(first.pid(), firstHandle, std::nullopt);
    ASSERT_TRUE(spinUntil([&] { return first.ended(); }, 10));

    const pid_t server = desktop->serverPid();
    ASSERT_EQ(::kill(server, SIGSTOP), 0);
    // Should a call wait for the server after all, the server is woken
    // after a while, so that the test fails instead of hanging.
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false, rescued = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> held(mutex);
        if (!finished.wait_for(held, std::chrono::seconds(30), [&] { return done; })) {
            rescued = true;
            ::kill(server, SIGCONT);
        }
    });
    const auto asked = SteadyClock::now();
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) {
            spinUntil([&] { return SteadyClock::now() - asked > std::chrono::milliseconds(1600); },
                      5);
            EXPECT_FALSE(frozen.ended()) << "signalled before its close request had its time";
        }
        requests->hide(hidden.pid(), hiddenHandle);
        requests->terminate(hidden.pid(), hiddenHandle, std::nullopt);
        requests->terminate(frozen.pid(), frozenHandle, std::nullopt);
    }
    EXPECT_TRUE(spinUntil([&] { return frozen.ended(); }, 10));
    requests->released();
    {
        std::lock_guard<std::mutex> held(mutex);
        done = true;
    }
    finished.notify_all();
    watchdog.join();
    EXPECT_FALSE(rescued) << "a request waited for the stopped server";
    ::kill(server, SIGCONT);
    EXPECT_EQ(frozen.waitEnded(0), SIGTERM);
    EXPECT_FALSE(hidden.ended()) << "a hidden app is asked, never signalled";
    EXPECT_EQ(occurrences(log("test.hidden"), "term"), 0);

    // The server answers again: a new session asks through a new connection.
    requests->watching();
    requests->terminate(hidden.pid(), hiddenHandle, std::nullopt);
    EXPECT_TRUE(spinUntil([&] { return hidden.ended(); }, 10));
    EXPECT_EQ(hidden.waitEnded(0), 0);
    EXPECT_EQ(occurrences(log("test.hidden"), "close 0"), 1);
    requests->released();
}

}  // namespace
}  // namespace vorsel::testing
