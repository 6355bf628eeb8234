// The built bundles in a real user session (scripts/with-user-session.sh): a
// systemd user manager with the session bus it starts, and a journal. What
// the manager and the journal say is what is checked: the unit that turning
// on writes and the agent running as it, the journal's fields, apps in the
// units desktops launch them in, the kept app's own scope, the idle exit as
// the manager sees it, and turning off.
//
// The test process itself never connects to the session bus: turning on and
// off run in a child (this binary with --turn-on / --turn-off), so that a
// first client can start the bus afresh, and everything else is asked
// through systemctl, busctl and journalctl, as a user would.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "Platform/Linux/Install/LinuxLoginItems.h"
#include "Platform/Linux/Runtime/LinuxFiles.h"
#include "Platform/Linux/Workspace/NoticeHub.h"
#include "tests/e2e/support/E2eWorld.h"

namespace fs = std::filesystem;
using namespace vorsel;
using namespace vorsel::e2e;

namespace {

const std::string kUnit = "com.ordwyn.guard.agent.service";
const std::string kOwnExecutable = fs::read_symlink("/proc/self/exe").string();

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// Seconds since 2001-01-01 UTC, as rules carry their ends.
double now2001() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - 978307200.0;
}

class Session : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("VORSEL_USER_SESSION"))
            GTEST_SKIP() << "not in a user session: run through scripts/with-user-session.sh";
        ASSERT_TRUE(world.ready()) << world.problem();
    }

    Outcome tool(const std::string& program, const std::vector<std::string>& args,
                 double timeout = 30) const {
        std::vector<std::string> argv{"/usr/bin/" + program};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, world.environment(), timeout);
    }
    Outcome systemctl(const std::vector<std::string>& args) const {
        std::vector<std::string> all{"--user"};
        all.insert(all.end(), args.begin(), args.end());
        return tool("systemctl", all);
    }
    std::string property(const std::string& unit, const std::string& name) const {
        return trimmed(systemctl({"show", "-p", name, "--value", unit}).out);
    }
    pid_t mainPid() const { return std::atoi(property(kUnit, "MainPID").c_str()); }

    // Turning on or off as the window does, in a child of its own.
    Outcome turn(const std::string& how) const {
        return run({kOwnExecutable, how, world.vorsel()}, world.environment(), 90);
    }

    std::string serviceFile() const {
        return world.dataHome() + "/dbus-1/services/" + world.busName() + ".service";
    }
    std::string unitFile() const { return world.dataHome() + "/systemd/user/" + kUnit; }

    // A shown desktop entry for `id` whose program is a copy of sleep(1)
    // inside the world; returns the program.
    std::string installApp(const std::string& id) const {
        std::error_code ec;
        fs::create_directories(world.root() + "/bin", ec);
        fs::create_directories(world.dataHome() + "/applications", ec);
        const std::string program = world.root() + "/bin/" + id;
        fs::copy_file("/usr/bin/sleep", program, fs::copy_options::overwrite_existing, ec);
        writeText(
            world.dataHome() + "/applications/" + id + ".desktop",
            "[Desktop Entry]\nType=Application\nName=" + id + "\nExec=" + program + " 1000\n");
        return program;
    }

    // Moves the running `pid` into a new scope `unit`, as desktop shells do
    // right after they started an app.
    bool moveIntoScope(pid_t pid, const std::string& unit) const {
        return tool("busctl",
                    {"--user", "call", "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                     "org.freedesktop.systemd1.Manager", "StartTransientUnit", "ssa(sv)a(sa(sv))",
                     unit, "fail", "1", "PIDs", "au", "1", std::to_string(pid), "0"})
                   .status == 0;
    }

    // The journal's entries from the agent, as JSON objects.
    std::vector<nlohmann::json> journal() const {
        std::vector<nlohmann::json> entries;
        std::istringstream lines(
            tool("journalctl", {"-t", world.own(), "-o", "json", "--no-pager"}).out);
        std::string line;
        while (std::getline(lines, line)) {
            auto entry = nlohmann::json::parse(line, nullptr, false);
            if (entry.is_object()) entries.push_back(entry);
        }
        return entries;
    }

    E2eWorld world{E2eWorld::Options{.activation = false, .userSession = true}};
};

