// The built agent closing real Debian desktop apps on a throwaway X11
// desktop (Xvfb and openbox): editors that ask about text typed and not
// saved are paused, never signalled, and have it when the session lets them
// go (also across a killed agent), a browser closes cleanly with its session written and
// is never killed, an app that ignores every request is still killed after
// 3 s, and an app with neither a window nor a quit action gets SIGTERM at
// once. The agent finds the display as a desktop hands it over: through the
// bus's activation environment.
//
// Given "--shots DIR", the dialogs the apps answer with are kept there as
// pictures (ImageMagick's import on the test's display).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <thread>

#include "Platform/Linux/Windows/X11Windows.h"
#include "Platform/Linux/Workspace/ProcFs.h"
#include "TestApps.h"
#include "tests/e2e/support/BrowserProfile.h"
#include "tests/e2e/support/E2eWorld.h"
#include "tests/support/SkipForWant.h"
#include "tests/support/VirtualDesktop.h"

namespace fs = std::filesystem;

namespace vorsel::e2e {
namespace {

using linux_platform::TopLevel;
using linux_platform::X11Windows;
using SteadyClock = std::chrono::steady_clock;

std::string shots;  // --shots DIR

constexpr int kByTerm = 128 + SIGTERM;
constexpr int kByKill = 128 + SIGKILL;

double since(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The JSON inside a session file of the browser: "mozLz40\0", the size, then
// one LZ4 block.
std::string unpackSession(const std::string& packed) {
    if (packed.size() < 12 || packed.compare(0, 8, std::string("mozLz40\0", 8)) != 0) return {};
    const auto* in = reinterpret_cast<const unsigned char*>(packed.data()) + 12;
    const unsigned char* end =
        reinterpret_cast<const unsigned char*>(packed.data()) + packed.size();
    std::string out;
    auto length = [&](std::size_t value) {
        if (value != 15) return value;
        for (unsigned char more = 255; more == 255 && in < end; value += more) more = *in++;
        return value;
    };
    while (in < end) {
        const unsigned char token = *in++;
        const std::size_t literals = length(token >> 4);
        if (literals > static_cast<std::size_t>(end - in)) return {};
        out.append(reinterpret_cast<const char*>(in), literals);
        in += literals;
        if (end - in < 2) break;
        const std::size_t offset = in[0] | (in[1] << 8);
        in += 2;
        const std::size_t match = length(token & 15) + 4;
        if (offset == 0 || offset > out.size()) return {};
        for (std::size_t i = 0; i < match; ++i) out.push_back(out[out.size() - offset]);
    }
    return out;
}

class DesktopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto missing = testing::VirtualDesktop::unavailable(); !missing.empty())
            VORSEL_SKIP_FOR_WANT_OF(missing);
        if (auto missing = testing::missingProgram(
                {"/usr/bin/gnome-text-editor", "/usr/bin/mousepad", "/usr/bin/xterm",
                 "/usr/lib/firefox-esr/firefox-esr", "/usr/bin/xdotool"});
            !missing.empty())
            VORSEL_SKIP_FOR_WANT_OF(missing);
        ASSERT_TRUE(world.ready()) << world.problem();
        desktop = std::make_unique<testing::VirtualDesktop>();
        ASSERT_TRUE(desktop->ready()) << desktop->problem();
        display = X11Windows::open(desktop->display());
        ASSERT_NE(display, nullptr);
        ASSERT_TRUE(waitUntil([&] { return display->managed(); }, 10));
        home = world.root() + "/home";
        // What a desktop does when its session starts: the bus starts the
        // agent with the display in its environment.
        const Outcome updated =
            run({"/usr/bin/dbus-send", "--session", "--dest=org.freedesktop.DBus",
                 "--type=method_call", "--print-reply", "/org/freedesktop/DBus",
                 "org.freedesktop.DBus.UpdateActivationEnvironment",
                 "dict:string:string:DISPLAY," + desktop->display()},
                world.environment());
        ASSERT_EQ(updated.status, 0) << updated.err;
    }

    Environment appEnvironment() const {
        Environment environment = world.environment();
        environment["DISPLAY"] = desktop->display();
        environment["XDG_CONFIG_HOME"] = home + "/.config";
        environment["XDG_CACHE_HOME"] = home + "/.cache";
        environment["XDG_STATE_HOME"] = home + "/.local/state";
        // No settings daemon runs on the private bus: settings go to a file.
        environment["GSETTINGS_BACKEND"] = "keyfile";
        environment["NO_AT_BRIDGE"] = "1";
        environment["GTK_A11Y"] = "none";
        return environment;
    }

