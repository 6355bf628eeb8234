#include "DesktopApps.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "Platform/Linux/Workspace/AppUnit.h"
#include "Platform/Linux/Workspace/ProcFs.h"

namespace vorsel::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kMarker = "VORSEL_E2E_DESKTOP";
constexpr double kStartLimit = 30;  // GTK apps start slowly on a loaded machine

void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

std::vector<pid_t> ourPids() {
    std::vector<pid_t> pids;
    if (DIR* proc = ::opendir("/proc")) {
        while (dirent* entry = ::readdir(proc)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (*end != '\0' || pid <= 0) continue;
            if (linux_platform::readRealUid(static_cast<pid_t>(pid)) == ::getuid())
                pids.push_back(static_cast<pid_t>(pid));
        }
        ::closedir(proc);
    }
    return pids;
}

bool alive(pid_t pid) { return pid > 0 && !processGone(pid); }

// Forks `argv` with exactly `environment`, streams on /dev/null; the child
// is ours to wait for.
pid_t spawn(const std::vector<std::string>& argv, const Environment& environment) {
    ExecList args(argv);
    ExecList env(environment);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
        ::close_range(3, ~0U, 0);
        ::execve(args.data()[0], args.data(), env.data());
        ::_exit(127);
    }
    return pid;
}

}  // namespace

const std::vector<DesktopApp>& matrixApps() {
    static const std::vector<DesktopApp> apps = {
        {"org.xfce.mousepad", "/usr/bin/mousepad", "mousepad"},
        {"debian-xterm", "/usr/bin/xterm", "xterm"},
        {"galculator", "/usr/bin/galculator", "galculator"},
        {"org.gnome.TextEditor", "/usr/bin/gnome-text-editor", "gnome-text-editor"},
    };
    return apps;
}

std::unique_ptr<TerminalShell> TerminalShell::start(const Environment& environment) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return nullptr;
    const std::string slave = ::ptsname(master);
    ExecList env(environment);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const int fd = ::open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
        if (fd < 0) ::_exit(126);
        for (int target = 0; target <= 2; ++target) ::dup2(fd, target);
        ::close_range(3, ~0U, 0);
        char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-i"), nullptr};
        ::execve(argv[0], argv, env.data());
        ::_exit(127);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<TerminalShell>(new TerminalShell(pid, master));
}

TerminalShell::~TerminalShell() {
    ::kill(processId, SIGKILL);
    ::waitpid(processId, nullptr, 0);
    ::close(master);
}

void TerminalShell::type(const std::string& command) {
    // The status is printed by the shell after the command, in a form the
    // echo of the typed line itself cannot match.
    const std::string line = command + "; echo \"exit=$?;\"\n";
    ssize_t ignored = ::write(master, line.data(), line.size());
    (void)ignored;
}

std::optional<int> TerminalShell::status() {
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(master, buffer, sizeof buffer)) > 0)
        output.append(buffer, static_cast<std::size_t>(got));
    static const std::regex kStatus("exit=([0-9]+);");
    std::smatch match;
    if (!std::regex_search(output, match, kStatus)) return std::nullopt;
    return std::stoi(match[1]);
}

bool TerminalShell::running() { return alive(processId); }

std::string DesktopApps::unavailable() {
    if (auto missing = testing::VirtualDesktop::unavailable(); !missing.empty()) return missing;
    for (const auto& app : matrixApps()) {
        if (::access(app.program.c_str(), X_OK) != 0)
            return app.program + " is not installed (scripts/setup.sh)";
    }
    for (const char* tool : {"/usr/bin/gtk-launch", "/usr/bin/gio", "/usr/bin/gdbus",
                             "/usr/bin/xdotool", "/usr/bin/systemd-run"}) {
        if (::access(tool, X_OK) != 0)
            return std::string(tool) + " is not installed (scripts/setup.sh)";
    }
    return {};
}

bool DesktopApps::inSession() { return std::getenv("VORSEL_USER_SESSION") != nullptr; }

DesktopApps::DesktopApps() : e2eWorld(E2eWorld::Options{.userSession = inSession()}) {
    if (!virtualDesktop.ready()) {
        problemText = "no desktop: " + virtualDesktop.problem();
        return;
    }
    if (!e2eWorld.ready()) {
        problemText = "no world: " + e2eWorld.problem();
        return;
    }
    marker = e2eWorld.root();
    // The bus starts the text editor, as the desktop's bus would, with the
    // desktop's display in its activation environment. The session's bus
    // knows it from the system's data folder; the private one is told.
    std::error_code error;
    if (!inSession())
        fs::copy_file("/usr/share/dbus-1/services/org.gnome.TextEditor.service",
                      e2eWorld.root() + "/services/org.gnome.TextEditor.service", error);
    std::string update;
    for (const auto& [name, value] : appEnvironment()) {
        if (name == "DISPLAY" || name == kMarker || name == "NO_AT_BRIDGE" ||
            name == "GSETTINGS_BACKEND")
            update += (update.empty() ? "{'" : ", '") + name + "': '" + value + "'";
    }
    update += "}";
    const Outcome updated =
        run({"/usr/bin/gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
             "--object-path", "/org/freedesktop/DBus", "--method",
             "org.freedesktop.DBus.UpdateActivationEnvironment", update},
            e2eWorld.environment(), 30);
    if (error || updated.status != 0)
        problemText = "the bus cannot start the text editor: " + error.message() + updated.err;
}

