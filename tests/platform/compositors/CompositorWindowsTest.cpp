// The agent's windows modules against real headless compositors: GNOME
// Shell with the extension Vorsel installs, KWin with the scripts Vorsel
// loads. Each lists a native Wayland app and an X11 app (through XWayland)
// with their pids, tells when a window appears, minimises one and closes
// them both as their close buttons would. And the faults the agent falls
// back from: an extension not enabled, a script KWin refuses, a compositor
// that crashes.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "Platform/Linux/Windows/GnomeShellWindows.h"
#include "Platform/Linux/Windows/KWinWindows.h"
#include "tests/support/HeadlessCompositor.h"
#include "tests/support/SkipForWant.h"

extern char** environ;

namespace vorsel::linux_platform {
namespace {

using testing::HeadlessCompositor;

constexpr const char* kUuid = "vorsel-windows@ordwyn.com";

bool waitUntil(const std::function<bool()>& done, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// Installs the extension for the user, made as the install makes it.
void installExtension() {
    ASSERT_EQ(HeadlessCompositor::installExtension(EXTENSION_SOURCE), kUuid);
}

// An app on the compositor, ended by pid when it goes.
class App {
  public:
    App(const HeadlessCompositor& desktop, std::vector<std::string> argv) {
        std::vector<std::string> env;
        auto extra = desktop.environment();
        extra["GDK_BACKEND"] = "wayland,x11";
        extra["NO_AT_BRIDGE"] = "1";
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (!extra.count(text.substr(0, text.find('=')))) env.push_back(text);
        }
        for (const auto& [name, value] : extra) env.push_back(name + "=" + value);
        std::vector<char*> args, envp;
        for (auto& arg : argv) args.push_back(arg.data());
        args.push_back(nullptr);
        for (auto& entry : env) envp.push_back(entry.data());
        envp.push_back(nullptr);
        if (::posix_spawn(&processId, args[0], nullptr, nullptr, args.data(), envp.data()) != 0)
            processId = -1;
    }
    ~App() {
        if (processId > 0 && !ended()) {
            ::kill(processId, SIGKILL);
            ::waitpid(processId, nullptr, 0);
        }
    }
    pid_t pid() const { return processId; }
    bool ended() {
        if (processId <= 0 || isDone) return true;
        isDone = ::waitpid(processId, nullptr, WNOHANG) == processId;
        return isDone;
    }

  private:
    pid_t processId = -1;
    bool isDone = false;
};

bool readable(int descriptor, double seconds) {
    pollfd ready{descriptor, POLLIN, 0};
    return ::poll(&ready, 1, static_cast<int>(seconds * 1000)) > 0;
}

// The window of `pid` that `windows` lists, once it does.
TopLevel windowOf(DesktopWindows& windows, pid_t pid) {
    TopLevel found;
    waitUntil(
        [&] {
            for (const TopLevel& window : windows.windows())
                if (window.pid == pid) found = window;
            return !found.id.empty();
        },
        60);
    return found;
}

// What every compositor's windows must do: the story both tests share.
void listsMinimisesAndCloses(DesktopWindows& windows, const HeadlessCompositor& desktop) {
    windows.appeared();
    App editor(desktop, {"/usr/bin/gnome-text-editor", "--standalone"});
    App terminal(desktop, {"/usr/bin/xterm"});
    const TopLevel editorWindow = windowOf(windows, editor.pid());
    const TopLevel terminalWindow = windowOf(windows, terminal.pid());
    ASSERT_FALSE(editorWindow.id.empty()) << desktop.log();
    ASSERT_FALSE(terminalWindow.id.empty()) << desktop.log();
    EXPECT_EQ(editorWindow.windowClass, "org.gnome.TextEditor");
    EXPECT_FALSE(editorWindow.dialog);
    // Both windows were told as they came.
    EXPECT_TRUE(readable(windows.descriptor(), 5));
    EXPECT_TRUE(windows.appeared());
    EXPECT_FALSE(windows.appeared()) << "told once";

    ASSERT_TRUE(windows.minimise(editorWindow));
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const TopLevel& window : windows.windows())
                if (window.id == editorWindow.id) return window.minimised;
            return false;
        },
        10));

    // An editor with nothing typed and a terminal close without a question.
    ASSERT_TRUE(windows.close(terminalWindow));
    ASSERT_TRUE(windows.close(editorWindow));
    EXPECT_TRUE(waitUntil([&] { return terminal.ended() && editor.ended(); }, 20));
    EXPECT_FALSE(windows.broken());
    EXPECT_FALSE(windows.close(terminalWindow)) << "a window that has gone";
}

