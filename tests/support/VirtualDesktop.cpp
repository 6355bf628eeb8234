#include "tests/support/VirtualDesktop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace vorsel::testing {
namespace {

constexpr const char* kServer = "/usr/bin/Xvfb";
constexpr const char* kWindowManager = "/usr/bin/openbox";
constexpr auto kStartLimit = std::chrono::seconds(15);

// Starts `argv` with our environment, DISPLAY replaced by `display` when
// given, standard streams on /dev/null except `keepFd`, which the child gets
// as itself. The desktop's own programs read the machine's data and
// configuration (openbox its themes), whatever private lists a test set.
pid_t spawn(const std::vector<std::string>& argv, const std::string& display, int keepFd = -1) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "DISPLAY=", 8) != 0 &&
            std::strncmp(*entry, "XDG_DATA_DIRS=", 14) != 0 &&
            std::strncmp(*entry, "XDG_CONFIG_DIRS=", 16) != 0)
            env.emplace_back(*entry);
    }
    if (!display.empty()) env.push_back("DISPLAY=" + display);
    std::vector<char*> args, envp;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) {
        if (fd != keepFd) ::dup2(null, fd);
    }
    for (int fd = 3; fd < 1024; ++fd) {
        if (fd != keepFd) ::close(fd);
    }
    // Our own process group, so that the test's terminal signals stay ours.
    ::setpgid(0, 0);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
}

// The display number the server writes to `fd` once it listens.
std::string readDisplay(int fd) {
    std::string text;
    const auto until = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < until) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        char buffer[32];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.find('\n') != std::string::npos) break;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return {};
    return ":" + text;
}

// Whether a window manager has announced itself on `display`'s root window.
bool managed(const std::string& display) {
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return false;
    }
    const char* name = "_NET_SUPPORTING_WM_CHECK";
    auto* atom = xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, 1, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr);
    bool found = false;
    if (atom != nullptr && atom->atom != XCB_ATOM_NONE) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        auto* property = xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1),
            nullptr);
        found = property != nullptr && xcb_get_property_value_length(property) == 4;
        std::free(property);
    }
    std::free(atom);
    xcb_disconnect(connection);
    return found;
}

// Whether the window manager manages a window mapped now. openbox announces
// itself before its event loop runs, and a window mapped in between may
// stay unmapped for good: the desktop counts as ready only once a probe
// window of ours has been given WM_STATE (which a window manager sets on
// the windows it manages), mapped again now and then until it is.
bool managesWindows(const std::string& display, std::chrono::steady_clock::time_point until) {
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return false;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const char* name = "WM_STATE";
    auto* atom = xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr);
    const xcb_atom_t wmState = atom != nullptr ? atom->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(atom);
    const xcb_window_t probe = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, probe, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    bool managed = false;
    auto mapped = std::chrono::steady_clock::time_point{};
    while (!managed && std::chrono::steady_clock::now() < until) {
        if (std::chrono::steady_clock::now() - mapped > std::chrono::milliseconds(300)) {
            xcb_unmap_window(connection, probe);
            xcb_map_window(connection, probe);
            mapped = std::chrono::steady_clock::now();
        }
        auto* property = xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, probe, wmState, wmState, 0, 2), nullptr);
        managed = property != nullptr && xcb_get_property_value_length(property) > 0;
        std::free(property);
        if (!managed) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Gone with the connection, and with it from the window manager's list.
    xcb_disconnect(connection);
    return managed;
}

bool alive(pid_t pid) { return pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0; }

}  // namespace

std::string VirtualDesktop::unavailable(bool windowManager) {
    if (::access(kServer, X_OK) != 0) return std::string(kServer) + " is not installed (xvfb)";
    if (windowManager && ::access(kWindowManager, X_OK) != 0)
        return std::string(kWindowManager) + " is not installed (openbox)";
    return {};
}

VirtualDesktop::VirtualDesktop() : VirtualDesktop(Options{}) {}

VirtualDesktop::VirtualDesktop(Options options) : problemText(start(options)) {}

VirtualDesktop::~VirtualDesktop() {
    stop(windowManager);
    stop(server);
}

std::string VirtualDesktop::start(const Options& options) {
    if (auto missing = unavailable(options.windowManager); !missing.empty()) return missing;
    int report[2];
    if (::pipe(report) != 0) return "no pipe for the display number";
    const std::string screen =
        std::to_string(options.width) + "x" + std::to_string(options.height) + "x24";
    server = spawn({kServer, "-displayfd", std::to_string(report[1]), "-nolisten", "tcp",
                    "-noreset", "-screen", "0", screen},
                   {}, report[1]);
    ::close(report[1]);
    currentDisplay = readDisplay(report[0]);
    ::close(report[0]);
    if (currentDisplay.empty()) return "Xvfb did not report a display";
    if (!options.windowManager) return {};

    windowManager = spawn({kWindowManager}, currentDisplay);
    const auto until = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < until) {
        if (managed(currentDisplay)) {
            if (managesWindows(currentDisplay, until)) return {};
            return "openbox did not manage a window on " + currentDisplay;
        }
        if (!alive(windowManager)) return "openbox ended while starting";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "openbox did not take the display " + currentDisplay;
}

void VirtualDesktop::stop(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (alive(pid) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (alive(pid)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

}  // namespace vorsel::testing
