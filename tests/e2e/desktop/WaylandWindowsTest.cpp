// The windows of a real sway (headless) as the Wayland module sees them,
// through sway's IPC and through the foreign toplevel protocol: a native
// Wayland app is listed with its app id (and, by sway, its pid), hidden,
// and closed by a close request, ending by itself; a compositor that stops
// answering or crashes leaves a broken connection, never a stuck or
// crashed caller.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <memory>

#include "Platform/Linux/Windows/WindowsModules.h"
#include "tests/e2e/support/E2eProcess.h"
#include "tests/support/HeadlessSway.h"
#include "tests/support/SkipForWant.h"

namespace vorsel::e2e {
namespace {

using linux_platform::DesktopWindows;
using linux_platform::TopLevel;

constexpr const char* kCalculator = "/usr/bin/galculator";

class WaylandWindowsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto missing = testing::HeadlessSway::unavailable(); !missing.empty())
            VORSEL_SKIP_FOR_WANT_OF(missing);
        if (::access(kCalculator, X_OK) != 0)
            VORSEL_SKIP_FOR_WANT_OF("galculator is not installed (scripts/setup.sh installs it)");
        module = ::dlopen(WAYLAND_MODULE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << ::dlerror();
        open = reinterpret_cast<linux_platform::VorselWindowsOpen>(
            ::dlsym(module, linux_platform::kWindowsOpenEntry));
        ASSERT_NE(open, nullptr);
        sway = std::make_unique<testing::HeadlessSway>();
        ASSERT_TRUE(sway->ready()) << sway->problem();
    }

    void TearDown() override {
        apps.clear();
        sway.reset();
        if (module != nullptr) ::dlclose(module);
    }

    // The module's connection: through sway's IPC, or, without its socket
    // in the environment, the foreign toplevel protocol.
    std::unique_ptr<DesktopWindows> connect(bool ipc) {
        const std::string display = sway->runtimeDir() + "/" + sway->waylandDisplay();
        return openWith(display, ipc ? sway->swaySocket() : "");
    }

    std::unique_ptr<DesktopWindows> openWith(const std::string& display,
                                             const std::string& swaySocket) {
        if (swaySocket.empty())
            ::unsetenv("SWAYSOCK");
        else
            ::setenv("SWAYSOCK", swaySocket.c_str(), 1);
        return std::unique_ptr<DesktopWindows>(open(display.empty() ? nullptr : display.c_str()));
    }

    Process& startCalculator() {
        Environment environment = sway->environment();
        environment["HOME"] = home.path();
        environment["GDK_BACKEND"] = "wayland";
        environment["GSETTINGS_BACKEND"] = "memory";
        environment["NO_AT_BRIDGE"] = "1";
        apps.push_back(Process::start({kCalculator}, environment));
        EXPECT_NE(apps.back(), nullptr);
        return *apps.back();
    }

    // The listed window of the app `appId`, once there is one.
    static TopLevel windowOf(DesktopWindows& windows, const std::string& appId) {
        TopLevel found;
        waitUntil(
            [&] {
                for (const TopLevel& window : windows.windows())
                    if (window.windowClass == appId && !window.dialog) found = window;
                return !found.id.empty();
            },
            20, 0.1);
        return found;
    }

    // Whether the connection tells of a new window within `timeout` seconds.
    static bool tellsOfANewWindow(DesktopWindows& windows, double timeout) {
        return waitUntil(
            [&] {
                pollfd ready{windows.descriptor(), POLLIN, 0};
                return ::poll(&ready, 1, 100) > 0 && windows.appeared();
            },
            timeout, 0);
    }

    void* module = nullptr;
    linux_platform::VorselWindowsOpen open = nullptr;
    std::unique_ptr<testing::HeadlessSway> sway;
    TempFolder home;
    std::vector<std::unique_ptr<Process>> apps;
};

