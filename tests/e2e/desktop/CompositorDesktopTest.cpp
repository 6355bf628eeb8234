// The built agent closing real Debian apps on headless Wayland desktops
// (GNOME Shell with Vorsel's extension, KWin), in a real user session
// whose bus starts the agent: an app without a quit action is closed by a
// close request and never signalled, a browser is asked and closes cleanly,
// a browser that asks its user before closing its tabs is minimised and
// left asking, an X11 terminal through XWayland is closed, and an editor
// holding unsaved words shows its save dialog and is paused, not forced,
// until the session lets it go. Vorsel's own window opens there natively,
// under its desktop entry's name, so that the dock shows its icon. Then the
// faults: with the extension not enabled the agent still closes what it can
// ask by a quit action and signals the rest, and never signals a browser.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "Platform/Linux/Windows/GnomeShellWindows.h"
#include "Platform/Linux/Windows/KWinWindows.h"
#include "tests/e2e/support/BrowserProfile.h"
#include "tests/e2e/support/E2eWorld.h"
#include "tests/support/HeadlessCompositor.h"
#include "tests/support/SkipForWant.h"

namespace fs = std::filesystem;

namespace vorsel::e2e {
namespace {

using testing::HeadlessCompositor;
using Kind = HeadlessCompositor::Kind;

constexpr int kByTerm = 128 + SIGTERM;

class CompositorDesktop : public ::testing::TestWithParam<Kind> {
  protected:
    void SetUp() override {
        if (auto missing = HeadlessCompositor::unavailable(GetParam()); !missing.empty())
            VORSEL_SKIP_FOR_WANT_OF(missing);
        if (auto missing = testing::missingProgram(
                {"/usr/bin/gnome-text-editor", "/usr/bin/galculator", "/usr/bin/xterm",
                 "/usr/bin/mousepad", "/usr/lib/firefox-esr/firefox-esr"});
            !missing.empty())
            VORSEL_SKIP_FOR_WANT_OF(missing);
        uuid = HeadlessCompositor::installExtension(EXTENSION_SOURCE);
        ASSERT_FALSE(uuid.empty());
    }

    // The desktop, with the extension enabled or not, and the world whose
    // agent the session's bus starts with the desktop's variables.
    void start(bool extension) {
        std::vector<std::string> enabled;
        if (extension) enabled.push_back(uuid);
        desktop = std::make_unique<HeadlessCompositor>(GetParam(), enabled);
        ASSERT_TRUE(desktop->ready()) << desktop->problem();
        world = std::make_unique<E2eWorld>(E2eWorld::Options{.userSession = true});
        ASSERT_TRUE(world->ready()) << world->problem();
        // The session's journal holds what agents of earlier tests said.
        const std::string shown =
            run({"/usr/bin/journalctl", "-n", "1", "--show-cursor", "--no-pager", "-o", "cat"},
                world->environment(), 30)
                .out;
        if (const auto at = shown.rfind("-- cursor: "); at != std::string::npos)
            cursor = shown.substr(at + 11, shown.find('\n', at) - at - 11);
        std::string update;
        for (const auto& [name, value] : desktop->environment())
            update += (update.empty() ? "{'" : ", '") + name + "': '" + value + "'";
        const Outcome updated =
            run({"/usr/bin/gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                 "--object-path", "/org/freedesktop/DBus", "--method",
                 "org.freedesktop.DBus.UpdateActivationEnvironment", update + "}"},
                world->environment(), 30);
        ASSERT_EQ(updated.status, 0) << updated.err;
        // Without the extension the shell offers the test nothing either.
        if (!extension && GetParam() == Kind::gnomeShell) return;
        ASSERT_TRUE(waitUntil([&] { return (observer = observe()) != nullptr; }, 30, 0.5))
            << desktop->log();
    }

    // The test's own look at the desktop's windows.
    std::unique_ptr<linux_platform::DesktopWindows> observe() {
        if (GetParam() == Kind::gnomeShell) return linux_platform::GnomeShellWindows::open({});
        return linux_platform::KWinWindows::open({}, world->root());
    }

