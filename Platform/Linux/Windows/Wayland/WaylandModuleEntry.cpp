// "vorsel-wayland.so": what a wlroots compositor offers (sway's IPC, or the
// foreign toplevel protocol through libwayland-client), loaded by the
// agent's windows thread only while a session closes apps on a Wayland
// desktop (WindowsModules.h), so that the agent maps no Wayland library the
// rest of the time. Only the entry point is exported; nothing may throw out
// of it.
#include <cstdlib>
#include <new>

#include "Platform/Linux/Windows/Wayland/ForeignToplevelWindows.h"
#include "Platform/Linux/Windows/Wayland/SwayWindows.h"
#include "Platform/Linux/Windows/WindowsModules.h"

using vorsel::linux_platform::DesktopWindows;
using vorsel::linux_platform::ForeignToplevelWindows;
using vorsel::linux_platform::SwayWindows;

// `display` is WAYLAND_DISPLAY. sway knows each window's pid and can hide
// one: when SWAYSOCK names its socket and sway answers there, it is asked;
// else the compositor's foreign toplevel protocol, when it offers one.
extern "C" __attribute__((visibility("default"))) DesktopWindows* vorselWindowsOpen(
    const char* display) {
    try {
        const char* sway = std::getenv("SWAYSOCK");
        if (sway != nullptr && *sway != '\0') {
            if (auto windows = SwayWindows::open(sway)) return windows.release();
        }
        if (display != nullptr && *display != '\0')
            return ForeignToplevelWindows::open(display).release();
    } catch (const std::exception&) {
        // Out of memory: no windows, as without a compositor.
    }
    return nullptr;
}