std::string DesktopApps::agentLog() const {
    if (!inSession()) return e2eWorld.agentLog();
    // An agent on the session's bus writes to the session's journal.
    return run({"/usr/bin/journalctl", "-t", e2eWorld.own(), "--no-pager", "-o", "cat"},
               e2eWorld.environment(), 30)
        .out;
}

std::string DesktopApps::unitOf(pid_t pid) {
    const std::string text = readText("/proc/" + std::to_string(pid) + "/cgroup");
    const auto unit = linux_platform::unitOfCgroup(text);
    if (!unit) return "no unit";
    const auto slash = unit->path.rfind('/');
    return slash == std::string::npos ? unit->path : unit->path.substr(slash + 1);
}

std::map<pid_t, std::string> DesktopApps::desktopProcesses(const std::set<pid_t>& apps) {
    std::map<pid_t, std::string> desktop{{virtualDesktop.windowManagerPid(), "the window manager"},
                                         {virtualDesktop.serverPid(), "the X server"}};
    for (const auto& shell : shells) desktop[shell.second->pid()] = "a terminal's shell";
    if (!inSession()) {
        desktop[e2eWorld.bus().pid()] = "the session bus";
        return desktop;
    }
    // The session's own services: its bus, and whatever runs beside it in the
    // session's slice (what the bus started for the apps' accessibility and
    // settings), but for the apps and what they started.
    const auto ofApps = [&](pid_t pid) {
        for (int depth = 0; pid > 1 && depth < 64; ++depth) {
            if (apps.contains(pid)) return true;
            const auto stat = linux_platform::readStat(pid);
            if (!stat) return false;
            pid = stat->ppid;
        }
        return false;
    };
    for (pid_t pid : ourPids()) {
        const std::string cgroup = readText("/proc/" + std::to_string(pid) + "/cgroup");
        const bool manager = cgroup.ends_with("/init.scope\n");
        if ((!manager && cgroup.find("/session.slice/") == std::string::npos) || ofApps(pid))
            continue;
        desktop[pid] = executableOf(pid) + " in " + unitOf(pid);
    }
    return desktop;
}

DesktopApps::~DesktopApps() {
    shells.clear();
    killMarked();
}

Environment DesktopApps::appEnvironment() const {
    Environment environment = e2eWorld.environment();
    environment["DISPLAY"] = virtualDesktop.display();
    environment[kMarker] = marker;
    // A private bus starts no accessibility bus or settings daemon; the
    // session's starts both, as the desktop's own services.
    if (!inSession()) {
        environment["NO_AT_BRIDGE"] = "1";
        environment["GSETTINGS_BACKEND"] = "memory";
    }
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"))
        environment["XDG_RUNTIME_DIR"] = runtime;
    return environment;
}

std::set<pid_t> DesktopApps::marked() const {
    std::set<pid_t> found;
    if (marker.empty()) return found;
    for (pid_t pid : ourPids()) {
        const auto env = linux_platform::readEnviron(pid, {kMarker});
        const auto value = env.find(kMarker);
        if (value != env.end() && value->second == marker) found.insert(pid);
    }
    return found;
}

void DesktopApps::killMarked() {
    // The agent and the stand-in carry the marker too (the bus starts the
    // agent); the world ends those itself.
    const std::string inside = e2eWorld.root() + "/";
    std::vector<pid_t> doomed;
    for (pid_t pid : marked())
        if (executableOf(pid).rfind(inside, 0) != 0) doomed.push_back(pid);
    for (pid_t pid : doomed) ::kill(pid, SIGKILL);
    for (pid_t pid : doomed) waitUntil([pid] { return processGone(pid); }, 5, 0.01);
}

std::vector<pid_t> DesktopApps::terminals() const {
    std::vector<pid_t> pids;
    for (const auto& shell : shells) pids.push_back(shell.second->pid());
    return pids;
}

bool DesktopApps::shown(pid_t pid) {
    Environment environment = e2eWorld.environment();
    environment["DISPLAY"] = virtualDesktop.display();
    const Outcome found =
        run({"/usr/bin/xdotool", "search", "--pid", std::to_string(pid)}, environment, 10);
    return found.status == 0 && !found.out.empty();
}

pid_t DesktopApps::appeared(const DesktopApp& app, const std::set<pid_t>& before) {
    pid_t pid = -1;
    waitUntil(
        [&] {
            for (pid_t candidate : marked()) {
                if (!before.contains(candidate) && executableOf(candidate) == app.program) {
                    pid = candidate;
                    return true;
                }
            }
            return false;
        },
        kStartLimit, 0.02);
    if (pid < 0 || !waitUntil([&] { return shown(pid); }, kStartLimit, 0.1)) return -1;
    return pid;
}