    // Starts an app as a launcher starts the entry `entry`.
    std::unique_ptr<Process> startApp(const std::string& entry,
                                      const std::vector<std::string>& argv,
                                      const std::string& input = {}) {
        Environment environment = world->environment();
        for (const auto& [name, value] : desktop->environment()) environment[name] = value;
        environment["GDK_BACKEND"] = "wayland,x11";
        environment["MOZ_ENABLE_WAYLAND"] = "1";
        environment["NO_AT_BRIDGE"] = "1";
        // A home of the test's own: apps restore what an earlier test left
        // in the session's.
        const std::string home = world->root() + "/home";
        environment["XDG_CONFIG_HOME"] = home + "/.config";
        environment["XDG_CACHE_HOME"] = home + "/.cache";
        environment["XDG_STATE_HOME"] = home + "/.local/state";
        environment["XDG_DATA_HOME"] = home + "/.local/share";
        environment["GIO_LAUNCHED_DESKTOP_FILE"] = "/usr/share/applications/" + entry + ".desktop";
        std::string command = "export GIO_LAUNCHED_DESKTOP_FILE_PID=$$; exec";
        for (const std::string& arg : argv) command += " '" + arg + "'";
        Streams streams{
            {}, world->root() + "/" + entry + ".out", world->root() + "/" + entry + ".err"};
        if (!input.empty()) {
            streams.in = world->root() + "/" + entry + ".in";
            writeText(streams.in, input);
        }
        auto process = Process::start({"/bin/sh", "-c", command}, environment, streams);
        EXPECT_NE(process, nullptr) << argv[0];
        return process;
    }

    // The window of `pid` once the desktop lists it, dialogs if asked.
    bool shows(pid_t pid, bool dialog = false, double timeout = 60) {
        return waitUntil(
            [&] {
                for (const auto& window : observer->windows())
                    if (window.pid == pid && window.dialog == dialog) return true;
                return false;
            },
            timeout, 0.2);
    }

    void session(const std::vector<std::string>& options) {
        std::vector<std::string> args{"session"};
        args.insert(args.end(), options.begin(), options.end());
        const Outcome outcome = world->standin(args);
        ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    }

    std::string agentLog() const {
        std::vector<std::string> argv{"/usr/bin/journalctl", "-t", world->own(),
                                      "--no-pager",          "-o", "cat"};
        if (!cursor.empty()) argv.push_back("--after-cursor=" + cursor);
        return run(argv, world->environment(), 30).out;
    }

    // A browser of its own profile; `keeper` gives it two tabs and has it
    // ask its user before it closes them, so that it stays, asking.
    std::unique_ptr<Process> browser(bool keeper = false) {
        const std::string profile =
            quietBrowserProfile(world->root() + (keeper ? "/keeper" : "/browser-profile"),
                                "user_pref(\"browser.tabs.warnOnClose\", true);\n");
        std::vector<std::string> argv{"/usr/lib/firefox-esr/firefox-esr", "--no-remote",
                                      "--profile", profile, "about:blank"};
        if (keeper) argv.push_back("about:robots");
        return startApp("firefox-esr", argv);
    }

    std::optional<linux_platform::TopLevel> mainWindowOf(pid_t pid) {
        for (const auto& window : observer->windows())
            if (window.pid == pid && !window.dialog) return window;
        return std::nullopt;
    }

    // Whether `pid` draws through Qt's Wayland platform and not through X11.
    static bool drawsNatively(pid_t pid) {
        const std::string maps = readText("/proc/" + std::to_string(pid) + "/maps");
        return maps.find("libqwayland") != std::string::npos &&
               maps.find("libqxcb") == std::string::npos;
    }

