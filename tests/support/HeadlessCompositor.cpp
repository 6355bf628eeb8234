#include "tests/support/HeadlessCompositor.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace vorsel::testing {
namespace {

constexpr const char* kGnomeShell = "/usr/bin/gnome-shell";
constexpr const char* kKWin = "/usr/bin/kwin_wayland";
constexpr const char* kXWayland = "/usr/bin/Xwayland";
constexpr auto kStartLimit = std::chrono::seconds(60);

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts `argv` with our environment plus `extra`, its output in `log`.
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extra,
            const std::string& log) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (!extra.count(text.substr(0, text.find('=')))) env.push_back(text);
    }
    for (const auto& [name, value] : extra) env.push_back(name + "=" + value);
    std::vector<char*> args, envp;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int null = ::open("/dev/null", O_RDWR);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(null, 0);
    ::dup2(out >= 0 ? out : null, 1);
    ::dup2(out >= 0 ? out : null, 2);
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
    ::setpgid(0, 0);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
}

void end(pid_t& pid) {
    if (pid <= 0) return;
    // The compositor's own process group: XWayland and the services it
    // started end with it.
    ::kill(-pid, SIGTERM);
    ::kill(pid, SIGTERM);
    for (int waited = 0; waited < 100; ++waited) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            ::kill(-pid, SIGKILL);
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

bool running(pid_t pid) { return pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0; }

// Whether `name` has an owner on the session bus.
bool owned(const std::string& name) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return false;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const bool found = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "GetNameOwner", &error, &reply,
                                          "s", name.c_str()) >= 0;
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return found;
}

// The X11 display an XWayland child of `pid` serves, or empty; `auth` is
// the authority file it was given.
std::string xwaylandOf(pid_t pid, std::string* auth) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return {};
    std::string display;
    while (dirent* entry = ::readdir(proc)) {
        const std::string stat = readAll(std::string("/proc/") + entry->d_name + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        fields >> state >> parent;
        if (parent != pid) continue;
        const std::string cmdline = readAll(std::string("/proc/") + entry->d_name + "/cmdline");
        if (cmdline.rfind(kXWayland, 0) != 0 && cmdline.rfind("Xwayland", 0) != 0) continue;
        std::string previous;
        for (std::size_t at = 0; at < cmdline.size(); at = cmdline.find('\0', at) + 1) {
            const std::string arg = cmdline.c_str() + at;
            if (arg.size() > 1 && arg[0] == ':') display = arg;
            if (previous == "-auth") *auth = arg;
            previous = arg;
            if (cmdline.find('\0', at) == std::string::npos) break;
        }
    }
    ::closedir(proc);
    return display;
}

template <typename Ready>
bool waitFor(Ready ready, pid_t pid) {
    const auto until = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < until) {
        if (ready()) return true;
        if (!running(pid)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

std::string runtimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr ? runtime : "";
}

}  // namespace

std::string HeadlessCompositor::installExtension(const std::string& source) {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data == nullptr) return {};
    const std::string uuid = "vorsel-windows@ordwyn.com";
    const std::filesystem::path folder =
        std::filesystem::path(data) / "gnome-shell/extensions" / uuid;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::filesystem::copy_file(source + "/metadata-legacy.json", folder / "metadata.json",
                               std::filesystem::copy_options::overwrite_existing, error);
    if (error) return {};
    std::ofstream script(folder / "extension.js");
    script << readAll(source + "/legacy-head.js") << "\n"
           << readAll(source + "/service.js") << readAll(source + "/legacy-tail.js");
    return script.good() ? uuid : std::string();
}

std::string HeadlessCompositor::unavailable(Kind kind) {
    const char* program = kind == Kind::gnomeShell ? kGnomeShell : kKWin;
    for (const char* needed : {program, kXWayland}) {
        if (::access(needed, X_OK) != 0)
            return std::string(needed) + " is not installed (scripts/setup.sh installs it)";
    }
    if (std::getenv("VORSEL_USER_SESSION") == nullptr || runtimeFolder().empty())
        return "a compositor runs only in a user session (scripts/with-user-session.sh)";
    return {};
}

HeadlessCompositor::HeadlessCompositor(Kind givenKind, std::vector<std::string> extensions)
    : kind(givenKind) {
    problemText = unavailable(givenKind);
    if (problemText.empty()) problemText = start(extensions);
}

HeadlessCompositor::~HeadlessCompositor() {
    end(compositor);
    end(systemBus);
    std::error_code error;
    if (!folder.empty()) std::filesystem::remove_all(folder, error);
}

std::string HeadlessCompositor::log() const { return readAll(folder + "/compositor.log"); }

std::string HeadlessCompositor::start(const std::vector<std::string>& extensions) {
    char localFolder[] = "/tmp/vorsel-compositor.XXXXXX";
    if (::mkdtemp(localFolder) == nullptr) return "no folder for the compositor";
    folder = localFolder;
    static int count = 0;
    variables["WAYLAND_DISPLAY"] =
        "wayland-vorsel-" + std::to_string(::getpid()) + "-" + std::to_string(++count);
    variables["XDG_SESSION_TYPE"] = "wayland";
    const std::string problem =
        kind == Kind::gnomeShell ? startGnomeShell(extensions) : startKWin();
    if (!problem.empty()) return problem + "\n" + log();
    return {};
}