pid_t DesktopApps::gtkLaunch(const DesktopApp& app) {
    const auto before = marked();
    const Outcome launched = run({"/usr/bin/gtk-launch", app.id}, appEnvironment(), kStartLimit);
    if (launched.status != 0) return -1;
    return appeared(app, before);
}

pid_t DesktopApps::gioLaunch(const DesktopApp& app) {
    const auto before = marked();
    const Outcome launched =
        run({"/usr/bin/gio", "launch", "/usr/share/applications/" + app.id + ".desktop"},
            appEnvironment(), kStartLimit);
    if (launched.status != 0) return -1;
    return appeared(app, before);
}

pid_t DesktopApps::busActivation(const DesktopApp& app) {
    const auto before = marked();
    std::string path = "/" + app.id;
    for (char& c : path)
        if (c == '.') c = '/';
    const Outcome activated =
        run({"/usr/bin/gdbus", "call", "--session", "--dest", app.id, "--object-path", path,
             "--method", "org.freedesktop.Application.Activate", "@a{sv} {}"},
            e2eWorld.environment(), kStartLimit);
    if (activated.status != 0) {
        std::fprintf(stderr, "activating %s: %s%s\n", app.id.c_str(), activated.out.c_str(),
                     activated.err.c_str());
        return -1;
    }
    return appeared(app, before);
}

pid_t DesktopApps::typed(const DesktopApp& app, bool ignoringTerm) {
    // The terminal was itself started from the menu: its shell carries the
    // launcher's variables, naming the terminal and not what is typed.
    Environment environment = appEnvironment();
    environment["GIO_LAUNCHED_DESKTOP_FILE"] = "/usr/share/applications/debian-xterm.desktop";
    environment["GIO_LAUNCHED_DESKTOP_FILE_PID"] = std::to_string(::getpid());
    environment["PS1"] = "$ ";
    const auto before = marked();
    auto shell = TerminalShell::start(environment);
    if (!shell) return -1;
    shell->type(ignoringTerm ? std::string(TERM_BLOCKED_PROGRAM) + " " + app.command : app.command);
    const pid_t pid = appeared(app, before);
    if (pid > 0) shells.emplace_back(pid, std::move(shell));
    return pid;
}

bool DesktopApps::scopesAvailable() {
    if (!inSession()) return false;
    if (!scopes) {
        const Outcome tried =
            run({"/usr/bin/systemd-run", "--user", "--scope", "--quiet", "/bin/true"},
                appEnvironment(), 30);
        scopes = tried.status == 0;
    }
    return *scopes;
}

pid_t DesktopApps::inScope(const DesktopApp& app) {
    const auto before = marked();
    // What GNOME's launcher names the scope of an app it starts.
    const std::string unit = "app-gnome-" + linux_platform::escapeUnitPiece(app.id) + "-" +
                             std::to_string(::getpid()) + std::to_string(++scopeCount) + ".scope";
    spawn({"/usr/bin/systemd-run", "--user", "--scope", "--quiet", "--unit=" + unit, app.program},
          appEnvironment());
    return appeared(app, before);
}

namespace {

// Whether a SIGTERM is pending for `pid` (blocked, so not yet handled).
bool termPending(pid_t pid) {
    const std::string status = readText("/proc/" + std::to_string(pid) + "/status");
    for (const char* field : {"\nSigPnd:", "\nShdPnd:"}) {
        const auto at = status.find(field);
        if (at == std::string::npos) continue;
        const unsigned long long mask = std::strtoull(status.c_str() + at + 8, nullptr, 16);
        if (mask & (1ULL << (SIGTERM - 1))) return true;
    }
    return false;
}

}  // namespace

std::vector<Ending> DesktopApps::waitForEnds(const std::vector<pid_t>& pids,
                                             Clock::time_point since, double timeout) {
    std::vector<Ending> endings(pids.size());
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
    const auto elapsed = [&] {
        return std::chrono::duration<double>(Clock::now() - since).count();
    };
    std::size_t left = pids.size();
    while (left > 0 && Clock::now() < deadline) {
        for (std::size_t i = 0; i < pids.size(); ++i) {
            Ending& ending = endings[i];
            if (ending.ended) continue;
            const pid_t pid = pids[i];
            if (!ending.firstRequest && termPending(pid)) ending.firstRequest = elapsed();
            int raw = 0;
            const pid_t done = ::waitpid(pid, &raw, WNOHANG);
            if (done == pid) {
                ending.status = WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
                ending.ended = true;
            } else if (done < 0 && errno == ECHILD && processGone(pid)) {
                ending.ended = true;  // another's child: only its end is seen
            }
            if (!ending.ended) continue;
            ending.seconds = elapsed();
            --left;
        }
        pause(0.002);
    }
    for (std::size_t i = 0; i < pids.size(); ++i)
        if (endings[i].ended && !endings[i].status) endings[i].status = typedStatus(pids[i]);
    return endings;
}

std::optional<int> DesktopApps::typedStatus(pid_t pid) {
    for (auto& [app, shell] : shells) {
        if (app != pid) continue;
        std::optional<int> status;
        waitUntil([&] { return (status = shell->status()).has_value(); }, 5, 0.01);
        return status;
    }
    return std::nullopt;
}

}  // namespace vorsel::e2e