    std::unique_ptr<HeadlessCompositor> desktop;
    std::unique_ptr<E2eWorld> world;
    std::unique_ptr<linux_platform::DesktopWindows> observer;
    std::string cursor;
    std::string uuid;
};

TEST_P(CompositorDesktop, AppsAreAskedAndClosedAsTheirCloseButtonsWouldNeverSignalled) {
    start(true);
    // Words nobody saved: what the editor read from its standard input.
    auto editor = startApp("org.gnome.TextEditor", {"/usr/bin/gnome-text-editor", "-"},
                           "words nobody saved\n");
    auto calculator = startApp("galculator", {"/usr/bin/galculator"});
    auto terminal = startApp("debian-xterm", {"/usr/bin/xterm"});
    auto firefox = browser();
    auto keeper = browser(true);
    // The desktop entry is installed as "vorsel.desktop".
    auto ours = startApp("vorsel", {VORSEL_PROGRAM});
    ASSERT_TRUE(shows(ours->pid())) << desktop->log();
    const auto ourWindow = mainWindowOf(ours->pid());
    ASSERT_TRUE(ourWindow.has_value());
    EXPECT_EQ(ourWindow->windowClass, "vorsel");
    EXPECT_TRUE(drawsNatively(ours->pid())) << "our window went through XWayland";
    ASSERT_TRUE(shows(editor->pid())) << desktop->log();
    ASSERT_TRUE(shows(calculator->pid())) << desktop->log();
    ASSERT_TRUE(shows(terminal->pid())) << desktop->log();
    ASSERT_TRUE(shows(firefox->pid(), false, 90)) << desktop->log();
    ASSERT_TRUE(shows(keeper->pid(), false, 90)) << desktop->log();
    // A window the session leaves alone, last and so active, as a desktop
    // always has one: on an empty desktop KWin lets a minimised browser
    // that asks its user raise itself again.
    auto bystander = startApp("org.xfce.mousepad", {"/usr/bin/mousepad"});
    ASSERT_TRUE(shows(bystander->pid())) << desktop->log();
    session({"--close", "galculator", "--close", "debian-xterm", "--close", "firefox-esr",
             "--minutes", "5"});
    const auto calculatorStatus = calculator->wait(20);
    const auto terminalStatus = terminal->wait(20);
    const auto browserStatus = firefox->wait(40);
    ASSERT_TRUE(calculatorStatus.has_value()) << "galculator still runs\n" << agentLog();
    EXPECT_LT(*calculatorStatus, 128) << "galculator was signalled";
    ASSERT_TRUE(terminalStatus.has_value()) << "xterm still runs\n" << agentLog();
    EXPECT_LT(*terminalStatus, 128) << "xterm was signalled";
    ASSERT_TRUE(browserStatus.has_value()) << "the browser still runs\n" << agentLog();
    EXPECT_EQ(*browserStatus, 0) << "the browser did not close cleanly";
    // The browser that asks its user is minimised and left asking.
    const auto minimised = [&] {
        const auto window = mainWindowOf(keeper->pid());
        return window && window->minimised;
    };
    EXPECT_TRUE(waitUntil(minimised, 20)) << agentLog();

    // A session that also lists the editor: it asks whether to save while
    // it still runs, and is then paused with its dialog hidden rather than
    // forced. (Asked apart from the rest, so that a busy machine's slow
    // compositor still tells its dialog in time.)
    session({"--close", "org.gnome.TextEditor", "--close", "firefox-esr", "--minutes", "5"});
    EXPECT_TRUE(shows(editor->pid(), true, 20) && editor->running()) << agentLog();
    const auto stopped = [&] {
        const std::string stat = readText("/proc/" + std::to_string(editor->pid()) + "/stat");
        const auto end = stat.rfind(')');
        return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'T';
    };
    EXPECT_TRUE(waitUntil(stopped, 20)) << agentLog();
    // Passes later than any app would have been forced, the browser still
    // runs, minimised, and nothing was signalled.
    EXPECT_TRUE(keeper->running() && minimised()) << agentLog();
    const std::string log = agentLog();
    std::printf("agent:\n%s", log.c_str());
    EXPECT_EQ(log.find("sent SIGTERM"), std::string::npos) << "something was signalled";
    EXPECT_NE(log.find("paused org.gnome.TextEditor"), std::string::npos);
    // The shell's windows are the compositor's: no wlroots list is tried.
    EXPECT_EQ(log.find("Wayland windows"), std::string::npos);
    // Let go, the editor runs on with what it was given.
    session({"--close", "org.example.other", "--minutes", "5"});
    EXPECT_TRUE(waitUntil([&] { return !stopped(); }, 10)) << agentLog();
    const auto kept = [&] {
        const auto window = mainWindowOf(editor->pid());
        return window && window->title.find("words nobody saved") != std::string::npos;
    };
    EXPECT_TRUE(editor->running() && waitUntil(kept, 10)) << "what the editor held is gone";
}

// Only GNOME Shell's help can be missing while the compositor runs.
class CompositorFallback : public CompositorDesktop {};

TEST_P(CompositorFallback, WithoutTheCompositorsHelpAppsFallBackAndABrowserIsLeftRunning) {
    start(false);
    auto calculator = startApp("galculator", {"/usr/bin/galculator"});
    auto firefox = browser();
    // Up and showing by then: nothing here can see its window.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    ASSERT_TRUE(calculator->running());
    session({"--close", "galculator", "--close", "firefox-esr", "--minutes", "5"});
    EXPECT_EQ(calculator->wait(20), kByTerm) << "nothing could ask it: signalled";
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_TRUE(firefox->running()) << "a browser nothing could ask was signalled";
    const std::string log = agentLog();
    std::printf("agent:\n%s", log.c_str());
    EXPECT_NE(log.find("GNOME Shell"), std::string::npos) << "the agent told why";
}

INSTANTIATE_TEST_SUITE_P(Desktops, CompositorFallback, ::testing::Values(Kind::gnomeShell),
                         [](const auto&) { return "GnomeShell"; });
INSTANTIATE_TEST_SUITE_P(Desktops, CompositorDesktop,
                         ::testing::Values(Kind::gnomeShell, Kind::kwin), [](const auto& info) {
                             return info.param == Kind::gnomeShell ? "GnomeShell" : "KWin";
                         });

}  // namespace
}  // namespace vorsel::e2e
