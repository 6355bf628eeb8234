// Launch to quit on a Wayland compositor: galculator started natively,
// outside any unit, on a throwaway headless sway whose addresses the agent
// has (on the private bus of tests/e2e/support), timed from its start until
// it closed at the agent's request (its new window brings the pass at once,
// through sway's window events), against the same app's launch to its
// window being up, measured on the same sway in the same run. Prints
// figures; never fails on slowness.
//
//   wayland_bench [--launches 10]
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Linux/Windows/Wayland/SwayWindows.h"
#include "tests/e2e/support/E2eWorld.h"
#include "tests/support/HeadlessSway.h"

using namespace vorsel;
using namespace vorsel::e2e;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr const char* kCalculator = "/usr/bin/galculator";

double since(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

double median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times.empty() ? 0 : times[times.size() / 2];
}

struct Bench {
    E2eWorld world;
    testing::HeadlessSway sway;
    std::unique_ptr<linux_platform::DesktopWindows> ipc;

    Environment appEnvironment() const {
        Environment environment = world.environment();
        for (const auto& [name, value] : sway.environment()) environment[name] = value;
        environment["GDK_BACKEND"] = "wayland";
        environment["GSETTINGS_BACKEND"] = "memory";
        environment["NO_AT_BRIDGE"] = "1";
        environment["XDG_CONFIG_HOME"] = world.root() + "/config";
        environment["GIO_LAUNCHED_DESKTOP_FILE"] = "/usr/share/applications/galculator.desktop";
        return environment;
    }

    std::unique_ptr<Process> start() {
        // As a launcher starts it: the variables name the entry and the pid.
        return Process::start(
            {"/bin/sh", "-c",
             std::string("export GIO_LAUNCHED_DESKTOP_FILE_PID=$$; exec ") + kCalculator},
            appEnvironment());
    }

    // Launch to the window being listed by sway, then closed again.
    std::optional<double> windowUp() {
        const auto begun = SteadyClock::now();
        auto app = start();
        if (!app) return std::nullopt;
        while (since(begun) < 10) {
            pollfd ready{ipc->descriptor(), POLLIN, 0};
            ::poll(&ready, 1, 5);
            if (!ipc->appeared()) continue;
            for (const auto& window : ipc->windows()) {
                if (window.pid != app->pid()) continue;
                const double up = since(begun);
                ipc->close(window);
                app->wait(5);
                return up;
            }
        }
        return std::nullopt;
    }

    // Launch to its exit, closed at the agent's request.
    std::optional<double> quit(bool& clean) {
        const auto begun = SteadyClock::now();
        auto app = start();
        if (!app) return std::nullopt;
        std::optional<int> status;
        while (!(status = app->wait(0.002)) && since(begun) < 10) {
        }
        clean = status && *status == 0;
        return since(begun);
    }
};

}  // namespace

int main(int argc, char** argv) {
    int launches = 10;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--launches") launches = std::max(1, std::atoi(argv[i + 1]));
    if (::access(kCalculator, X_OK) != 0 || !testing::HeadlessSway::unavailable().empty()) {
        std::printf("== Launch on sway: sway, xwayland or galculator missing (scripts/setup.sh)\n");
        return 0;
    }
    Bench bench;
    if (!bench.world.ready() || !bench.sway.ready()) {
        std::printf("== Launch on sway: %s%s\n", bench.world.problem().c_str(),
                    bench.sway.problem().c_str());
        return 1;
    }
    bench.ipc = linux_platform::SwayWindows::open(bench.sway.swaySocket());
    if (!bench.ipc) {
        std::printf("== Launch on sway: its IPC does not answer\n");
        return 1;
    }
    std::printf(
        "== Launch of galculator, outside any unit, on a headless sway to its quit "
        "(%d launches each)\n",
        launches);
    std::vector<double> up;
    for (int i = 0; i < launches; ++i)
        if (auto time = bench.windowUp()) up.push_back(*time);

    // The compositor's addresses, as its session hands them to the bus.
    const std::string wayland = bench.sway.runtimeDir() + "/" + bench.sway.waylandDisplay();
    run({"/usr/bin/dbus-send", "--session", "--dest=org.freedesktop.DBus", "--type=method_call",
         "/org/freedesktop/DBus", "org.freedesktop.DBus.UpdateActivationEnvironment",
         "dict:string:string:WAYLAND_DISPLAY," + wayland + ",SWAYSOCK," + bench.sway.swaySocket()},
        bench.world.environment());
    const Outcome held =
        bench.world.standin({"session", "--close", "galculator", "--minutes", "30"});
    if (held.status != 0) {
        std::printf("hand-over failed: %s\n", held.err.c_str());
        return 1;
    }
    std::vector<double> quit, asked;
    int notClean = 0;
    for (int i = 0; i < launches; ++i) {
        bool clean = false;
        if (auto time = bench.quit(clean)) {
            quit.push_back(*time);
            if (clean) asked.push_back(*time);
        }
        notClean += !clean;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (quit.empty() || up.empty()) return 1;
    const double baseline = median(up), launchToQuit = median(asked.empty() ? quit : asked);
    // A launch that the agent saw before its window was up is signalled
    // instead: it has no quit action and, then, nothing else to ask.
    std::printf(
        "launch to quit: median %.3f s, worst %.3f s; closed at the request: median %.3f s over "
        "%zu; signalled before its window was up: %d\n",
        median(quit), *std::max_element(quit.begin(), quit.end()), launchToQuit, asked.size(),
        notClean);
    std::printf(
        "baseline, launch to its window up: median %.3f s; closed at the request %.2f times it, "
        "%.3f s after the window (target: under 0.1 s)\n",
        baseline, launchToQuit / baseline, launchToQuit - baseline);
    return 0;
}