    // Starts `argv` as a desktop's launcher starts the app of the installed
    // entry `entry`: with the variables that name the entry and the pid.
    std::unique_ptr<Process> startApp(const std::string& entry,
                                      const std::vector<std::string>& argv,
                                      const std::string& name) {
        Environment environment = appEnvironment();
        environment["GIO_LAUNCHED_DESKTOP_FILE"] = "/usr/share/applications/" + entry + ".desktop";
        std::string command = "export GIO_LAUNCHED_DESKTOP_FILE_PID=$$; exec";
        for (const std::string& arg : argv) command += " '" + arg + "'";
        auto process = Process::start(
            {"/bin/sh", "-c", command}, environment,
            {{}, world.root() + "/" + name + ".out", world.root() + "/" + name + ".err"});
        EXPECT_NE(process, nullptr) << argv[0];
        if (!process) return process;
        // The shell execs the app under the same pid, as a launcher would.
        EXPECT_TRUE(waitUntil([&] { return executableOf(process->pid()) == argv[0]; }, 10));
        return process;
    }

    // The first window that `pid` (or a child of it) shows, once it is managed.
    TopLevel windowOf(pid_t pid, double timeout = 30) {
        TopLevel found;
        waitUntil(
            [&] {
                for (const TopLevel& window : display->windows()) {
                    auto stat = linux_platform::readStat(window.pid);
                    if (window.pid == pid || (stat && stat->ppid == pid)) {
                        found = window;
                        return !window.dialog;
                    }
                }
                return false;
            },
            timeout, 0.1);
        return found;
    }

    std::string title(const TopLevel& window) const {
        return tool({"/usr/bin/xdotool", "getwindowname", window.id}).out;
    }

    void type(const TopLevel& window, const std::string& text) const {
        tool({"/usr/bin/xdotool", "windowactivate", "--sync", window.id});
        tool({"/usr/bin/xdotool", "type", "--delay", "15", text});
    }

    Outcome tool(const std::vector<std::string>& argv) const {
        Environment environment = world.environment();
        environment["DISPLAY"] = desktop->display();
        return run(argv, environment, 30);
    }

    // Keeps the screen as docs/images shows it, when asked to.
    void shoot(const std::string& name) const {
        if (shots.empty()) return;
        // Windows just mapped are drawn a moment later.
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        tool({"/usr/bin/import", "-window", "root", shots + "/" + name + ".png"});
    }

    static bool stopped(pid_t pid) {
        const auto stat = linux_platform::readStat(pid);
        return stat && (stat->state == 'T' || stat->state == 't');
    }

    // Whether a terminating signal waits for `pid` (one sent to a stopped
    // process is held until it runs again).
    static bool signalPending(pid_t pid) {
        const std::string status = readText("/proc/" + std::to_string(pid) + "/status");
        for (const char* field : {"SigPnd:", "ShdPnd:"}) {
            const auto at = status.find(field);
            if (at == std::string::npos) continue;
            const unsigned long long mask = std::stoull(status.substr(at + 7), nullptr, 16);
            if (mask & ((1ull << (SIGTERM - 1)) | (1ull << (SIGKILL - 1)))) return true;
        }
        return false;
    }

    // Whether the display shows a dialog of `pid`'s.
    bool showsDialog(pid_t pid) const {
        for (const TopLevel& window : display->windows())
            if (window.pid == pid && window.dialog) return true;
        return false;
    }

    void session(const std::vector<std::string>& options) {
        std::vector<std::string> args{"session"};
        args.insert(args.end(), options.begin(), options.end());
        const Outcome outcome = world.standin(args);
        ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err << "\nagent:\n"
                                     << world.agentLog();
    }

    E2eWorld world;
    std::unique_ptr<testing::VirtualDesktop> desktop;
    std::unique_ptr<X11Windows> display;
    std::string home;
};