std::string field(const nlohmann::json& entry, const char* name) {
    return entry.contains(name) && entry[name].is_string() ? entry[name].get<std::string>() : "";
}

std::string cgroupOf(pid_t pid) {
    const std::string text = readText("/proc/" + std::to_string(pid) + "/cgroup");
    const auto at = text.find("0::");
    return at == std::string::npos ? ""
                                   : trimmed(text.substr(at + 3, text.find('\n', at) - at - 3));
}

// The pids running `executable` now.
std::set<pid_t> running(const std::string& executable) {
    std::set<pid_t> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::atoi(name.c_str());
        if (executableOf(pid) == executable && !processGone(pid)) pids.insert(pid);
    }
    return pids;
}

TEST_F(Session, TurningOnFromTheBusesFirstClientStillWritesTheUnit) {
    // With the bus stopped, the window's own connection starts it again, and
    // the manager registers there only after that: it must be found anyway.
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(systemctl({"stop", "dbus.service"}).status, 0);
        const Outcome on = turn("--turn-on");
        ASSERT_EQ(on.status, 0) << on.out << on.err;
        EXPECT_NE(readText(serviceFile()).find("\nSystemdService=" + kUnit + "\n"),
                  std::string::npos)
            << "round " << round << ":\n"
            << readText(serviceFile());
        EXPECT_TRUE(fs::exists(unitFile())) << "round " << round;
    }
    EXPECT_EQ(property(kUnit, "LoadState"), "loaded");

    // A registration written without the unit (as before this was fixed)
    // reads as off, and turning on again writes it whole.
    ASSERT_TRUE(fs::remove(unitFile()));
    writeText(serviceFile(), "[D-BUS Service]\nName=" + world.busName() + "\nExec=\"" +
                                 world.vorselExecutable() + "\" --agent\n");
    EXPECT_NE(turn("--status").out.find("notRegistered"), std::string::npos);
    // Turning on enables the GNOME Shell extension beside the user's own;
    // turning off takes it out and leaves theirs.
    const std::vector<std::string> extensions{"get", "org.gnome.shell", "enabled-extensions"};
    ASSERT_EQ(tool("gsettings",
                   {"set", "org.gnome.shell", "enabled-extensions", "['theirs@example.org']"})
                  .status,
              0);
    ASSERT_EQ(turn("--turn-on").status, 0);
    EXPECT_NE(turn("--status").out.find("enabled"), std::string::npos);
    EXPECT_TRUE(fs::exists(unitFile()));
    EXPECT_EQ(trimmed(tool("gsettings", extensions).out),
              "['theirs@example.org', 'vorsel-windows@ordwyn.com', "
              "'vorsel-windows-modules@ordwyn.com']");

    const Outcome off = turn("--turn-off");
    EXPECT_EQ(off.status, 0) << off.out << off.err;
    EXPECT_FALSE(fs::exists(unitFile()));
    EXPECT_FALSE(fs::exists(serviceFile()));
    EXPECT_EQ(property(kUnit, "LoadState"), "not-found");
    EXPECT_EQ(trimmed(tool("gsettings", extensions).out), "['theirs@example.org']");
}

