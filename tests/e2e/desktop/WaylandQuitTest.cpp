// The built agent closing real Debian apps on a throwaway headless sway, as
// on X11: gnome-text-editor (native Wayland) asks whether to save what was
// typed before anything signals it, and is paused with what was typed until
// the session lets it go, galculator (no quit action) is closed
// by a close request and ends by itself, xterm (through XWayland) closes its
// own window, and a browser is asked and hidden, never signalled. The agent
// finds the compositor as a desktop hands it over: through the bus's
// activation environment.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "Platform/Linux/Windows/WindowsModules.h"
#include "tests/e2e/support/BrowserProfile.h"
#include "tests/e2e/support/E2eWorld.h"
#include "tests/support/HeadlessSway.h"
#include "tests/support/SkipForWant.h"

namespace fs = std::filesystem;

namespace vorsel::e2e {
namespace {

using linux_platform::DesktopWindows;
using linux_platform::TopLevel;
using linux_platform::VorselWindowsOpen;

class WaylandQuitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto missing = testing::HeadlessSway::unavailable(); !missing.empty())
            VORSEL_SKIP_FOR_WANT_OF(missing);
        if (auto missing = testing::missingProgram(
                {"/usr/bin/gnome-text-editor", "/usr/bin/galculator", "/usr/bin/xterm",
                 "/usr/lib/firefox-esr/firefox-esr", "/usr/bin/wtype"});
            !missing.empty())
            VORSEL_SKIP_FOR_WANT_OF(missing);
        ASSERT_TRUE(world.ready()) << world.problem();
        sway = std::make_unique<testing::HeadlessSway>();
        ASSERT_TRUE(sway->ready()) << sway->problem();
        module = ::dlopen(WAYLAND_MODULE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr);
        auto open =
            reinterpret_cast<VorselWindowsOpen>(::dlsym(module, linux_platform::kWindowsOpenEntry));
        ASSERT_NE(open, nullptr);
        ::setenv("SWAYSOCK", sway->swaySocket().c_str(), 1);
        ipc.reset(open(nullptr));
        ASSERT_NE(ipc, nullptr);
        home = world.root() + "/home";
        // A keyboard on sway's seat from the start, as a real one would be,
        // so that apps take keys from their first window on: a virtual one
        // that types nothing for an hour.
        keyboard = Process::start({"/usr/bin/wtype", "-s", "3600000"}, appEnvironment());
        ASSERT_NE(keyboard, nullptr);
        handOver(sway->swaySocket(), sway->environment().at("DISPLAY"));
    }

    // What sway's session does when it starts (its systemd-user
    // configuration): the bus starts the agent with the compositor's
    // addresses in its environment.
    void handOver(const std::string& swaySocket, const std::string& display) {
        const std::string wayland = sway->runtimeDir() + "/" + sway->waylandDisplay();
        const Outcome updated =
            run({"/usr/bin/dbus-send", "--session", "--dest=org.freedesktop.DBus",
                 "--type=method_call", "--print-reply", "/org/freedesktop/DBus",
                 "org.freedesktop.DBus.UpdateActivationEnvironment",
                 "dict:string:string:WAYLAND_DISPLAY," + wayland + ",SWAYSOCK," + swaySocket +
                     ",DISPLAY," + display},
                world.environment());
        ASSERT_EQ(updated.status, 0) << updated.err;
    }

    void TearDown() override {
        apps.clear();
        keyboard.reset();
        ipc.reset();
        sway.reset();
        if (module != nullptr) ::dlclose(module);
    }

    Environment appEnvironment() const {
        Environment environment = world.environment();
        for (const auto& [name, value] : sway->environment()) environment[name] = value;
        environment["XDG_CONFIG_HOME"] = home + "/.config";
        environment["XDG_CACHE_HOME"] = home + "/.cache";
        environment["XDG_STATE_HOME"] = home + "/.local/state";
        environment["XDG_SESSION_TYPE"] = "wayland";
        environment["GDK_BACKEND"] = "wayland";
        environment["GSK_RENDERER"] = "cairo";
        environment["MOZ_ENABLE_WAYLAND"] = "1";
        environment["GSETTINGS_BACKEND"] = "keyfile";
        environment["NO_AT_BRIDGE"] = "1";
        environment["GTK_A11Y"] = "none";
        return environment;
    }

    // Starts `argv` as a desktop's launcher starts the app of the installed
    // entry `entry`.
    Process& startApp(const std::string& entry, const std::vector<std::string>& argv,
                      const std::string& name) {
        Environment environment = appEnvironment();
        environment["GIO_LAUNCHED_DESKTOP_FILE"] = "/usr/share/applications/" + entry + ".desktop";
        std::string command = "export GIO_LAUNCHED_DESKTOP_FILE_PID=$$; exec";
        for (const std::string& arg : argv) command += " '" + arg + "'";
        apps.push_back(Process::start(
            {"/bin/sh", "-c", command}, environment,
            {{}, world.root() + "/" + name + ".out", world.root() + "/" + name + ".err"}));
        EXPECT_NE(apps.back(), nullptr) << argv[0];
        return *apps.back();
    }

    // The first native window of `pid` that is not a dialog, once sway
    // shows it.
    TopLevel windowOf(pid_t pid, double timeout = 30) {
        TopLevel found;
        waitUntil(
            [&] {
                for (const TopLevel& window : ipc->windows())
                    if (window.pid == pid && !window.dialog) found = window;
                return !found.id.empty();
            },
            timeout, 0.1);
        return found;
    }

    bool showsDialog(pid_t pid) {
        for (const TopLevel& window : ipc->windows())
            if (window.pid == pid && window.dialog) return true;
        return false;
    }

    void type(const TopLevel& window, const std::string& text) {
        run({"/usr/bin/swaymsg", "-s", sway->swaySocket(), "[con_id=" + window.id + "] focus"},
            appEnvironment(), 10);
        run({"/usr/bin/wtype", "-d", "15", text}, appEnvironment(), 30);
    }

    void session(const std::vector<std::string>& options) {
        std::vector<std::string> args{"session"};
        args.insert(args.end(), options.begin(), options.end());
        const Outcome outcome = world.standin(args);
        ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err << "\nagent:\n"
                                     << world.agentLog();
    }

    E2eWorld world;
    std::unique_ptr<testing::HeadlessSway> sway;
    void* module = nullptr;
    std::unique_ptr<DesktopWindows> ipc;
    std::string home;
    std::unique_ptr<Process> keyboard;
    std::vector<std::unique_ptr<Process>> apps;
};