TEST_F(DesktopTest, EditorsThatAskAboutTypedTextArePausedAndHaveItWhenTheSessionLetsThemGo) {
    auto editor = startApp("org.gnome.TextEditor", {"/usr/bin/gnome-text-editor"}, "editor");
    auto mousepad = startApp("org.xfce.mousepad", {"/usr/bin/mousepad"}, "mousepad");
    const TopLevel editorWindow = windowOf(editor->pid());
    const TopLevel mousepadWindow = windowOf(mousepad->pid());
    ASSERT_NE(editorWindow.id, "") << readText(world.root() + "/editor.err");
    ASSERT_NE(mousepadWindow.id, "") << readText(world.root() + "/mousepad.err");
    // Side by side, so that a picture shows both dialogs.
    tool({"/usr/bin/xdotool", "windowmove", editorWindow.id, "0", "0"});
    tool({"/usr/bin/xdotool", "windowmove", mousepadWindow.id, "640", "260"});
    type(editorWindow, "words for the editor");
    type(mousepadWindow, "words for mousepad");
    EXPECT_TRUE(waitUntil(
        [&] { return occurrences(title(editorWindow), "words for the editor") > 0; }, 10));
    EXPECT_TRUE(waitUntil([&] { return title(mousepadWindow).rfind('*', 0) == 0; }, 10));
    std::this_thread::sleep_for(std::chrono::seconds(1));

    session({"--close", "org.gnome.TextEditor", "--close", "org.xfce.mousepad", "--minutes", "5"});
    // Both ask whether to save: that is the quit action they were sent.
    if (waitUntil([&] { return showsDialog(editor->pid()) && showsDialog(mousepad->pid()); }, 3))
        shoot("quit-editors-ask");
    const std::vector<pid_t> editors{editor->pid(), mousepad->pid()};
    ASSERT_TRUE(waitUntil([&] { return stopped(editors[0]) && stopped(editors[1]); }, 15))
        << world.agentLog();
    for (pid_t pid : editors) {
        for (const TopLevel& window : display->windows())
            if (window.pid == pid) {
                EXPECT_TRUE(window.minimised) << "a window of " << pid;
            }
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));  // passes go on, and would force
    for (pid_t pid : editors) {
        EXPECT_TRUE(stopped(pid));
        EXPECT_FALSE(signalPending(pid)) << pid << " was signalled while paused";
    }
    EXPECT_EQ(world.logCount("paused org.gnome.TextEditor"), 1) << world.agentLog();
    EXPECT_EQ(world.logCount("paused org.xfce.mousepad"), 1);

    // A session that closes something else lets them go, text and all.
    session({"--close", "org.example.other", "--minutes", "5"});
    EXPECT_TRUE(waitUntil([&] { return !stopped(editors[0]) && !stopped(editors[1]); }, 10));
    EXPECT_TRUE(world.waitForLog("thawed org.gnome.TextEditor", 5));
    EXPECT_TRUE(world.waitForLog("thawed org.xfce.mousepad", 5));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(editor->wait(0).has_value()) << "the editor ended";
    EXPECT_FALSE(mousepad->wait(0).has_value()) << "mousepad ended";
    EXPECT_GT(occurrences(title(editorWindow), "words for the editor"), 0) << title(editorWindow);
    EXPECT_EQ(title(mousepadWindow).rfind('*', 0), 0u) << title(mousepadWindow);
    EXPECT_TRUE(showsDialog(mousepad->pid())) << "its question still stands";
}