TEST_F(WaylandWindowsTest, ANativeWindowIsListedHiddenAndClosedByARequest) {
    auto ipc = connect(true);
    auto protocol = connect(false);
    ASSERT_NE(ipc, nullptr);
    ASSERT_NE(protocol, nullptr);
    EXPECT_EQ(ipc->name(), "sway");
    EXPECT_EQ(protocol->name(), "wlroots");
    EXPECT_FALSE(ipc->appeared());
    EXPECT_FALSE(protocol->appeared());

    Process& first = startCalculator();
    EXPECT_TRUE(tellsOfANewWindow(*ipc, 20));
    EXPECT_TRUE(tellsOfANewWindow(*protocol, 20));
    // sway names the process; the protocol only the app id.
    const TopLevel bySway = windowOf(*ipc, "galculator");
    ASSERT_FALSE(bySway.id.empty());
    EXPECT_EQ(bySway.pid, first.pid());
    const TopLevel byProtocol = windowOf(*protocol, "galculator");
    ASSERT_FALSE(byProtocol.id.empty());
    EXPECT_EQ(byProtocol.pid, 0);

    // Hidden where sway keeps what a user put away; still running.
    EXPECT_TRUE(ipc->minimise(bySway));
    EXPECT_TRUE(waitUntil([&] { return windowOf(*ipc, "galculator").minimised; }, 10));
    EXPECT_TRUE(first.running());

    // Closed as its own close button would: it ends by itself.
    EXPECT_TRUE(protocol->close(byProtocol));
    EXPECT_EQ(first.wait(20), 0);
    Process& second = startCalculator();
    const TopLevel again = windowOf(*ipc, "galculator");
    ASSERT_EQ(again.pid, second.pid());
    EXPECT_TRUE(ipc->close(again));
    EXPECT_EQ(second.wait(20), 0);
    EXPECT_FALSE(ipc->broken());
    EXPECT_FALSE(protocol->broken());
    // A window that is gone is listed no more, and cannot be asked.
    EXPECT_TRUE(protocol->windows().empty());
    EXPECT_FALSE(protocol->close(byProtocol));
}

// The desktop entry is installed as "vorsel.desktop": a dock shows the
// entry's icon for the window whose app id is its name.
TEST_F(WaylandWindowsTest, OurWindowOpensNativelyUnderItsDesktopEntrysName) {
    auto ipc = connect(true);
    ASSERT_NE(ipc, nullptr);
    Environment environment = sway->environment();
    environment["HOME"] = home.path();
    environment["XDG_SESSION_TYPE"] = "wayland";
    apps.push_back(Process::start({VORSEL_PROGRAM}, environment));
    ASSERT_NE(apps.back(), nullptr);
    // sway's IPC lists native Wayland windows only.
    const TopLevel window = windowOf(*ipc, "vorsel");
    ASSERT_FALSE(window.id.empty());
    EXPECT_EQ(window.pid, apps.back()->pid());
}

TEST_F(WaylandWindowsTest, ACompositorThatStopsAnsweringOrCrashesLeavesABrokenConnection) {
    // Nothing answers: no connection either way.
    EXPECT_EQ(openWith("", ""), nullptr);
    EXPECT_EQ(openWith(sway->runtimeDir() + "/none", "/nonexistent/sock"), nullptr);

    auto ipc = connect(true);
    auto protocol = connect(false);
    ASSERT_NE(ipc, nullptr);
    ASSERT_NE(protocol, nullptr);
    startCalculator();
    ASSERT_FALSE(windowOf(*ipc, "galculator").id.empty());

    sway->pause(true);
    EXPECT_TRUE(ipc->windows().empty());
    EXPECT_TRUE(protocol->windows().empty());
    EXPECT_TRUE(ipc->broken());
    EXPECT_TRUE(protocol->broken());
    TopLevel any;
    any.id = "1";
    EXPECT_FALSE(ipc->close(any));
    EXPECT_EQ(protocol->descriptor(), -1);
    sway->pause(false);

    // Connections made before a crash find it broken on their next call.
    auto before = connect(true);
    auto beforeProtocol = connect(false);
    ASSERT_NE(before, nullptr);
    ASSERT_NE(beforeProtocol, nullptr);
    sway->crash();
    EXPECT_TRUE(before->windows().empty());
    EXPECT_TRUE(beforeProtocol->windows().empty());
    EXPECT_TRUE(before->broken());
    EXPECT_TRUE(beforeProtocol->broken());
    EXPECT_FALSE(beforeProtocol->appeared());
    EXPECT_EQ(connect(true), nullptr);
}

}  // namespace
}  // namespace vorsel::e2e
