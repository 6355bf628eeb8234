#include "Platform/Linux/Windows/WindowsModules.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>

namespace vorsel::linux_platform {
namespace {

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

struct Kind {
    const char* kind;
    const char* file;
    // What to open when the session offers this kind, else nothing.
    std::optional<std::string> (*offered)();
};

// An X11 display (XWayland's too: its windows are the X11 apps' of a
// Wayland session).
std::optional<std::string> x11Display() { return variable("DISPLAY"); }

// The session bus, where a compositor that offers its windows to the user's
// own processes is reached (empty: the user's bus at its usual place), when
// the desktop named in XDG_CURRENT_DESKTOP (a list separated by colons) is
// `desktop`.
std::optional<std::string> busOf(const char* desktop) {
    const std::string current = ":" + variable("XDG_CURRENT_DESKTOP").value_or("") + ":";
    if (current.find(":" + std::string(desktop) + ":") == std::string::npos) return std::nullopt;
    return variable("DBUS_SESSION_BUS_ADDRESS").value_or("");
}
std::optional<std::string> gnomeShell() { return busOf("GNOME"); }
std::optional<std::string> kwin() { return busOf("KDE"); }

// A Wayland compositor: sway (through SWAYSOCK, which the module reads
// itself) or another wlroots compositor. Its native windows only; XWayland's
// are the X11 display's. GNOME Shell and KWin offer neither, so there it
// would only fail, and say so in the log, every session.
std::optional<std::string> waylandDisplay() {
    if (gnomeShell() || kwin()) return std::nullopt;
    return variable("WAYLAND_DISPLAY");
}

// The compositor first: it reaches XWayland's windows too, and minimises
// them where an X11 client could only ask.
const Kind kKinds[] = {
    {"GNOME Shell", "vorsel-gnome.so", &gnomeShell},
    {"KWin", "vorsel-kwin.so", &kwin},
    {"X11", "vorsel-x11.so", &x11Display},
    {"Wayland", "vorsel-wayland.so", &waylandDisplay},
};

std::string inFolder(const std::string& folder, const char* file) {
    return (std::filesystem::path(folder.empty() ? windowsModuleFolder() : folder) / file).string();
}

}  // namespace

std::string windowsModuleFolder() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).parent_path().string();
}

std::vector<WindowsChoice> windowsOffered(const std::string& folder) {
    std::vector<WindowsChoice> choices;
    for (const Kind& kind : kKinds) {
        if (auto address = kind.offered())
            choices.push_back({kind.kind, inFolder(folder, kind.file), *address});
    }
    return choices;
}

std::vector<std::string> windowsModules(const std::string& folder) {
    std::vector<std::string> paths;
    for (const Kind& kind : kKinds) paths.push_back(inFolder(folder, kind.file));
    return paths;
}

}  // namespace vorsel::linux_platform