// A compositor that crashes mid-session: the connection says so at once,
// wakes whoever waits on it, and every call then returns without waiting.
void compositorCrashes(DesktopWindows& windows, pid_t compositor) {
    windows.appeared();
    ::kill(compositor, SIGKILL);
    EXPECT_TRUE(readable(windows.descriptor(), 10));
    windows.appeared();
    EXPECT_TRUE(windows.broken());
    EXPECT_TRUE(windows.windows().empty());
    TopLevel gone;
    gone.id = "1";
    EXPECT_FALSE(windows.close(gone));
}

TEST(GnomeShellWindowsTest, TheExtensionListsMinimisesAndClosesTheShellsWindows) {
    if (auto missing = HeadlessCompositor::unavailable(HeadlessCompositor::Kind::gnomeShell);
        !missing.empty())
        VORSEL_SKIP_FOR_WANT_OF(missing);
    installExtension();
    HeadlessCompositor shell(HeadlessCompositor::Kind::gnomeShell, {kUuid});
    ASSERT_TRUE(shell.ready()) << shell.problem();
    std::unique_ptr<GnomeShellWindows> windows;
    std::string why;
    // The shell loads its extensions a moment after it takes its name.
    waitUntil([&] { return (windows = GnomeShellWindows::open({}, &why)) != nullptr; }, 30);
    ASSERT_NE(windows, nullptr) << why << "\n" << shell.log();
    listsMinimisesAndCloses(*windows, shell);
    compositorCrashes(*windows, shell.pid());
}

TEST(GnomeShellWindowsTest, AShellWithoutTheExtensionEnabledSaysSo) {
    if (auto missing = HeadlessCompositor::unavailable(HeadlessCompositor::Kind::gnomeShell);
        !missing.empty())
        VORSEL_SKIP_FOR_WANT_OF(missing);
    installExtension();
    std::string why;
    EXPECT_EQ(GnomeShellWindows::open({}, &why), nullptr);
    EXPECT_EQ(why, "GNOME Shell does not run");
    HeadlessCompositor shell(HeadlessCompositor::Kind::gnomeShell, {});
    ASSERT_TRUE(shell.ready()) << shell.problem();
    EXPECT_EQ(GnomeShellWindows::open({}, &why), nullptr);
    EXPECT_EQ(why, "the Vorsel windows extension of GNOME Shell is not enabled");
}

TEST(KWinWindowsTest, TheScriptsListMinimiseAndCloseKWinsWindows) {
    if (auto missing = HeadlessCompositor::unavailable(HeadlessCompositor::Kind::kwin);
        !missing.empty())
        VORSEL_SKIP_FOR_WANT_OF(missing);
    std::string why;
    EXPECT_EQ(KWinWindows::open({}, {}, &why), nullptr);
    EXPECT_EQ(why, "KWin does not run");
    HeadlessCompositor kwin(HeadlessCompositor::Kind::kwin);
    ASSERT_TRUE(kwin.ready()) << kwin.problem();
    auto windows = KWinWindows::open({}, {}, &why);
    ASSERT_NE(windows, nullptr) << why << "\n" << kwin.log();
    // KWin refuses a second script of the same name: the one loaded serves.
    EXPECT_EQ(KWinWindows::open({}, {}, &why), nullptr);
    EXPECT_EQ(why, "KWin refused the Vorsel windows script");
    listsMinimisesAndCloses(*windows, kwin);
    compositorCrashes(*windows, kwin.pid());
}

}  // namespace
}  // namespace vorsel::linux_platform