TEST_F(WaylandQuitTest, EditorAsksCalculatorAndTerminalCloseNoneSignalled) {
    Process& editor = startApp("org.gnome.TextEditor", {"/usr/bin/gnome-text-editor"}, "editor");
    const TopLevel editorWindow = windowOf(editor.pid());
    ASSERT_FALSE(editorWindow.id.empty()) << readText(world.root() + "/editor.err");
    // Typed before the others come, which take the focus as they open. A
    // window just shown may not take keys yet: typed again until its title
    // shows the text.
    const auto typed = [&] {
        return windowOf(editor.pid()).title.find("words for the editor") != std::string::npos;
    };
    for (int attempt = 0; attempt < 3 && !typed(); ++attempt) {
        type(editorWindow, "words for the editor");
        waitUntil(typed, 5);
    }
    ASSERT_TRUE(typed());
    Process& calculator = startApp("galculator", {"/usr/bin/galculator"}, "calculator");
    Process& terminal = startApp("debian-xterm", {"/usr/bin/xterm"}, "xterm");
    ASSERT_FALSE(windowOf(calculator.pid()).id.empty())
        << readText(world.root() + "/calculator.err");
    // The terminal's window, on XWayland's display.
    ASSERT_EQ(run({"/usr/bin/xdotool", "search", "--sync", "--pid", std::to_string(terminal.pid())},
                  appEnvironment(), 30)
                  .status,
              0);
    // A second more, so that the request does not overtake the editor's
    // last keys (docs/troubleshooting.md).
    std::this_thread::sleep_for(std::chrono::seconds(1));

    session({"--close", "org.gnome.TextEditor", "--close", "galculator", "--close", "debian-xterm",
             "--minutes", "5"});
    // The editor's quit action: it asks whether to save, still running.
    EXPECT_TRUE(waitUntil([&] { return showsDialog(editor.pid()); }, 10)) << world.agentLog();
    EXPECT_TRUE(editor.running());
    // The calculator's window got a close request: it ended by itself.
    EXPECT_EQ(calculator.wait(15), 0) << world.agentLog();
    const auto terminalStatus = terminal.wait(15);
    ASSERT_TRUE(terminalStatus.has_value()) << world.agentLog();
    EXPECT_LT(*terminalStatus, 128) << "ended by a signal";
    // The editor, which asked its user, is paused rather than forced, and
    // runs again with what was typed once the session lets it go.
    const auto stopped = [&] {
        const std::string stat = readText("/proc/" + std::to_string(editor.pid()) + "/stat");
        const auto end = stat.rfind(')');
        return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'T';
    };
    ASSERT_TRUE(waitUntil(stopped, 15)) << world.agentLog();
    EXPECT_TRUE(editor.running());
    EXPECT_EQ(world.logCount("paused org.gnome.TextEditor"), 1) << world.agentLog();
    session({"--close", "org.example.other", "--minutes", "5"});
    EXPECT_TRUE(waitUntil([&] { return !stopped(); }, 10)) << world.agentLog();
    EXPECT_TRUE(editor.running()) << "the editor ended";
    // Its windows stay in the scratchpad, where sway no longer tells its
    // main window from its dialog: any of its windows may carry the title.
    const auto kept = [&] {
        for (const TopLevel& window : ipc->windows())
            if (window.pid == editor.pid() &&
                window.title.find("words for the editor") != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(waitUntil(kept, 5)) << "what was typed is gone";
}

TEST_F(WaylandQuitTest, ABrowserIsHiddenAndAskedNeverSignalled) {
    const std::string profile = quietBrowserProfile(home + "/browser-profile");
    Process& browser = startApp(
        "firefox-esr", {"/usr/lib/firefox-esr/firefox-esr", "--no-remote", "--profile", profile},
        "browser");
    ASSERT_FALSE(windowOf(browser.pid(), 60).id.empty()) << readText(world.root() + "/browser.err");

    // What sway tells of windows from now on, one event a line.
    const std::string events = world.root() + "/window-events";
    auto listener = Process::start({"/usr/bin/swaymsg", "-s", sway->swaySocket(), "-r", "-m", "-t",
                                    "subscribe", "[\"window\"]"},
                                   appEnvironment(), {{}, events, {}});
    ASSERT_NE(listener, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    session({"--close", "firefox-esr", "--minutes", "5"});
    const auto status = browser.wait(30);
    ASSERT_TRUE(status.has_value()) << "still running\nagent:\n" << world.agentLog();
    EXPECT_EQ(*status, 0) << "a clean exit: not ended by a signal";
    // Moved to the scratchpad (sway's way to hide) before it closed.
    bool hidden = false;
    std::istringstream lines(readText(events));
    for (std::string line; std::getline(lines, line);) {
        hidden = hidden ||
                 (line.find("\"move\"") != std::string::npos &&
                  (line.find("\"pid\": " + std::to_string(browser.pid())) != std::string::npos ||
                   line.find("\"pid\":" + std::to_string(browser.pid())) != std::string::npos));
    }
    EXPECT_TRUE(hidden) << "its window never went to the scratchpad:\n" << readText(events);
}

// Where sway's IPC does not answer, sway is one more wlroots compositor,
// whose toplevel list names no process: the window is the app's by its app
// id, and closed by the protocol's request.
// An X11 app whose class is its desktop file ID is listed there too, beside
// its window on XWayland's display: it is asked once, not once by each.
TEST_F(WaylandQuitTest, OnOtherWlrootsCompositorsAWindowIsTheAppsByItsAppId) {
    handOver(sway->runtimeDir() + "/gone.sock", sway->environment().at("DISPLAY"));
    Process& calculator = startApp("galculator", {"/usr/bin/galculator"}, "calculator");
    const std::string log = world.root() + "/x11-app.log";
    Process& x11App =
        startApp("debian-xterm",
                 {DESK_APP_PROGRAM, "--log", log, "--ask", "--class", "debian-xterm"}, "x11-app");
    ASSERT_FALSE(windowOf(calculator.pid()).id.empty());
    ASSERT_TRUE(waitUntil([&] { return readText(log).find("ready") != std::string::npos; }, 30));
    session({"--close", "galculator", "--close", "debian-xterm", "--minutes", "5"});
    EXPECT_EQ(calculator.wait(15), 0) << world.agentLog();
    // It answers with a dialog, which a second request would meet.
    EXPECT_TRUE(waitUntil([&] { return readText(log).find("dialog") != std::string::npos; }, 15))
        << world.agentLog();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // passes go on
    const std::string said = readText(log);
    std::size_t asked = 0;
    for (auto at = said.find("close "); at != std::string::npos; at = said.find("close ", at + 1))
        ++asked;
    EXPECT_EQ(asked, 1u) << said;
    EXPECT_TRUE(x11App.running());
}

// A compositor that stops answering mid-session holds up neither the agent
// nor the app: what nothing can ask any more is signalled, and the log says
// why once.
TEST_F(WaylandQuitTest, ACompositorThatStopsAnsweringLeavesSignalsAndOneLogLine) {
    // Native windows only: XWayland, stopped with sway, is the X11 display's
    // story.
    handOver(sway->swaySocket(), ":999");
    Process& calculator = startApp("galculator", {"/usr/bin/galculator"}, "calculator");
    ASSERT_FALSE(windowOf(calculator.pid()).id.empty());
    session({"--close", "org.example.other", "--minutes", "5"});
    sway->pause(true);
    session({"--close", "galculator", "--minutes", "5"});
    EXPECT_EQ(calculator.wait(20), 128 + SIGTERM) << world.agentLog();
    EXPECT_TRUE(world.waitForLog("Wayland windows", 15)) << world.agentLog();
    EXPECT_EQ(world.logCount("Wayland windows"), 1) << world.agentLog();
    sway->pause(false);
}

}  // namespace
}  // namespace vorsel::e2e