TEST_F(Session, TheAgentRunsAsItsUnitQuitsAppsInTheirUnitsKeepsTheAppAndLeavesIdle) {
    const std::vector<std::string> ids = {"org.example.Gnome", "org.example.Kde",
                                          "org.example.Flat", "org.example.Served"};
    std::vector<std::string> programs;
    for (const auto& id : ids) programs.push_back(installApp(id));

    // The agents started as the unit say how their launch notices come.
    const std::string notices = world.root() + "/notices";
    ASSERT_EQ(systemctl({"set-environment",
                         std::string(linux_platform::kNoticesTraceVariable) + "=" + notices})
                  .status,
              0);

    // Turned on: the manager has loaded the unit, and the first call starts
    // the agent as that unit.
    const Outcome on = turn("--turn-on");
    ASSERT_EQ(on.status, 0) << on.out << on.err;
    ASSERT_EQ(property(kUnit, "LoadState"), "loaded");
    ASSERT_EQ(world.standin({"version"}).out, "1\n");
    const pid_t agent = mainPid();
    ASSERT_GT(agent, 0);
    EXPECT_EQ(executableOf(agent), world.vorselExecutable());
    EXPECT_EQ(property(kUnit, "ActiveState"), "active");
    EXPECT_TRUE(cgroupOf(agent).ends_with("/app.slice/" + kUnit)) << cgroupOf(agent);
    EXPECT_EQ(world.standin({"hold", "-"}, 60, {}, "not rules").out, "null\n");

    // A Hardcore session that closes the four apps.
    auto kept = world.startStandin();
    ASSERT_TRUE(
        waitUntil([&] { return executableOf(kept->pid()) == world.ordwynExecutable(); }, 10));
    const double ends = now2001() + 16;
    std::vector<std::string> options{"session", "--hardcore", "--until", std::to_string(ends)};
    for (const auto& id : ids) options.insert(options.end(), {"--close", id});
    const Outcome handed = world.standin(options);
    ASSERT_EQ(handed.status, 0) << handed.out << handed.err;

    // Launched in the units desktops give them: GNOME and KDE start the app,
    // then move it into its scope; flatpak moves itself, then runs the app;
    // a service is started by the manager itself.
    auto gnome = Process::start({programs[0], "1000"}, world.environment());
    auto kde = Process::start({programs[1], "1000"}, world.environment());
    ASSERT_TRUE(waitUntil([&] { return executableOf(kde->pid()) == programs[1]; }, 5));
    ASSERT_TRUE(moveIntoScope(
        gnome->pid(), "app-gnome-" + ids[0] + "-" + std::to_string(gnome->pid()) + ".scope"));
    ASSERT_TRUE(moveIntoScope(kde->pid(), "app-" + ids[1] + "-2f4e9a1c.scope"));
    auto flat = Process::start({"/usr/bin/systemd-run", "--user", "--scope", "--quiet",
                                "--unit=app-flatpak-" + ids[2] + "-41.scope", programs[2], "1000"},
                               world.environment());
    const std::string served = "app-" + ids[3] + "@7b1d.service";
    ASSERT_EQ(
        tool("systemd-run", {"--user", "--quiet", "--unit=" + served, programs[3], "1000"}).status,
        0);
    for (auto* app : {gnome.get(), kde.get(), flat.get()}) {
        const auto status = app->wait(10);
        EXPECT_EQ(status, 128 + SIGTERM) << "pid " << app->pid() << " was not asked to quit";
    }
    EXPECT_TRUE(waitUntil([&] { return property(served, "ActiveState") != "active"; }, 10))
        << served << " still runs";

    // Watching, the agent takes its notices from the manager's unit signals
    // and never checks /proc beside them (its own account, which no load can
    // change; how often it wakes is a figure of the session benchmark).
    const auto fromTheManagerOnly = [&] {
        const std::string trace = readText(notices);
        EXPECT_NE(trace.find("manager\n"), std::string::npos) << trace;
        EXPECT_EQ(trace.find("proc"), std::string::npos) << trace;
        EXPECT_EQ(trace.find("check"), std::string::npos) << trace;
    };
    fromTheManagerOnly();

    // The kept app quit: opened again in a scope of its own, which neither
    // stopping the agent's unit nor the agent's idle exit takes down.
    kept->signal(SIGKILL);
    kept->wait(5);
    pid_t reopened = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto pids = running(world.ordwynExecutable());
            reopened = pids.empty() ? 0 : *pids.begin();
            return reopened > 0;
        },
        10));
    const std::string scope =
        "app-vorsel-" + world.app() + "-" + std::to_string(reopened) + ".scope";
    ASSERT_TRUE(waitUntil([&] { return cgroupOf(reopened).ends_with("/" + scope); }, 5))
        << cgroupOf(reopened);
    EXPECT_EQ(property(scope, "ActiveState"), "active");
    ASSERT_EQ(systemctl({"stop", kUnit}).status, 0);
    EXPECT_TRUE(processGone(agent));
    EXPECT_FALSE(processGone(reopened)) << "stopping the agent took the kept app down";

    // The next call starts it again, with the session from its memory file.
    const Outcome held = world.standin({"held"});
    EXPECT_NE(held.out.find("\"keepOpen\""), std::string::npos) << held.out << held.err;
    const pid_t second = mainPid();
    EXPECT_GT(second, 0);
    EXPECT_NE(second, agent);

    // The session ends; 20 s later the agent leaves, and the manager counts
    // that as a clean stop, with nothing restarted.
    ASSERT_TRUE(waitUntil([&] { return !fs::exists(world.memoryFile()); }, ends - now2001() + 10));
    ASSERT_TRUE(waitUntil([&] { return processGone(second); }, 40)) << "the agent stayed";
    ASSERT_TRUE(waitUntil([&] { return property(kUnit, "ActiveState") == "inactive"; }, 5));
    EXPECT_EQ(property(kUnit, "Result"), "success");
    EXPECT_EQ(property(kUnit, "NRestarts"), "0");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(property(kUnit, "ActiveState"), "inactive") << "restarted after leaving";
    EXPECT_FALSE(processGone(reopened)) << "the agent's exit took the kept app down";
    EXPECT_EQ(world.standin({"version"}).out, "1\n");
    EXPECT_GT(mainPid(), 0);
    fromTheManagerOnly();  // the second agent's watch as well
    systemctl({"unset-environment", linux_platform::kNoticesTraceVariable});

    // What reached the journal, with its fields.
    std::set<std::string> priorities, messages;
    for (const auto& entry : journal()) {
        EXPECT_EQ(field(entry, "SYSLOG_IDENTIFIER"), world.own());
        EXPECT_EQ(field(entry, "CATEGORY"), "Guard");
        // The journal reads the unit from the sender's cgroup when it handles
        // a line: the agent's last one may arrive after the agent has gone and
        // carry none, a race of the journal's own. Any unit it names is ours.
        const std::string unit = field(entry, "_SYSTEMD_USER_UNIT");
        if (!(unit.empty() &&
              field(entry, "MESSAGE") == "nothing to hold: leaving until the app calls")) {
            EXPECT_EQ(unit, kUnit) << field(entry, "MESSAGE");
        }
        priorities.insert(field(entry, "PRIORITY"));
        messages.insert(field(entry, "PRIORITY") + " " + field(entry, "MESSAGE"));
    }
    EXPECT_EQ(priorities, (std::set<std::string>{"3", "5"}));
    for (const std::string& message :
         {"5 listening as " + world.team() + "." + world.app() + ".guard",
          std::string("3 rules it couldn't read were handed over"),
          std::string("5 the app was quit during a Hardcore session: opening it again"),
          std::string("5 nothing holds any more"),
          std::string("5 nothing to hold: leaving until the app calls")})
        EXPECT_TRUE(messages.contains(message)) << message;

    // Turning off takes the unit and the activation file away and reloads
    // the manager; the running agent is left to its own lifetime.
    const Outcome off = turn("--turn-off");
    EXPECT_EQ(off.status, 0) << off.out << off.err;
    EXPECT_NE(off.out.find("completed later"), std::string::npos) << off.out;
    EXPECT_FALSE(fs::exists(unitFile()));
    EXPECT_FALSE(fs::exists(serviceFile()));
    EXPECT_EQ(property(kUnit, "LoadState"), "not-found");
}

// The child that turns Vorsel on or off, or reads the status, for the
// bundle given, through the real login items on the session's bus.
int turnMain(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string how = argv[1];
    const std::string bundle = argv[2];
    linux_platform::LinuxFiles files;
    auto items = linux_platform::makeLoginItems(bundle, files);
    if (how == "--status") {
        std::printf("%s\n",
                    items->status() == LoginItemStatus::enabled ? "enabled" : "notRegistered");
        return 0;
    }
    if (how == "--turn-on") {
        const auto error = items->registerAgent();
        if (error) std::printf("%s\n", error->c_str());
        return error ? 1 : 0;
    }
    std::optional<std::optional<std::string>> result;
    items->unregisterAgent([&](std::optional<std::string> error) { result = error; });
    std::printf("%s\n", result ? "completed at once" : "completed later");
    QElapsedTimer waited;
    waited.start();
    while (!result && waited.elapsed() < 70000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!result || *result) std::printf("%s\n", result ? (*result)->c_str() : "never completed");
    return result && !*result ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]).starts_with("--") &&
        std::set<std::string>{"--turn-on", "--turn-off", "--status"}.contains(argv[1]))
        return turnMain(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