std::string HeadlessCompositor::startGnomeShell(const std::vector<std::string>& extensions) {
    // The shell reads which extensions to load once, when it starts.
    std::string list;
    for (const std::string& uuid : extensions) list += (list.empty() ? "'" : ", '") + uuid + "'";
    const pid_t settings = spawn(
        {"/usr/bin/gsettings", "set", "org.gnome.shell", "enabled-extensions", "[" + list + "]"},
        {}, folder + "/compositor.log");
    int status = 0;
    ::waitpid(settings, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "gsettings could not enable them";

    // The shell asks the user manager for the X11 services of a GNOME
    // session before it serves X11 apps, and gives up on XWayland without
    // them; the session's own units come with a full GNOME.
    const char* home = std::getenv("HOME");
    const std::string units = std::string(home != nullptr ? home : "") + "/.config/systemd/user";
    std::error_code error;
    std::filesystem::create_directories(units, error);
    for (const char* target :
         {"gnome-session-x11-services.target", "gnome-session-x11-services-ready.target"})
        std::ofstream(units + "/" + target)
            << "[Unit]\nDescription=X11 services of a test's shell\n";
    const pid_t reload =
        spawn({"/usr/bin/systemctl", "--user", "daemon-reload"}, {}, folder + "/compositor.log");
    ::waitpid(reload, &status, 0);

    // A system bus of the shell's own: it asks there for what a real system
    // offers (logind, accounts) and carries on without it.
    const std::string localSystemBus = "unix:path=" + folder + "/system_bus_socket";
    systemBus =
        spawn({"/usr/bin/dbus-daemon", "--nofork", "--nopidfile",
               "--config-file=/usr/share/dbus-1/session.conf", "--address=" + localSystemBus},
              {}, folder + "/system-bus.log");
    variables["XDG_CURRENT_DESKTOP"] = "GNOME";
    auto shellEnvironment = variables;
    shellEnvironment["DBUS_SYSTEM_BUS_ADDRESS"] = localSystemBus;
    shellEnvironment.erase("WAYLAND_DISPLAY");
    shellEnvironment.erase("DISPLAY");
    compositor = spawn(
        {kGnomeShell, "--headless", "--wayland",
         "--wayland-display=" + variables["WAYLAND_DISPLAY"], "--virtual-monitor", "1280x800"},
        shellEnvironment, folder + "/compositor.log");
    const std::string socket = runtimeFolder() + "/" + variables["WAYLAND_DISPLAY"];
    if (!waitFor([&] { return ::access(socket.c_str(), F_OK) == 0 && owned("org.gnome.Shell"); },
                 compositor))
        return "GNOME Shell did not come up";
    return xwayland() ? "" : "GNOME Shell started no XWayland";
}

std::string HeadlessCompositor::startKWin() {
    // A copy without the packaged program's file capability.
    const std::string program = folder + "/kwin_wayland";
    std::error_code error;
    std::filesystem::copy_file(kKWin, program, error);
    if (error) return "kwin_wayland could not be copied: " + error.message();
    ::chmod(program.c_str(), 0700);
    variables["XDG_CURRENT_DESKTOP"] = "KDE";
    auto kwinEnvironment = variables;
    kwinEnvironment.erase("WAYLAND_DISPLAY");
    kwinEnvironment.erase("DISPLAY");
    kwinEnvironment["QT_QPA_PLATFORM"] = "wayland";
    compositor = spawn({program, "--virtual", "--xwayland", "--socket",
                        variables["WAYLAND_DISPLAY"], "--width", "1280", "--height", "800"},
                       kwinEnvironment, folder + "/compositor.log");
    const std::string socket = runtimeFolder() + "/" + variables["WAYLAND_DISPLAY"];
    if (!waitFor([&] { return ::access(socket.c_str(), F_OK) == 0 && owned("org.kde.KWin"); },
                 compositor))
        return "KWin did not come up";
    return xwayland() ? "" : "KWin started no XWayland";
}

bool HeadlessCompositor::xwayland() {
    std::string display, auth;
    if (kind == Kind::gnomeShell) {
        // The shell starts XWayland when the first X11 app connects; it
        // says early which display that will be, and keeps its authority
        // in the runtime folder.
        const std::string said = "Using public X11 display ";
        waitFor(
            [&] {
                const std::string text = log();
                const auto at = text.find(said);
                if (at == std::string::npos) return false;
                display = text.substr(at + said.size());
                display = display.substr(0, display.find_first_of(", \n"));
                std::error_code error;
                for (const auto& entry :
                     std::filesystem::directory_iterator(runtimeFolder(), error))
                    if (entry.path().filename().string().rfind(".mutter-Xwaylandauth", 0) == 0)
                        auth = entry.path().string();
                return !auth.empty();
            },
            compositor);
    } else {
        waitFor([&] { return !(display = xwaylandOf(compositor, &auth)).empty(); }, compositor);
    }
    if (display.empty()) return false;
    variables["DISPLAY"] = display;
    if (!auth.empty()) variables["XAUTHORITY"] = auth;
    return true;
}

}  // namespace vorsel::testing