// The agent killed while an editor is paused: the next agent lets it go,
// unless it restores a Hardcore session that still closes it.
TEST_F(DesktopTest, AnAgentKilledWhileAnAppIsPausedLeavesItPausedOnlyUntilTheNextStart) {
    auto mousepad = startApp("org.xfce.mousepad", {"/usr/bin/mousepad"}, "mousepad");
    const TopLevel window = windowOf(mousepad->pid());
    ASSERT_NE(window.id, "") << readText(world.root() + "/mousepad.err");
    type(window, "words for mousepad");
    EXPECT_TRUE(waitUntil([&] { return title(window).rfind('*', 0) == 0; }, 10));
    const pid_t pid = mousepad->pid();
    auto killAgents = [&] {
        for (pid_t agent : world.agentPids()) ::kill(agent, SIGKILL);
        return waitUntil(
            [&] {
                for (pid_t agent : world.agentPids()) {
                    const auto stat = linux_platform::readStat(agent);
                    if (stat && !stat->isZombie()) return false;
                }
                return true;
            },
            10);
    };

    session({"--close", "org.xfce.mousepad", "--minutes", "5", "--hardcore"});
    ASSERT_TRUE(waitUntil([&] { return stopped(pid); }, 15)) << world.agentLog();
    ASSERT_TRUE(killAgents());
    const Outcome held = world.standin({"held"});
    ASSERT_EQ(held.status, 0) << held.err;
    ASSERT_TRUE(world.waitForLog("listening as", 10, 2));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_TRUE(stopped(pid)) << "the restored session still closes it";
    EXPECT_EQ(world.logCount("thawed org.xfce.mousepad"), 0);

    // Killed again, and the Hardcore session is gone meanwhile.
    ASSERT_TRUE(killAgents());
    fs::remove(world.memoryFile());
    const Outcome again = world.standin({"held"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(waitUntil([&] { return !stopped(pid); }, 10)) << world.agentLog();
    EXPECT_TRUE(world.waitForLog("thawed org.xfce.mousepad", 5));
    EXPECT_FALSE(signalPending(pid));
    EXPECT_FALSE(mousepad->wait(1).has_value()) << "mousepad ended";
    EXPECT_EQ(title(window).rfind('*', 0), 0u) << title(window);
}

TEST_F(DesktopTest, ABrowserIsAskedClosesCleanlyAndKeepsWhatWasTyped) {
    const std::string profile = quietBrowserProfile(home + "/browser-profile");
    const std::string page = world.root() + "/form.html";
    writeText(page, "<!doctype html><title>Form</title><textarea id=t autofocus></textarea>\n");
    auto browser = startApp(
        "firefox-esr",
        {"/usr/lib/firefox-esr/firefox-esr", "--no-remote", "--profile", profile, "file://" + page},
        "browser");
    const TopLevel window = windowOf(browser->pid(), 60);
    ASSERT_NE(window.id, "") << readText(world.root() + "/browser.err");
    ASSERT_TRUE(waitUntil([&] { return occurrences(title(window), "Form") > 0; }, 30));
    type(window, "words for the form");
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the page takes them in

    const auto handedOver = SteadyClock::now();
    session({"--close", "firefox-esr", "--minutes", "5"});
    const auto status = browser->wait(30);
    std::printf("browser ended %.1f s after the hand-over\nagent:\n%s", since(handedOver),
                world.agentLog().c_str());
    ASSERT_TRUE(status.has_value()) << "still running";
    EXPECT_EQ(*status, 0) << "a clean exit: not ended by a signal";
    const std::string saved = unpackSession(readText(profile + "/sessionstore.jsonlz4"));
    EXPECT_EQ(occurrences(saved, "words for the form"), 1) << "the session it wrote on closing";
}

TEST_F(DesktopTest, StubbornAppsAreKilledAfterThreeSecondsAndWindowlessOnesSignalledFirst) {
    const std::string apps = world.root() + "/apps";
    fs::create_directories(apps);
    const std::string log = world.root() + "/stubborn.log";
    auto stubborn =
        Process::start({testing::bundleProgram(testing::makeBundle(
                            apps, {"Stubborn", "test.desk.Stubborn"}, DESK_APP_PROGRAM)),
                        "--log", log, "--bus", "test.desk.Stubborn", "--ignore-quit",
                        "--ignore-close", "--ignore-term"},
                       appEnvironment());
    const std::string termLog = world.root() + "/windowless.log";
    Environment windowless = appEnvironment();
    windowless["WAITER_TERM_LOG"] = termLog;
    auto background = Process::start({testing::bundleProgram(testing::makeBundle(
                                         apps, {"Windowless", "test.windowless"}, WAITER_PROGRAM))},
                                     windowless);
    auto terminal = startApp("debian-xterm", {"/usr/bin/xterm"}, "xterm");
    ASSERT_NE(windowOf(stubborn->pid()).id, "");
    ASSERT_NE(windowOf(terminal->pid()).id, "");
    ASSERT_TRUE(waitUntil([&] { return occurrences(readText(log), "ready") == 1; }, 10));

    const auto handedOver = SteadyClock::now();
    session({"--close", "test.desk.Stubborn", "--close", "test.windowless", "--close",
             "debian-xterm", "--minutes", "5"});
    const double replied = since(handedOver);
    EXPECT_EQ(background->wait(10), kByTerm);
    const double windowlessEnded = since(handedOver);
    EXPECT_EQ(stubborn->wait(15), kByKill);
    const double killed = since(handedOver);
    const auto terminalStatus = terminal->wait(10);
    std::printf("reply %.2f s, windowless ended %.2f s, stubborn killed %.2f s; it logged:\n%s",
                replied, windowlessEnded, killed, readText(log).c_str());
    // Nothing to ask: SIGTERM once it still shows no window to ask 1.5 s
    // after its request (a launching app's first window would be asked),
    // well before the stubborn one's kill.
    EXPECT_LT(windowlessEnded, killed);
    EXPECT_GE(killed, 3.0) << "killed before 3 s had passed";
    // Asked by its quit action first, SIGTERM on a later pass, then killed.
    const std::string asked = readText(log);
    ASSERT_NE(asked.find("quit"), std::string::npos);
    ASSERT_NE(asked.find("term"), std::string::npos);
    EXPECT_LT(asked.find("quit"), asked.find("term"));
    // The terminal closed its own window and ended by itself.
    ASSERT_TRUE(terminalStatus.has_value());
    EXPECT_LT(*terminalStatus, 128) << "ended by a signal";
}

}  // namespace
}  // namespace vorsel::e2e

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--shots") vorsel::e2e::shots = argv[i + 1];
    return RUN_ALL_TESTS();
}
